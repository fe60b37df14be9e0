// The PDA-side port: finding a handset's interface among the device links,
// exclusive opens across slots, and the read loop's bounds.
#include "fleet/transport/usb_device_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include <unistd.h>
#include "fleet/transport/slot_events.h"
#include "fleet/transport/stop_token.h"

#include <chrono>
#include <thread>

#include "tests/fleet/temp_dir.h"
#include "tests/support/pty_pair.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class UsbDevicePortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        interfaceClass.strFolder = dir.Path();
        Link("usb-Sim_Handset_A-if01", handsetA);
        Link("usb-Sim_Handset_B-if01", handsetB);
        Link("usb-Sim_Handset_A-if00", modemA);  // a modem interface: never a PDA port
    }
    void Link(const std::string& name, const testsupport::CPtyPair& pty) {
        ASSERT_EQ(symlink(pty.SlavePath().c_str(), dir.File(name).c_str()), 0);
    }
    // Bytes from the handset reach the port (the right handset is on it).
    static bool Talks(fleet::UsbDevicePort& port, testsupport::CPtyPair& handset) {
        const uint8_t reply[4] = {'O', 'K', 'U', 'D'};
        handset.Write(reply, sizeof reply);
        uint8_t got[4] = {};
        return port.Read(got, 4) == 4 && std::equal(got, got + 4, reply);
    }

    fleettest::CTempDir dir;
    testsupport::CPtyPair handsetA;
    testsupport::CPtyPair handsetB;
    testsupport::CPtyPair modemA;
    fleet::DeviceInterfaceClass interfaceClass;
};

TEST_F(UsbDevicePortTest, SecondSlotSkipsTheInterfaceTheFirstHolds) {
    fleet::UsbDevicePort slot0;
    fleet::UsbDevicePort slot1;
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(slot0.Open(interfaceClass, 0));
    ASSERT_TRUE(slot1.Open(interfaceClass, 1));
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string a = dir.File("usb-Sim_Handset_A-if01");
    const std::string b = dir.File("usb-Sim_Handset_B-if01");
    EXPECT_EQ(out, "Attempting to open " + a + "\n" + "Attempting to open " + a + "\n" +
                       "FAILED to open " + a + "\n" + "Attempting to open " + b + "\n");
    EXPECT_EQ(slot0.DevicePath(), a);
    EXPECT_EQ(slot1.DevicePath(), b);
    EXPECT_EQ(slot1.OpenedFlag(), 1);
    EXPECT_TRUE(Talks(slot0, handsetA));
    EXPECT_TRUE(Talks(slot1, handsetB));

    // A third slot finds both held; the enumeration still counts as run.
    fleet::UsbDevicePort slot2;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(slot2.Open(interfaceClass, 2));
    ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(slot2.IsOpen());
    EXPECT_EQ(slot2.OpenedFlag(), 1);
    slot2.Close();
    EXPECT_EQ(slot2.OpenedFlag(), 0);

    // Once slot 0 lets go, a later slot takes the first interface it can open.
    slot0.Close();
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(slot2.Open(interfaceClass, 2));
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(slot2.DevicePath(), a);
}

TEST_F(UsbDevicePortTest, AResetFirstSlotReachesAnInterfaceBeyondAHeldOne) {
    // Slot 1 holds the first interface (slot 0 was reset after serving its
    // handset); slot 0 must still find the second.
    fleet::UsbDevicePort slot0;
    fleet::UsbDevicePort slot1;
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(slot1.Open(interfaceClass, 1));
    ASSERT_TRUE(slot0.Open(interfaceClass, 0));
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(slot1.DevicePath(), dir.File("usb-Sim_Handset_A-if01"));
    EXPECT_EQ(slot0.DevicePath(), dir.File("usb-Sim_Handset_B-if01"));
    EXPECT_TRUE(Talks(slot0, handsetB));
}

TEST_F(UsbDevicePortTest, NoInterfaceNoPort) {
    fleet::UsbDevicePort port;
    interfaceClass.strPattern = "usb-*-if07*";
    EXPECT_FALSE(port.Open(interfaceClass, 7));
    interfaceClass.strFolder = dir.File("no such folder");
    EXPECT_FALSE(port.Open(interfaceClass, 0));
    uint8_t buffer[4] = {};
    EXPECT_EQ(port.Write(buffer, 4), 0u);
    EXPECT_EQ(port.Read(buffer, 4, 0), 0u);
}

