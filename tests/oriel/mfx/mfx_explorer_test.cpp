// The MFX explorer's conversation on the wire, with a view that records.
#include "oriel/mfx/mfx_explorer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "oriel/mfx/code_page.h"
#include "tests/support/recording_explorer_view.h"
#include "tests/support/wire_port.h"

namespace {

using namespace oriel;
using Bytes = std::vector<uint8_t>;
using testsupport::Sum8Of;

using testsupport::RecordingView;

using testsupport::ListEntry;

class ExplorerWire : public ::testing::Test, protected testsupport::CWirePort {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/oriel_mfx_exp_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        SetAnsiCodePage("ISO-8859-1");
    }
    void TearDown() override {
        SetAnsiCodePage("");
        for (const char* name : {"/out.hex", "/out.hex.incomplete"}) {
            unlink((m_dir + name).c_str());
        }
        rmdir(m_dir.c_str());
    }
    void Reply(const Bytes& b) {
        Feed(b);
        exp.OnExplorerRx();
    }
    // Sends one listing (entries, then E7), checking each echo.
    void Listing(const std::vector<Bytes>& entries) {
        for (size_t i = 0; i < entries.size(); ++i) {
            Reply(entries[i]);
            ASSERT_EQ(Sent(1), Bytes{entries[i][1]}) << "echo of entry " << i;
            Reply({i + 1 < entries.size() ? uint8_t{0xCB} : uint8_t{0xE7}});
        }
    }
    // Opening: D9, the mount, then the root's listing of these entries.
    void OpenAndList(const std::vector<Bytes>& entries) {
        exp.Open();
        ASSERT_EQ(Sent(1), Bytes{0xD9});
        Reply({0x00});
        ASSERT_EQ(Sent(1), Bytes{0xDA});
        Reply({0xDA});
        ASSERT_EQ(Sent(3), (Bytes{0xE5, 0x01, 0x2F}));
        Listing(entries);
    }
    void OpenAndListRoot() {
        OpenAndList(
            {ListEntry(2, "."), ListEntry(2, ".."), ListEntry(2, "sys"), ListEntry(1, "boot.cfg")});
    }
    std::string m_dir;
    RecordingView view;
    CMfxExplorer exp{port, prompts, view};
};

TEST_F(ExplorerWire, OpeningMountsAndListsTheRoot) {
    OpenAndListRoot();
    ASSERT_EQ(view.tree.size(), 2u);  // "/" and sys, not . and ..
    EXPECT_EQ(view.tree[1].text, "sys");
    EXPECT_EQ(view.tree[1].parent, CMfxExplorer::kRootItem);
    EXPECT_EQ(view.files, std::vector<std::string>{"boot.cfg"});
    EXPECT_TRUE(
        view.log.ends_with("Searching the files... boot.cfg\r\n\r\n Read directory OK!\r\n"));
    EXPECT_TRUE(exp.Idle());
    EXPECT_TRUE(view.enabled);
}

// A listing entry with an empty name (a length byte of 0: the type byte
// alone) is echoed like any other but is neither a directory nor a file: as a
// tree item it would list its parent's path again.
TEST_F(ExplorerWire, AnEntryWithoutANameIsLeftOut) {
    OpenAndList(
        {Bytes{0x00, 0x02}, ListEntry(2, "sys"), Bytes{0x01, 0x01, 0x00}, ListEntry(1, "a")});
    ASSERT_EQ(view.tree.size(), 2u);
    EXPECT_EQ(view.tree[1].text, "sys");
    EXPECT_EQ(view.files, std::vector<std::string>{"a"});
    EXPECT_TRUE(exp.Idle());
}

TEST_F(ExplorerWire, ASecondListingOfADirectoryAddsNoChildrenAgain) {
    OpenAndListRoot();
    const int32_t sys = view.tree[1].id;
    for (int pass = 0; pass < 2; ++pass) {
        exp.ListDirectory(sys);
        EXPECT_EQ(Sent(7), (Bytes{0xE5, 0x05, '/', 's', 'y', 's', 0x00}));
        Listing({ListEntry(2, "."), ListEntry(2, "data"), ListEntry(1, "a")});
    }
    EXPECT_EQ(exp.Children(sys).size(), 1u);
    EXPECT_EQ(exp.PathOf(exp.Children(sys)[0]), "/sys/data");
    EXPECT_EQ(view.log, "\r\nSearching the files (in '/sys')... a\r\n\r\n Read directory OK!\r\n");
}

