// The serial link over a pseudo-terminal: the test holds the master side as the handset.
#include "oriel/link/serial_port.h"
#include "platform/baud_rate.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/scripted_prompts.h"
#include "platform/settings_store.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_sink.h"

namespace {

using namespace std::chrono_literals;
using platform::WindowMessage;

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port = std::make_unique<oriel::CSerialPort>();
        port->SetMessageSink(&sink);
        port->SetPrompts(&prompts);
        settings.SetString("Ports", "COM3", pty.SlavePath());
        port->SetSettings(&settings);
    }

    // Waits until the ring holds n bytes (the receive thread keeps pushing).
    bool WaitForCount(int32_t n, std::chrono::milliseconds timeout = 3s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (port->Count() != n) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    size_t CountPosted(uint32_t nMsg) {
        size_t n = 0;
        WindowMessage m;
        while (sink.WaitNext(m, 0ms)) {
            n += m.nMsg == nMsg ? 1 : 0;
        }
        return n;
    }

    testsupport::CPtyPair pty;
    testsupport::CRecordingSink sink;
    platform::CScriptedPrompts prompts;
    platform::CMemorySettingsStore settings;
    std::unique_ptr<oriel::CSerialPort> port;
};

TEST_F(SerialPortTest, BytesArriveInOrderWithOneWakeUpPerBatch) {
    ASSERT_TRUE(port->Open(3, 115200, false));
    EXPECT_TRUE(port->IsThreadRunning());
    EXPECT_EQ(port->PortName(), "COM3");

    constexpr int kBatches = 40;
    constexpr int kBatchSize = 100;
    std::vector<uint8_t> received;
    size_t wakeUps = 0;
    for (int b = 0; b < kBatches; ++b) {
        std::vector<uint8_t> batch(kBatchSize);
        for (int i = 0; i < kBatchSize; ++i) {
            batch[static_cast<size_t>(i)] = static_cast<uint8_t>(b * kBatchSize + i);
        }
        const size_t before = received.size();
        pty.Write(batch);
        ASSERT_TRUE(sink.PumpUntil(
            [&](const WindowMessage& m) {
                ASSERT_EQ(m.nMsg, oriel::WM_COMM_RXCHAR);
                EXPECT_EQ(m.wParam, 3u);
                EXPECT_EQ(m.lParam, 0);
                ++wakeUps;
                uint8_t by = 0;
                while (port->Pop(by)) {
                    received.push_back(by);
                }
            },
            [&] { return received.size() == before + kBatchSize; }, 3s))
            << "batch " << b;
    }
    for (size_t i = 0; i < received.size(); ++i) {
        ASSERT_EQ(received[i], static_cast<uint8_t>(i)) << i;
    }
    // One wake-up per read batch, never one per byte.
    EXPECT_GE(wakeUps, static_cast<size_t>(kBatches));
    EXPECT_LE(wakeUps, static_cast<size_t>(2 * kBatches));
    port->Close();
}

TEST_F(SerialPortTest, ReadThatDoesNotFitIsDroppedWholeAndReported) {
    ASSERT_TRUE(port->Open(3, 115200, false));
    std::vector<uint8_t> fill(16000, 0x11);
    pty.Write(fill);
    ASSERT_TRUE(WaitForCount(16000));
    (void)CountPosted(oriel::WM_COMM_RXCHAR);

    pty.Write(std::vector<uint8_t>(384, 0x22));
    WindowMessage m;
    bool bNotice = false;
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (!bNotice && std::chrono::steady_clock::now() < deadline) {
        if (sink.WaitNext(m, 50ms) && m.nMsg == oriel::WM_COMM_NOTICE) {
            bNotice = true;
            EXPECT_EQ(m.lParam, oriel::kNoticeQueueFull);
        }
    }
    ASSERT_TRUE(bNotice);
    EXPECT_EQ(port->Count(), 16000);
    EXPECT_EQ(oriel::CSerialPort::NoticeText(oriel::kNoticeQueueFull, "COM3"), "m_QueueRead FULL!");
    // Shown by the UI thread's handler, not by the receive thread.
    EXPECT_TRUE(prompts.m_messages.empty());

    pty.Write(std::vector<uint8_t>(383, 0x33));
    ASSERT_TRUE(WaitForCount(16383));
    uint8_t by = 0;
    for (int i = 0; i < 16000; ++i) {
        ASSERT_TRUE(port->Pop(by));
        ASSERT_EQ(by, 0x11);
    }
    for (int i = 0; i < 383; ++i) {
        ASSERT_TRUE(port->Pop(by));
        ASSERT_EQ(by, 0x33);
    }
    port->Close();
}