TEST_F(UsbDevicePortTest, PacketsGoOutWholeAndRepliesComeAsQueued) {
    fleet::UsbDevicePort port;
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(port.Open(interfaceClass, 0));
    ::testing::internal::GetCapturedStdout();
    std::vector<uint8_t> packet(1024);
    for (size_t i = 0; i < packet.size(); ++i) {
        packet[i] = static_cast<uint8_t>(i);
    }
    ASSERT_EQ(port.Write(packet.data(), packet.size()), packet.size());
    EXPECT_EQ(handsetA.ReadExactly(1024, 2s), packet);

    // A reply split over two transfers arrives as two reads.
    uint8_t got[4] = {};
    handsetA.Write({'O', 'K'});
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(port.Read(got, 4), 2u);
    handsetA.Write({'U', 'P', 'X'});
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(port.Read(got + 2, 2), 2u) << "never more than wanted";
    EXPECT_EQ(std::string(got, got + 4), "OKUP");
    EXPECT_EQ(port.Read(got, 4, 0), 1u);
}

TEST_F(UsbDevicePortTest, BlockingReadWaitsForTheReplyWithinItsBound) {
    fleet::UsbDevicePort port;
    fleet::UsbPortTiming timing;
    timing.blockingBound = 400ms;
    port.SetTiming(timing);
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(port.Open(interfaceClass, 0));
    ::testing::internal::GetCapturedStdout();

    std::thread late([this] {
        std::this_thread::sleep_for(150ms);
        handsetA.Write({1, 2, 3, 4});
    });
    uint8_t got[4] = {};
    EXPECT_EQ(port.Read(got, 4), 4u);
    late.join();

    const auto started = Clock::now();
    EXPECT_EQ(port.Read(got, 4), 0u) << "a silent handset ends the wait with nothing";
    const auto waited = Clock::now() - started;
    EXPECT_GE(waited, 390ms);
    EXPECT_LT(waited, 1500ms);
}

TEST_F(UsbDevicePortTest, PollingReadWithNoDataGivesUpAfterTenPasses) {
    fleet::UsbDevicePort port;  // the real timing: 10 passes of 11 polls 100 ms apart
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(port.Open(interfaceClass, 0));
    ::testing::internal::GetCapturedStdout();
    uint8_t got[4] = {};
    const auto started = Clock::now();
    EXPECT_EQ(port.Read(got, 4, 0), 0u);
    const auto waited = Clock::now() - started;
    EXPECT_GE(waited, 10s);
    EXPECT_LT(waited, 14s);
}

TEST_F(UsbDevicePortTest, PollingReadReturnsDataThatArrivesDuringAPass) {
    fleet::UsbDevicePort port;
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(port.Open(interfaceClass, 0));
    ::testing::internal::GetCapturedStdout();
    std::thread late([this] {
        std::this_thread::sleep_for(1500ms);  // into the second pass
        handsetA.Write({9, 8, 7, 6});
    });
    uint8_t got[4] = {};
    const auto started = Clock::now();
    EXPECT_EQ(port.Read(got, 4, 0), 4u);
    EXPECT_LT(Clock::now() - started, 3s);
    late.join();
    EXPECT_EQ(got[3], 6);
}

// A worker asked to stop ends whatever it waits in within a slice: the
// polling and the blocking read of a silent handset, a whole write to a
// line that takes nothing, the wait for the modem port's event, a pause.
TEST_F(UsbDevicePortTest, AStopEndsEveryKindOfWaitAtOnce) {
    fleet::UsbDevicePort port;
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(port.Open(interfaceClass, 0));
    ::testing::internal::GetCapturedStdout();
    fleet::CAutoResetEvent event;
    const std::vector<uint8_t> big(1 << 20, 0x55);  // more than the pty takes unread
    const std::vector<std::pair<const char*, std::function<bool()>>> waits = {
        {"polling read",
         [&] {
             uint8_t b[4];
             return port.Read(b, 4, 0) == 0;
         }},
        {"blocking read",
         [&] {
             uint8_t b[4];
             return port.Read(b, 4, 1) == 0;
         }},
        {"write", [&] { return port.Write(big.data(), big.size()) < big.size(); }},
        {"event", [&] { return !event.Wait(20s); }},
        {"sleep", [&] { return !fleet::StoppableSleep(20s); }},
    };
    for (const auto& [what, wait] : waits) {
        std::atomic<bool> stop{false};
        std::atomic<bool> ended{false};
        std::atomic<bool> result{false};
        std::thread worker([&] {
            fleet::CStopScope scope(&stop);
            result = wait();
            ended = true;
        });
        std::this_thread::sleep_for(100ms);
        EXPECT_FALSE(ended) << what << " ended before the stop";
        const auto asked = Clock::now();
        stop = true;
        worker.join();
        EXPECT_LT(Clock::now() - asked, 500ms) << what;
        EXPECT_TRUE(result) << what << " reports that it was cut short";
    }
    // A thread without a stop flag waits as before.
    EXPECT_FALSE(fleet::StopRequested());
    EXPECT_TRUE(fleet::StoppableSleep(1ms));
}

}  // namespace
