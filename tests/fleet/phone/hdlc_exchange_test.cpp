// Send-and-expect on a real ComPort over a pseudo-terminal, the test being
// the modem: the forms of acknowledgement, a negative answer retried up to
// the attempts, answers that arrive split or late, silence, and a port that
// cannot be written.
#include "fleet/phone/hdlc_exchange.h"

#include <gtest/gtest.h>

#include "fleet/pda/slot_pause.h"
#include "tests/fleet/phone/modem_wire.h"

namespace {

using namespace fleettest;
using namespace std::chrono_literals;

class HdlcExchangeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { fleet::SetPauseScale(1.0); }
    void SetUp() override {
        ASSERT_EQ(port.Initialise(), 1);
        ASSERT_EQ(port.Open(pty.SlavePath() + ":115200,N,8,0"), 1);
    }
    int Exchange(int attempts, std::chrono::milliseconds bound = 300ms) {
        return fleet::Exchange(port, greeting, attempts, 5ms, bound);
    }

    testsupport::CPtyPair pty;
    fleet::ComPort port;
    const Bytes greeting = fleet::HdlcFrame().Greeting();
};

TEST_F(HdlcExchangeTest, EveryFormOfAcknowledgement) {
    const Bytes answers[] = {FramedAnswer(0x02), {0x02}, {'O', 'K'}, {0x7E, 0x02}};
    for (const Bytes& answer : answers) {
        SCOPED_TRACE(::testing::PrintToString(answer));
        CScriptedModem modem(pty, [&](const ModemEvent&, size_t) { return answer; });
        EXPECT_EQ(Exchange(10), 2);
        modem.Stop();
        EXPECT_EQ(modem.Events().size(), 1u) << "acknowledged at the first attempt";
    }
}

TEST_F(HdlcExchangeTest, ANegativeAnswerIsRetriedAndItsCodeReturned) {
    CScriptedModem modem(pty, [](const ModemEvent&, size_t) { return FramedAnswer(0x03); });
    EXPECT_EQ(Exchange(10), 3) << "7E 03 ... after the last attempt";
    modem.Stop();
    const auto events = modem.Events();
    ASSERT_EQ(events.size(), 10u) << "the frame is sent again for each attempt";
    for (const ModemEvent& e : events) {
        EXPECT_TRUE(e.bFcsOk);
        EXPECT_EQ(e.payload, Bytes{0xA0});
    }

    // Refused twice, then taken.
    CScriptedModem later(
        pty, [](const ModemEvent&, size_t i) { return FramedAnswer(i < 2 ? 0x03 : 0x02); });
    EXPECT_EQ(Exchange(10), 2);
    later.Stop();
    EXPECT_EQ(later.Events().size(), 3u);
}

TEST_F(HdlcExchangeTest, ASplitAnswerIsJudgedWholeAndLeavesNothingBehind) {
    CScriptedModem modem(pty, [&](const ModemEvent&, size_t i) -> Bytes {
        const Bytes whole = FramedAnswer(i == 0 ? 0x02 : 0x03);
        pty.Write(whole.data(), 1);  // the flag alone first
        std::this_thread::sleep_for(40ms);
        pty.Write(whole.data() + 1, whole.size() - 1);
        return {};
    });
    EXPECT_EQ(Exchange(1), 2) << "7E, then 02 FCS 7E: one acknowledgement";
    // Had the tail of the first answer stayed behind, it would be taken for
    // this answer's start.
    EXPECT_EQ(Exchange(1), 3);
}

TEST_F(HdlcExchangeTest, BytesWaitingBeforeTheFrameAreNoAnswerToIt) {
    pty.Write(FramedAnswer(0x02));  // a late answer to some earlier frame
    std::this_thread::sleep_for(20ms);
    CScriptedModem modem(pty, [](const ModemEvent&, size_t) { return FramedAnswer(0x05); });
    EXPECT_EQ(Exchange(1), 5);
}

TEST_F(HdlcExchangeTest, SilenceIsBoundedPerAttempt) {
    CScriptedModem modem(pty, [](const ModemEvent&, size_t) { return Bytes{}; });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Exchange(3, 100ms), 0) << "nothing received";
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 1500ms);
    modem.Stop();
    EXPECT_EQ(modem.Events().size(), 3u);
}

TEST_F(HdlcExchangeTest, AFailedWriteIsA1AtOnce) {
    port.Close();
    EXPECT_EQ(Exchange(10), 0xA1);
    EXPECT_FALSE(fleet::SendOnly(port, greeting, 1, 5ms));
}

TEST_F(HdlcExchangeTest, SendOnlyWritesAndReadsNothing) {
    CScriptedModem modem(pty, [](const ModemEvent&, size_t) { return FramedAnswer(0x02); });
    EXPECT_TRUE(fleet::SendOnly(port, greeting, 2, 5ms));
    std::this_thread::sleep_for(50ms);
    modem.Stop();
    EXPECT_EQ(modem.Events().size(), 2u);
    uint8_t buffer[64];
    EXPECT_GT(port.ReadInto(buffer, sizeof buffer), 0u) << "the answers are still waiting";
}

// The greeting: the answer to the frame sent without waiting comes late,
// after the exchange has begun. The exchange takes it; the exchange's own
// answer must not be left for the next frame, which the modem refuses.
TEST_F(HdlcExchangeTest, ALateAnswerToTheUnwaitedGreetingIsNotLeftForTheNextFrame) {
    const Bytes areaOpen = fleet::HdlcFrame().AreaOpen(0x1000, 0x2000);
    CScriptedModem modem(pty, [&](const ModemEvent& e, size_t i) -> Bytes {
        if (i == 0) {
            // Answered only after the host's second greeting is on the wire.
            std::this_thread::sleep_for(30ms);
        } else if (i == 1) {
            // The second answer comes after the host has taken the first.
            std::this_thread::sleep_for(15ms);
        }
        return FramedAnswer(e.payload[0] == 0xEF ? 0x03 : 0x02);
    });
    ASSERT_TRUE(fleet::SendOnly(port, greeting, 1, 0ms));
    EXPECT_EQ(fleet::ExchangeAfterUnwaited(port, greeting, 10, 0ms, 300ms, fleet::kLateAnswerBound),
              2);
    EXPECT_EQ(fleet::Exchange(port, areaOpen, 1, 0ms, 300ms), 3) << "the refusal is seen";
}

TEST_F(HdlcExchangeTest, AGreetingWhoseFirstAnswerCameInTimeWaitsForNothingMore) {
    CScriptedModem modem(pty, [](const ModemEvent&, size_t) { return FramedAnswer(0x02); });
    ASSERT_TRUE(fleet::SendOnly(port, greeting, 1, 0ms));
    std::this_thread::sleep_for(50ms);  // the first answer is in
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(fleet::ExchangeAfterUnwaited(port, greeting, 10, 0ms, 300ms, 2000ms), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1000ms);
}

}  // namespace