TEST_F(ExplorerWire, StatusRequestsCarryTheDirectoryPath) {
    OpenAndListRoot();
    exp.ListDirectory(view.tree[1].id);
    Sent(7);
    Listing({ListEntry(1, "a"), ListEntry(1, "b")});
    for (const char* name : {"a", "b"}) {
        exp.ShowFileStatus(name);
        const Bytes head = Sent(3);
        EXPECT_EQ(head, (Bytes{0xF0, 0x00, 0x07}));
        const Bytes path = Sent(7);
        EXPECT_EQ(std::string(path.begin(), path.end()), std::string("/sys/") + name + '\0');
        Bytes rec(28, 0);
        rec[3] = 0x81;                                        // mode 0x81
        rec[8] = 0x80;                                        // dev id 0x8000 -> ffff8000
        rec[15] = 100;                                        // size
        const uint32_t access = (28u << 9) | (3u << 5) | 7u;  // 2008-03-07
        rec[18] = static_cast<uint8_t>(access >> 8);
        rec[19] = static_cast<uint8_t>(access);
        const uint32_t mod = (28u << 25) | (3u << 21) | (7u << 16) | (14u << 11) | (5u << 5) | 4u;
        for (int k = 0; k < 4; ++k) {
            rec[static_cast<size_t>(20 + k)] = static_cast<uint8_t>(mod >> (24 - 8 * k));
        }
        Reply({0xF1});
        Reply(rec);
        EXPECT_EQ(view.log, std::string("\r\n Reading the file status '/sys/") + name +
                                "'... \n---------------------------- \n"
                                "\n*File mode : 0x81 \r\n*File i node : 0x0 \r\n"
                                "*File dev ID: 0xffff8000 \r\n*File dummy entry : 0x0 \r\n"
                                "*File size : 100 byte\r\n*File last access time : 0x3867 \r\n"
                                "2008:03:07 \r\n*File last modification time : 0x386770a4 \r\n"
                                "2008:03:07 14:05:04 \r\n*File last status change time : 0x0 \r\n"
                                "1980:00:00 00:00:00 \r\n");
    }
}

TEST_F(ExplorerWire, AFileIsReadInChunksAndStoredExactly) {
    OpenAndListRoot();
    Bytes content(20000);
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<uint8_t>(i * 31);
    }
    prompts.m_saveAnswers.push_back(m_dir + "/out.hex");
    exp.DumpSelectedFile("boot.cfg");
    EXPECT_EQ(Sent(3), (Bytes{0xE8, 0x00, 0x0A}));
    Sent(10);
    Reply({0xE9, 0x00, 0x00, 0x4E, 0x20});
    EXPECT_EQ(Sent(1), Bytes{0xEA});
    EXPECT_EQ(view.progressMax, 20000);
    size_t pos = 0;
    for (size_t len : {8192u, 8192u, 3616u}) {
        Bytes chunk(content.begin() + static_cast<long>(pos),
                    content.begin() + static_cast<long>(pos + len));
        chunk.push_back(Sum8Of(chunk));
        Reply(chunk);
        EXPECT_EQ(Sent(1), Bytes{0x01});
        pos += len;
    }
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Dump Completed!"});
    std::ifstream f(m_dir + "/out.hex", std::ios::binary);
    EXPECT_EQ(Bytes((std::istreambuf_iterator<char>(f)), {}), content);
    EXPECT_TRUE(exp.Idle());
}

