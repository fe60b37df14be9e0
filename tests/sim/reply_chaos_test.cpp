// The hostile mode both simulated handsets share: which faults a seed
// commits, at which rate, and how each is said.
#include "sim/common/reply_chaos.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using simchaos::CSeededChaos;
using simchaos::Fault;
using Bytes = std::vector<uint8_t>;

Bytes Reply(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(seed + 31 * i);
    }
    return b;
}

TEST(SeededChaos, RateZeroLetsEveryReplyThrough) {
    CSeededChaos chaos(7, 0.0);
    for (size_t n = 1; n < 200; ++n) {
        Bytes r = Reply(n, 3);
        std::string trace = "x";
        EXPECT_EQ(chaos.OnReply(r, trace), Fault::None);
        EXPECT_EQ(r, Reply(n, 3));
        EXPECT_TRUE(trace.empty());
    }
    std::string trace;
    EXPECT_EQ(chaos.ModemPortDelay(500, trace), 500);
}

// Every kind of fault, each changing the reply as it says and saying so;
// a one-byte reply is never "cut".
TEST(SeededChaos, RateOneStrikesEveryReplyEachKindAsItSays) {
    CSeededChaos chaos(11, 1.0);
    std::set<Fault> seen;
    for (int i = 0; i < 2000; ++i) {
        const size_t n = 1 + static_cast<size_t>(i % 9);
        const Bytes before = Reply(n, static_cast<uint8_t>(i));
        Bytes r = before;
        std::string trace;
        const Fault f = chaos.OnReply(r, trace);
        seen.insert(f);
        ASSERT_NE(f, Fault::None);
        EXPECT_EQ(trace.rfind("chaos: ", 0), 0u) << trace;
        switch (f) {
            case Fault::FlipBit: {
                ASSERT_EQ(r.size(), n);
                int bits = 0;
                for (size_t k = 0; k < n; ++k) {
                    bits += __builtin_popcount(r[k] ^ before[k]);
                }
                EXPECT_EQ(bits, 1);
                break;
            }
            case Fault::Drop:
            case Fault::Unplug:
                EXPECT_TRUE(r.empty());
                break;
            case Fault::Extra:
                ASSERT_EQ(r.size(), n + 1);
                EXPECT_TRUE(std::equal(before.begin(), before.end(), r.begin()));
                break;
            case Fault::Cut:
                EXPECT_GT(n, 1u);
                EXPECT_TRUE(!r.empty() && r.size() < n);
                EXPECT_TRUE(std::equal(r.begin(), r.end(), before.begin()));
                break;
            default:
                break;
        }
    }
    EXPECT_EQ(seen, (std::set<Fault>{Fault::FlipBit, Fault::Drop, Fault::Extra, Fault::Cut,
                                     Fault::Unplug}));
}

TEST(SeededChaos, TheSameSeedCommitsTheSameFaults) {
    auto run = [](uint64_t seed) {
        CSeededChaos chaos(seed, 0.3);
        std::string all;
        for (int i = 0; i < 300; ++i) {
            Bytes r = Reply(5, static_cast<uint8_t>(i));
            std::string trace;
            chaos.OnReply(r, trace);
            all += trace + "|";
        }
        return all;
    };
    EXPECT_EQ(run(42), run(42));
    EXPECT_NE(run(42), run(43));
    EXPECT_NE(CSeededChaos::Derive(42, 1), CSeededChaos::Derive(42, 2));
    EXPECT_EQ(CSeededChaos::Derive(42, 1), CSeededChaos::Derive(42, 1));
}

TEST(SeededChaos, AModemPortComesLateOrNever) {
    CSeededChaos chaos(5, 1.0);
    std::set<bool> never;
    for (int i = 0; i < 100; ++i) {
        std::string trace;
        const int delay = chaos.ModemPortDelay(500, trace);
        EXPECT_TRUE(delay == -1 || delay >= 1500) << delay;
        EXPECT_EQ(trace.rfind("chaos: the modem port", 0), 0u) << trace;
        never.insert(delay == -1);
    }
    EXPECT_EQ(never.size(), 2u);
}

TEST(ChaosOption, SeedAndRateOrAClearRefusal) {
    simchaos::ChaosOptions o;
    std::string error;
    bool bTaken = false;
    std::vector<std::string> args = {"--chaos", "17", "--chaos-rate", "0.25", "--verbose"};
    size_t i = 0;
    ASSERT_TRUE(simchaos::ParseChaosOption(args, i, o, error, bTaken));
    EXPECT_TRUE(bTaken && o.bOn && o.nSeed == 17u && i == 1);
    i = 2;
    ASSERT_TRUE(simchaos::ParseChaosOption(args, i, o, error, bTaken));
    EXPECT_TRUE(bTaken && o.dRate == 0.25 && i == 3);
    i = 4;
    ASSERT_TRUE(simchaos::ParseChaosOption(args, i, o, error, bTaken));
    EXPECT_FALSE(bTaken);
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--chaos", "-1"},
                                                {"--chaos", "x"},
                                                {"--chaos"},
                                                {"--chaos-rate", "1.5"},
                                                {"--chaos-rate", "nan"},
                                                {"--chaos-rate", ""}}) {
        size_t k = 0;
        error.clear();
        EXPECT_FALSE(simchaos::ParseChaosOption(bad, k, o, error, bTaken)) << bad.back();
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
