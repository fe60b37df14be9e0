// NAND format and status on the wire.
#include "oriel/mfx/nand_ops.h"

#include <gtest/gtest.h>

#include "oriel/engine/console_view.h"
#include "oriel/engine/downloader_engine.h"
#include "tests/support/wire_port.h"

namespace {

using namespace oriel;
using Bytes = std::vector<uint8_t>;

class NandWire : public ::testing::Test, protected testsupport::CWirePort {
  protected:
    void SetUp() override {
        engine.m_bIdentified = 1;
        engine.m_nState = IDLE;
    }
    void Reply(const Bytes& b) {
        Feed(b);
        engine.OnCommRxChar(1, 0);
    }
    CRecordingConsole console;
    CDownloaderEngine engine{port, console, prompts};
    CNandOps nand{engine};
};

TEST_F(NandWire, FormatAsksFirstAndNoSendsNothing) {
    prompts.m_yesNoAnswers.push_back(platform::MsgAnswer::No);
    EXPECT_FALSE(nand.StartFormat());
    EXPECT_TRUE(SentNow().empty());
    EXPECT_TRUE(console.m_bControlsEnabled);
    ASSERT_EQ(prompts.m_messages.size(), 1u);
    EXPECT_EQ(prompts.m_messages[0].text, "Sure to FORMAT?");
    EXPECT_EQ(prompts.m_messages[0].buttons, platform::MsgButtons::YesNo);
    EXPECT_EQ(prompts.m_messages[0].icon, platform::MsgIcon::Question);
}

TEST_F(NandWire, FormatIgnoresStrayBytesBeforeItsResult) {
    ASSERT_TRUE(nand.StartFormat());
    EXPECT_EQ(Sent(1), Bytes{0xD9});
    Reply({0x00});
    EXPECT_EQ(Sent(1), Bytes{0xE0});
    Reply({0x00, 0x00, 0xE1});
    EXPECT_EQ(console.m_strLog, " \r\n** Formatting MFX system (NAND Flash)... Success!\r\n");
    EXPECT_EQ(prompts.MessageTexts().back(), "NAND-Formatting Completed!");
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_TRUE(console.m_bControlsEnabled);
}

TEST_F(NandWire, FormatErrorsPrintTheFunctionCodeAsASignedByte) {
    ASSERT_TRUE(nand.StartFormat());
    Sent(1);
    Reply({0x00});
    Sent(1);
    Reply({0xF2, 0x01, 0x00, 0x00});
    Reply({0x00, 0x2A});
    EXPECT_TRUE(
        console.m_strLog.ends_with("\n Format Error!\n Funccode(0x1)->Errorcode (0x2a)\r\n"));
    EXPECT_TRUE(console.m_bControlsEnabled);

    ASSERT_TRUE(nand.StartFormat());
    Sent(1);
    Reply({0x00});
    Sent(1);
    Reply({0xF2, 0x81, 0x12, 0x34, 0x56, 0x78});
    EXPECT_TRUE(console.m_strLog.ends_with("Funccode(0xffffff81)->Errorcode (0x12345678)\r\n"));
}

TEST_F(NandWire, StatusPrintsTheRecordAssembledAcrossWakeUps) {
    ASSERT_TRUE(nand.StartStatus());
    EXPECT_TRUE(prompts.m_messages.empty());
    EXPECT_EQ(Sent(1), Bytes{0xD9});
    Reply({0x00});
    EXPECT_EQ(Sent(1), Bytes{0xEC});
    Bytes rec(44, 0);
    rec[0] = 0x4D;  // f_type
    rec[4] = 0x00;
    rec[5] = 0x08;  // f_bsize 2048
    rec[16] = 0xFE;
    rec[17] = 0xFF;
    rec[18] = 0xFF;
    rec[19] = 0xFF;  // f_bfree -2 as a signed value
    rec[32] = '1';
    rec[33] = '2';
    rec[34] = '3';
    rec[35] = '4';
    rec[40] = 0xFF;
    rec[41] = 0xFF;
    Reply({0x11, 0xED});  // a stray byte first
    Reply(Bytes(rec.begin(), rec.begin() + 20));
    EXPECT_EQ(engine.m_nState, WAIT_STATUS_DATA);
    Reply(Bytes(rec.begin() + 20, rec.end()));
    EXPECT_EQ(console.m_strLog,
              " \r\n** Checking MFX system (NAND Flash)... OK!\r\n\r\n< Result >\r\n"
              "1. FileSystem Type( f_type ) : 4D\r\n"
              "2. Optimal transfer block size( f_bsize ) : 2048 (0x800)\r\n"
              "3. block size in bits( f_bsizebits ) : 0 (0x0)\r\n"
              "4. total data blocks in file system( f_blocks ) : 0 (0x0)\r\n"
              "5. free blocks in file system( f_bfree ) : -2 (0xFFFFFFFE)\r\n"
              "6. free blocks avail to non-superuser( f_bavail ) : 0 (0x0)\r\n"
              "7. total file nodes in file system( f_files ) : 0 (0x0)\r\n"
              "8. free file nodes in file system( f_ffree ) : 0 (0x0)\r\n"
              "9. file system id( f_fsid ) : 4321\r\n"
              "10. maximum file size( f_maxfilesize ) : 0 (0x0)\r\n"
              "11. maximum length of filenames( f_namelen ) : -1 (0xFFFFFFFF)\r\n");
    EXPECT_TRUE(console.m_bControlsEnabled);
}

TEST_F(NandWire, StatusErrorsAreLoggedAndEndTheOperation) {
    ASSERT_TRUE(nand.StartStatus());
    Sent(1);
    Reply({0x00});
    Sent(1);
    Reply({0xF3, 0x02, 0x00, 0x00, 0x01, 0x00});
    EXPECT_TRUE(
        console.m_strLog.ends_with("\n Init,mount Error!\n Funccode(0x2)->Errorcode (0x100)\r\n"));
    EXPECT_EQ(engine.m_nState, IDLE);
}

}  // namespace
