// The engine's dispatch over a port opened on a pseudo-terminal. Bytes are put
// into the ring directly (the test plays the receive thread) and what the
// engine sends is read back from the master side.
#include "oriel/engine/downloader_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "oriel/engine/console_view.h"
#include "oriel/link/serial_port.h"
#include "platform/scripted_prompts.h"
#include "platform/settings_store.h"
#include "tests/support/pty_pair.h"

namespace {

using namespace std::chrono_literals;
using oriel::CDownloaderEngine;

class RecordingHandshake : public oriel::IHandshake {
  public:
    void HandshakeByte(uint8_t by) override { bytes.push_back(by); }
    std::vector<uint8_t> bytes;
};

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        settings.SetString("Ports", "COM3", pty.SlavePath());
        port.SetSettings(&settings);
        port.SetPrompts(&prompts);
        ASSERT_TRUE(port.Open(3, 115200, true));  // no thread: the test feeds the ring
        engine.SetHandshake(&handshake);
        engine.SetClock([this] { return now; });
    }

    void Feed(const std::vector<uint8_t>& bytes) {
        port.DeliverChunk(bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    void Wake() { engine.OnCommRxChar(3, 0); }
    std::vector<uint8_t> Sent() { return pty.ReadAvailable(30ms); }

    testsupport::CPtyPair pty;
    platform::CMemorySettingsStore settings;
    platform::CScriptedPrompts prompts;
    oriel::CRecordingConsole console;
    oriel::CSerialPort port;
    CDownloaderEngine engine{port, console, prompts};
    RecordingHandshake handshake;
    std::time_t now = 1000;
};

TEST_F(EngineTest, BatchSpanningTwoStatesIsHandledByteByByte) {
    engine.m_bIdentified = 1;
    engine.m_nState = oriel::WAIT_OFFSET_SUM;
    std::vector<uint8_t> first, second;
    engine.RegisterStateHandler(oriel::WAIT_OFFSET_SUM, [&](uint8_t by) {
        first.push_back(by);
        if (by == 0xB0) {
            engine.m_nState = oriel::WAIT_LENGTH_SUM;
        }
    });
    engine.RegisterStateHandler(oriel::WAIT_LENGTH_SUM, [&](uint8_t by) { second.push_back(by); });
    Feed({0x01, 0xB0, 0x7D, 0x7E});
    Wake();
    EXPECT_EQ(first, (std::vector<uint8_t>{0x01, 0xB0}));
    EXPECT_EQ(second, (std::vector<uint8_t>{0x7D, 0x7E}));
    EXPECT_EQ(port.Count(), 0);
}

TEST_F(EngineTest, IdleIgnoresBytesAndSendsNothing) {
    engine.m_bIdentified = 1;
    engine.m_nState = oriel::IDLE;
    int calls = 0;
    engine.RegisterStateHandler(oriel::IDLE, [&](uint8_t) { ++calls; });
    Feed({0xD9, 0xC6, 0x00, 0xFF});
    Wake();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(port.Count(), 0);  // drained, not left behind
    EXPECT_TRUE(Sent().empty());
}

TEST_F(EngineTest, UnidentifiedBytesAllGoToTheHandshake) {
    engine.m_bIdentified = 0;
    engine.m_nState = oriel::WAIT_SYNC;
    int syncCalls = 0;
    engine.RegisterSyncHandler(oriel::OP_NOR_DOWNLOAD, [&] { ++syncCalls; });
    Feed({0x81, 0xD9, 0x03});
    Wake();
    EXPECT_EQ(handshake.bytes, (std::vector<uint8_t>{0x81, 0xD9, 0x03}));
    EXPECT_EQ(syncCalls, 0);
}

TEST_F(EngineTest, StartPatternAndSyncDispatchPerOperation) {
    engine.m_bIdentified = 1;
    now = 4242;
    std::vector<int> started;
    engine.RegisterSyncHandler(oriel::OP_NOR_ERASE, [&] {
        started.push_back(oriel::OP_NOR_ERASE);
        engine.m_nState = oriel::WAIT_ERASE_SUM;
    });
    engine.StartOperation(oriel::OP_NOR_ERASE);
    EXPECT_EQ(engine.m_nState, oriel::WAIT_SYNC);
    EXPECT_EQ(engine.m_nOperation, oriel::OP_NOR_ERASE);
    EXPECT_EQ(engine.m_tStart, 4242);
    EXPECT_FALSE(console.m_bControlsEnabled);
    EXPECT_EQ(Sent(), std::vector<uint8_t>{0xD9});

    Feed({0x5A});  // the sync answer's value is not examined
    Wake();
    EXPECT_EQ(started, std::vector<int>{oriel::OP_NOR_ERASE});
    EXPECT_EQ(engine.m_nState, oriel::WAIT_ERASE_SUM);

    // Codes without behaviour stay in WAIT_SYNC.
    for (int op : {4, 6}) {
        engine.StartOperation(op);
        (void)Sent();
        Feed({0x00});
        Wake();
        EXPECT_EQ(engine.m_nState, oriel::WAIT_SYNC) << op;
    }
}

TEST_F(EngineTest, DumpBlockStateTakesExactlyOneBlockPerWakeUp) {
    engine.m_bIdentified = 1;
    engine.m_nOperation = oriel::OP_NOR_DUMP;
    engine.m_nState = oriel::WAIT_DUMP_BLOCK;
    int blocks = 0;
    engine.RegisterBlockHandler(oriel::OP_NOR_DUMP, [&] {
        ++blocks;
        uint8_t by = 0;
        for (int i = 0; i < 8193 && port.Pop(by); ++i) {
        }
    });
    Feed(std::vector<uint8_t>(8193, 0xA5));
    Feed(std::vector<uint8_t>(8000, 0x5A));
    Wake();
    EXPECT_EQ(blocks, 1);
    EXPECT_EQ(port.Count(), 8000);
    Wake();
    EXPECT_EQ(blocks, 2);
    Wake();  // nothing queued: the handler is not called
    EXPECT_EQ(blocks, 2);
}

TEST_F(EngineTest, BytesQueuedAfterAHandlerRequestsABlockWaitForTheirOwnWakeUp) {
    engine.m_bIdentified = 1;
    engine.m_nOperation = oriel::OP_NOR_DUMP;
    engine.m_nState = oriel::WAIT_SYNC;
    int blocks = 0;
    engine.RegisterSyncHandler(oriel::OP_NOR_DUMP, [&] {
        engine.m_nState = oriel::WAIT_DUMP_BLOCK;
        // The handset answers while the batch is still being drained.
        Feed(std::vector<uint8_t>(8193, 0x11));
    });
    engine.RegisterBlockHandler(oriel::OP_NOR_DUMP, [&] {
        ++blocks;
        uint8_t by = 0;
        for (int i = 0; i < 8193; ++i) {
            ASSERT_TRUE(port.Pop(by));
            ASSERT_EQ(by, 0x11);
        }
    });
    Feed({0xD9, 0xEE});  // sync answer, then a stray byte sent before the request
    Wake();
    EXPECT_EQ(port.Count(), 8193);  // the block is untouched
    Wake();
    EXPECT_EQ(blocks, 1);
}

TEST_F(EngineTest, ReplySplitOverTwoWakeUpsIsAssembledWhole) {
    engine.m_bIdentified = 1;
    engine.m_nState = oriel::WAIT_STATUS_DATA;
    std::vector<std::vector<uint8_t>> replies;
    engine.RegisterStateHandler(oriel::WAIT_STATUS_DATA, [&](uint8_t by) {
        if (engine.CollectReply(by, 44)) {
            replies.emplace_back(engine.Reply(), engine.Reply() + 44);
            engine.m_nState = oriel::IDLE;
        }
    });
    std::vector<uint8_t> record(44);
    for (size_t i = 0; i < record.size(); ++i) {
        record[i] = static_cast<uint8_t>(100 + i);
    }
    Feed({record.begin(), record.begin() + 20});
    Wake();
    EXPECT_TRUE(replies.empty());
    Feed({record.begin() + 20, record.end()});
    Feed({0x99});  // after the record: ignored in IDLE
    Wake();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], record);
}