TEST_F(SerialPortTest, DeliverChunkRuleAtTheExactBoundary) {
    // The rule itself, without timing: 16000 queued, 384 more would make 16384.
    std::vector<uint8_t> data(16000, 1);
    port->DeliverChunk(data.data(), 16000);
    std::vector<uint8_t> more(384, 2);
    port->DeliverChunk(more.data(), 384);
    EXPECT_EQ(port->Count(), 16000);
    WindowMessage m;
    ASSERT_TRUE(sink.WaitNext(m, 0ms));
    EXPECT_EQ(m.nMsg, oriel::WM_COMM_NOTICE);
    port->DeliverChunk(more.data(), 383);
    EXPECT_EQ(port->Count(), 16383);
    EXPECT_FALSE(sink.WaitNext(m, 0ms));
}

TEST_F(SerialPortTest, BlockModePostsOnlyAtTheFullBlock) {
    ASSERT_TRUE(port->Open(3, 921600, false));
    port->m_bBlockMode = 1;
    std::vector<uint8_t> block(8192);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i ^ 0x5A);
    }
    for (size_t off = 0; off < block.size(); off += 1024) {
        pty.Write(block.data() + off, 1024);
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(WaitForCount(8192));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(CountPosted(oriel::WM_COMM_RXCHAR), 0u);

    const uint8_t last = 0x77;
    pty.Write(&last, 1);
    ASSERT_TRUE(WaitForCount(8193));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(CountPosted(oriel::WM_COMM_RXCHAR), 1u);
    port->Close();
}

TEST_F(SerialPortTest, CloseReleasesTheWaitingThreadAndReopenKeepsOldBytesFirst) {
    ASSERT_TRUE(port->Open(3, 115200, false));
    pty.Write({1, 2, 3});
    ASSERT_TRUE(WaitForCount(3));
    std::this_thread::sleep_for(20ms);  // the thread is back in its wait

    const auto t0 = std::chrono::steady_clock::now();
    port->Close();
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, 200ms);
    EXPECT_FALSE(port->IsThreadRunning());
    EXPECT_FALSE(port->IsOpen());

    ASSERT_TRUE(port->Open(3, 460800, false));
    EXPECT_TRUE(port->IsThreadRunning());
    pty.Write({4, 5});
    ASSERT_TRUE(WaitForCount(5));
    std::vector<uint8_t> got;
    uint8_t by = 0;
    while (port->Pop(by)) {
        got.push_back(by);
    }
    EXPECT_EQ(got, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    port->Close();
    port->Close();  // harmless when closed
}

TEST_F(SerialPortTest, SendBlocksUntilWrittenAndReturnsTheCount) {
    ASSERT_TRUE(port->Open(3, 921600, false));
    std::vector<uint8_t> data(200000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 13 + 1);
    }
    std::vector<uint8_t> got;
    std::thread reader([&] {
        // A slow reader: the pty buffer fills and Send has to wait.
        while (got.size() < data.size()) {
            auto part = pty.ReadExactly(std::min<size_t>(4096, data.size() - got.size()), 2s);
            if (part.empty()) {
                break;
            }
            got.insert(got.end(), part.begin(), part.end());
            std::this_thread::sleep_for(1ms);
        }
    });
    EXPECT_EQ(port->Send(data.data(), data.size()), data.size());
    reader.join();
    EXPECT_EQ(got, data);
    port->Close();
}