TEST_F(ExplorerWire, AnEmptyFileIsOneCheckByte) {
    OpenAndListRoot();
    prompts.m_saveAnswers.push_back(m_dir + "/out.hex");
    exp.DumpSelectedFile("boot.cfg");
    Sent(13);
    Reply({0xE9, 0, 0, 0, 0});
    Sent(1);
    Reply({0x00});
    EXPECT_EQ(Sent(1), Bytes{0x01});
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Dump Completed!"});
    struct stat st {};
    ASSERT_EQ(stat((m_dir + "/out.hex").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(ExplorerWire, ABadChunkIsRefusedAndItsFileSetAside) {
    OpenAndListRoot();
    prompts.m_saveAnswers.push_back(m_dir + "/out.hex");
    exp.DumpSelectedFile("boot.cfg");
    Sent(13);
    Reply({0xE9, 0, 0, 0x40, 0x00});  // 16384: two chunks
    Sent(1);
    Bytes chunk(8192, 7);
    chunk.push_back(Sum8Of(chunk));
    Reply(chunk);
    EXPECT_EQ(Sent(1), Bytes{0x01});
    chunk.back() ^= 1;
    Reply(chunk);
    EXPECT_EQ(Sent(1), Bytes{0x00});
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Checksum Mismatched!"});
    struct stat st {};
    EXPECT_NE(stat((m_dir + "/out.hex").c_str(), &st), 0);
    ASSERT_EQ(stat((m_dir + "/out.hex.incomplete").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 8192);
    EXPECT_NE(view.log.find("Checksum mismatched!\r\n"), std::string::npos);
}

TEST_F(ExplorerWire, DeleteAsksThenListsTheDirectoryAgainWithItsStoredPath) {
    OpenAndListRoot();
    exp.ListDirectory(view.tree[1].id);
    Sent(7);
    Listing({ListEntry(1, "a")});
    prompts.m_yesNoAnswers.push_back(platform::MsgAnswer::No);
    exp.DeleteSelectedFile("a");
    EXPECT_TRUE(SentNow().empty());
    exp.DeleteSelectedFile("a");
    EXPECT_EQ(Sent(3), (Bytes{0xEE, 0x00, 0x07}));
    Sent(7);
    Reply({0xEE});
    // The stored path travels as it is: no zero byte.
    EXPECT_EQ(Sent(6), (Bytes{0xE5, 0x04, '/', 's', 'y', 's'}));
    Listing({ListEntry(2, ".")});
    EXPECT_TRUE(view.files.empty());
}

TEST_F(ExplorerWire, APathTooLongForTheListRequestIsRefused) {
    OpenAndListRoot();
    const int32_t deep = exp.ItemForPath("/" + std::string(254, 'x'));
    exp.ListDirectory(deep);
    EXPECT_TRUE(SentNow().empty());
    EXPECT_TRUE(view.log.ends_with("**UTF8 length error(256) **\r\n"));
}

// The shown files stay those of the directory a command on them names.
TEST_F(ExplorerWire, ARefusedListingKeepsTheShownFilesWithTheirDirectory) {
    OpenAndListRoot();
    exp.ListDirectory(exp.ItemForPath("/" + std::string(254, 'x')));
    ASSERT_TRUE(SentNow().empty());
    ASSERT_EQ(exp.Files(), std::vector<std::string>{"boot.cfg"});
    EXPECT_EQ(exp.DirPath(), "/");
    exp.ShowFileStatus("boot.cfg");
    const Bytes request = Sent(3 + 10);
    EXPECT_EQ(std::string(request.begin() + 3, request.end()), std::string("/boot.cfg") + '\0');
}

TEST_F(ExplorerWire, AListingErrorLeavesOnlyTheTreeUsable) {
    exp.Open();
    Sent(1);
    Reply({0x00});
    Sent(1);
    Reply({0xDA});
    Sent(3);
    Reply(ListEntry(2, "."));
    Sent(1);
    Reply({0xE6});
    EXPECT_TRUE(view.log.ends_with("ERROR in reading File name!\r\n"));
    Reply({0x42});
    EXPECT_TRUE(view.log.ends_with("Fail!(0x42)\r\n"));
    EXPECT_EQ(exp.State(), CMfxExplorer::EXP_LIST_FAILED);
}

TEST_F(ExplorerWire, ClosingUnmountsAndHandsBackOnAnyReply) {
    OpenAndListRoot();
    exp.CloseExplorer();
    EXPECT_EQ(Sent(1), Bytes{0xE4});
    Reply({0x33});
    EXPECT_TRUE(view.log.ends_with("Fail!(0x33)\r\n"));
    EXPECT_EQ(view.closed, 1);
}

TEST_F(ExplorerWire, AFullDumpBlockWithABadSumIsRefused) {
    OpenAndListRoot();
    prompts.m_saveAnswers.push_back(m_dir + "/out.hex");
    exp.DumpWholeNand();
    EXPECT_EQ(Sent(1), Bytes{0xC0});
    Reply({0xC1});
    EXPECT_EQ(view.log, "** Start Dump!\n  Wait!!!!!!! Long time \n");
    EXPECT_EQ(view.progressMax, 0x7D20000);
    Bytes block(2048, 0x5A);
    block.push_back(Sum8Of(block));
    Reply(block);
    EXPECT_EQ(Sent(1), Bytes{0xC1});
    EXPECT_EQ(view.log, "** Dump!( 2048 Byte)\n ");
    block.back() ^= 0x80;
    Reply(block);
    EXPECT_EQ(Sent(1), Bytes{0xC2});
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Dump Checksum Mismatched!"});
    struct stat st {};
    ASSERT_EQ(stat((m_dir + "/out.hex.incomplete").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 2048);
}

}  // namespace