TEST_F(EngineTest, FinishOperationClosesOpenFilesAndRestoresControls) {
    char path[] = "/tmp/oriel_engine_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_TRUE(engine.m_fileDump.Create(path));
    engine.m_bDumpFileOpen = 1;
    int hooks = 0;
    engine.SetFinishHook([&] { ++hooks; });
    engine.StartOperation(oriel::OP_NOR_DUMP);
    engine.FinishOperation();
    EXPECT_EQ(engine.m_nState, oriel::IDLE);
    EXPECT_EQ(engine.m_bDumpFileOpen, 0);
    EXPECT_FALSE(engine.m_fileDump.IsOpen());
    EXPECT_TRUE(console.m_bControlsEnabled);
    EXPECT_EQ(hooks, 1);
    std::remove(path);
    std::remove((std::string(path) + ".incomplete").c_str());
}

TEST_F(EngineTest, ReceiveThreadNoticesAreShownOnTheUiSide) {
    engine.OnMessage({oriel::WM_COMM_NOTICE, 3, oriel::kNoticeQueueFull});
    engine.OnMessage({oriel::WM_COMM_NOTICE, 3, oriel::kNoticeThreadError});
    EXPECT_EQ(prompts.MessageTexts(),
              (std::vector<std::string>{"m_QueueRead FULL!",
                                        "Error while creating ThreadWatchComm, COM3"}));
}

TEST_F(EngineTest, TimesAreLoggedFromStartAndEnd) {
    setenv("TZ", "UTC", 1);
    tzset();
    now = 3600 * 10;  // 10:00:00
    engine.StartOperation(oriel::OP_NOR_ERASE);
    now += 3725;
    engine.LogTimes("\r\n** Start Time    %H:%M:%S **", "\r\n** End Time      %H:%M:%S **",
                    "\r\n** Erasing Time %H:%M:%S **\r\n");
    EXPECT_EQ(engine.m_tsElapsed, 3725);
    EXPECT_EQ(console.m_strLog,
              "\r\n** Start Time    10:00:00 **\r\n** End Time      11:02:05 **"
              "\r\n** Erasing Time 01:02:05 **\r\n");
}

}  // namespace