TEST_F(SerialPortTest, LineSpeedIsWhatOpenAndSetLineFormatAsked) {
    ASSERT_TRUE(port->Open(3, 115200, false));
    EXPECT_EQ(pty.SlaveSpeed(), static_cast<unsigned>(B115200));
    ASSERT_TRUE(port->SetLineFormat(115200, 8, oriel::Parity::Even, oriel::StopBits::One));
    EXPECT_EQ(pty.SlaveSpeed(), static_cast<unsigned>(B115200));
    port->Close();
    for (uint32_t baud : {230400u, 460800u, 921600u}) {
        ASSERT_TRUE(port->Open(3, baud, false));
        unsigned speed = 0;
        ASSERT_TRUE(platform::BaudToSpeed(baud, speed));
        EXPECT_EQ(pty.SlaveSpeed(), speed) << baud;
        port->Close();
    }
    EXPECT_TRUE(prompts.m_messages.empty());
}

TEST_F(SerialPortTest, MissingOrHeldPortFailsSilently) {
    settings.SetString("Ports", "COM4", "/nonexistent/tty-handset");
    EXPECT_FALSE(port->Open(4, 115200, false));
    EXPECT_FALSE(port->IsOpen());
    // Silently, but the cause is kept for whoever reports the failure.
    EXPECT_EQ(port->OpenFailure().problem, platform::PortProblem::Missing);
    EXPECT_EQ(port->OpenFailure().strCause, "/nonexistent/tty-handset: missing: no such device");

    ASSERT_TRUE(port->Open(3, 115200, false));
    EXPECT_EQ(port->OpenFailure().problem, platform::PortProblem::None);
    oriel::CSerialPort other;
    other.SetPrompts(&prompts);
    other.SetSettings(&settings);
    EXPECT_FALSE(other.Open(3, 115200, false));
    EXPECT_EQ(other.OpenFailure().problem, platform::PortProblem::Busy);
    EXPECT_TRUE(other.OpenFailure().HeldByThisProcess());
    EXPECT_TRUE(port->IsOpen());
    port->Close();
    EXPECT_TRUE(other.Open(3, 115200, false));  // free again once closed
    EXPECT_EQ(other.OpenFailure().problem, platform::PortProblem::None);
    other.Close();
    EXPECT_TRUE(prompts.m_messages.empty());
}

TEST_F(SerialPortTest, RefusedLineSettingsShowFailAndCloseAgain) {
    settings.SetString("Ports", "COM5", "/dev/null");  // opens, but is no serial line
    EXPECT_FALSE(port->Open(5, 115200, false));
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Fail!!"});
    EXPECT_EQ(port->OpenFailure().problem, platform::PortProblem::NotATerminal);
    EXPECT_FALSE(port->IsOpen());
    EXPECT_FALSE(port->IsThreadRunning());
    // A rate the line does not offer is refused the same way.
    prompts.m_messages.clear();
    EXPECT_FALSE(port->Open(3, 123456, false));
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Fail!!"});
    EXPECT_EQ(port->OpenFailure().problem, platform::PortProblem::None);  // the port is fine
    ASSERT_TRUE(port->Open(3, 115200, false));
    EXPECT_FALSE(port->SetLineFormat(123456, 8, oriel::Parity::Even, oriel::StopBits::One));
    port->Close();
}

TEST_F(SerialPortTest, DestroyingAnOpenPortStopsItsThread) {
    ASSERT_TRUE(port->Open(3, 115200, false));
    pty.Write({9, 9, 9});
    port.reset();
    // Nothing left to post into a dead sink: the thread was joined.
    std::this_thread::sleep_for(20ms);
    SUCCEED();
}

// An unplugged adapter or a closed peer: said once at once, and the thread
// then only waits for Close() instead of spinning on the hang-up.
TEST_F(SerialPortTest, AVanishedDeviceIsReportedOnceAndTheThreadWaitsForClose) {
    ASSERT_TRUE(port->Open(3, 115200, false));
    pty.Write({1, 2, 3});
    ASSERT_TRUE(WaitForCount(3));
    pty.CloseMaster();
    bool bGone = false;
    WindowMessage m;
    while (!bGone && sink.WaitNext(m, 2s)) {
        bGone = m.nMsg == oriel::WM_COMM_NOTICE && m.lParam == oriel::kNoticePortGone;
    }
    ASSERT_TRUE(bGone);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(CountPosted(oriel::WM_COMM_NOTICE), 0u);
    EXPECT_TRUE(port->IsThreadRunning());
    EXPECT_EQ(port->Count(), 3);  // what came before stays for the UI thread
    port->Close();
    EXPECT_FALSE(port->IsThreadRunning());
}

}  // namespace
