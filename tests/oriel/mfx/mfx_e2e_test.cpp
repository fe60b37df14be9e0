// The MFX file system end to end against the simulated handset: a package
// lands in its NAND, is listed, read back, deleted from, formatted away and
// dumped whole.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "oriel/mfx/code_page.h"
#include "oriel/mfx/mfx_explorer.h"
#include "tests/support/recording_explorer_view.h"
#include "tests/support/sim_session.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

Bytes Random(size_t n, unsigned seed) {
    Bytes b(n);
    std::mt19937 rng(seed);
    for (uint8_t& x : b) {
        x = static_cast<uint8_t>(rng());
    }
    return b;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), {});
}

// Files of the package: handset path and contents.
struct PackageFile {
    std::string path;
    Bytes data;
};

class MfxE2E : public ::testing::Test, protected testsupport::CSimSession {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/oriel_mfx_e2e_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        oriel::SetAnsiCodePage("ISO-8859-1");
        orielsim::HandsetOptions o;
        o.strNandDir = m_dir + "/nand";
        std::string error;
        ASSERT_TRUE(BootAndIdentify(o, error)) << error;
        files = {{"/sys/empty.bin", {}},
                 {"/sys/data/one.bin", Random(8192, 1)},
                 {"/sys/data/two.bin", Random(16384, 2)},
                 {"/app/caf\xE9.txt", Random(20000, 3)}};
        std::string cfg =
            "MFXVERSION : PROJ-0001-ABCDEF\r\nMFXRELEASEVERSION : REL-2008-001\r\n"
            "DIR_NAME : /sys\r\nDIR_NAME : /sys/data\r\nDIR_NAME : /app\r\n";
        std::ofstream mfx(m_dir + "/pkg.mfx", std::ios::binary);
        for (const PackageFile& f : files) {
            cfg += "FILE_NAME : " + f.path + "\r\nFILE_SIZE : " + std::to_string(f.data.size()) +
                   "\r\n";
            mfx.write(reinterpret_cast<const char*>(f.data.data()),
                      static_cast<std::streamsize>(f.data.size()));
        }
        mfx.close();
        std::ofstream(m_dir + "/pkg.cfg", std::ios::binary) << cfg;
        session.Package().m_strMfxPath = m_dir + "/pkg.mfx";
    }
    void TearDown() override {
        session.Stop();
        if (handset) {
            handset->Stop();
        }
        oriel::SetAnsiCodePage("");
        fs::remove_all(m_dir);
    }
    bool Download() {
        prompts.m_messages.clear();
        if (!session.Mfx().StartMfxDownload() || !RunToIdle()) {
            return false;
        }
        return !prompts.m_messages.empty() &&
               prompts.m_messages.back().text == "Download completed!";
    }
    // The explorer, open and mounted, with the notifications taken over.
    struct Explorer {
        explicit Explorer(MfxE2E& t) : test(t), exp(t.port, t.prompts, view) {
            t.session.TakeOverReceive([this] { exp.OnExplorerRx(); });
            exp.Open();
        }
        ~Explorer() {
            test.session.GiveBackReceive();
            EXPECT_FALSE(test.session.ReceiveTakenOver());
        }
        bool Wait() {
            return test.RunUntil([this] { return exp.Idle(); }, 120s);
        }
        bool Close() {
            exp.CloseExplorer();
            return test.RunUntil([this] { return view.closed > 0; }, 10s);
        }
        MfxE2E& test;
        testsupport::RecordingView view;
        oriel::CMfxExplorer exp;
    };
    std::string Utf8(const std::string& latin1) {
        std::string out;
        int n = 0;
        oriel::AnsiToUtf8(latin1, out, n, oriel::kPackageNameCap);
        out.pop_back();
        return out;
    }

    std::string m_dir;
    std::vector<PackageFile> files;
};

TEST_F(MfxE2E, APackageLandsInTheHandsetsFileSystemByteExact) {
    ASSERT_TRUE(Download()) << console.m_strLog;
    for (const PackageFile& f : files) {
        const std::string onDisk = handset->NandDir() + Utf8(f.path);
        EXPECT_EQ(ReadFile(onDisk), f.data) << f.path;
    }
    ASSERT_TRUE(handset->LastMfxCrcAnnounced().has_value());
    EXPECT_EQ(handset->LastMfxCrcAnnounced(), handset->LastMfxCrcComputed());
    EXPECT_EQ(handset->MfxFilesWritten(), 4);
    EXPECT_FALSE(handset->MfxMounted());
    EXPECT_NE(console.m_strLog.find("** (Total 44576 bytes) **"), std::string::npos);
}

// A byte that arrives while "Download completed!" is open used to re-enter the
// unmount handler: a second completion box, or "Unmounting Error!" after it.
TEST_F(MfxE2E, AByteDuringTheCompletionBoxIsHandledAfterIt) {
    bool bInjected = false;
    prompts.m_fnOnMessage = [&](const platform::CScriptedPrompts::Shown& shown) {
        if (shown.text != "Download completed!" || bInjected) {
            return;
        }
        bInjected = true;
        // The box's own event loop: the byte arrives and its wake-up is delivered.
        const uint8_t stray = 0xE4;
        port.DeliverChunk(&stray, 1);
        port.PostAfterReads();
        loop.RunUntil([] { return false; }, 100ms);
    };
    ASSERT_TRUE(Download()) << console.m_strLog;
    ASSERT_TRUE(bInjected);
    RunUntil([&] { return port.Count() == 0; }, 2s);
    EXPECT_EQ(port.Count(), 0) << "the held byte was never handled";
    const std::vector<std::string> texts = prompts.MessageTexts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Download completed!"), 1);
    EXPECT_EQ(console.m_strLog.find("Unmounting Error"), std::string::npos);
    EXPECT_EQ(session.Engine().m_nState, oriel::IDLE);
}

TEST_F(MfxE2E, TheExplorerListsReadsDeletesAndQueries) {
    ASSERT_TRUE(Download());
    Explorer e(*this);
    ASSERT_TRUE(e.Wait());
    const auto& root = e.exp.Children(oriel::CMfxExplorer::kRootItem);
    std::vector<std::string> dirs;
    for (int32_t c : root) {
        dirs.push_back(e.exp.ItemText(c));
    }
    std::sort(dirs.begin(), dirs.end());
    EXPECT_EQ(dirs, (std::vector<std::string>{"app", "sys"}));

    // Read every file back through the explorer and compare.
    for (const PackageFile& f : files) {
        const size_t slash = f.path.rfind('/');
        e.exp.ListDirectory(e.exp.ItemForPath(f.path.substr(0, slash)));
        ASSERT_TRUE(e.Wait());
        const std::string name = f.path.substr(slash + 1);
        EXPECT_NE(std::find(e.exp.Files().begin(), e.exp.Files().end(), name), e.exp.Files().end())
            << name;
        const std::string out = m_dir + "/got.bin";
        prompts.m_saveAnswers.push_back(out);
        e.exp.DumpSelectedFile(name);
        ASSERT_TRUE(e.Wait());
        EXPECT_EQ(prompts.m_messages.back().text, "Dump Completed!") << e.view.log;
        EXPECT_EQ(ReadFile(out), f.data) << f.path;
    }

    // Status of a file: its real size.
    e.exp.ListDirectory(e.exp.ItemForPath("/sys/data"));
    ASSERT_TRUE(e.Wait());
    e.exp.ShowFileStatus("two.bin");
    ASSERT_TRUE(e.Wait());
    EXPECT_NE(e.view.log.find("*File size : 16384 byte\r\n"), std::string::npos) << e.view.log;

    // Delete one; the directory is listed again without it.
    e.exp.DeleteSelectedFile("one.bin");
    ASSERT_TRUE(e.Wait());
    EXPECT_EQ(e.exp.Files(), std::vector<std::string>{"two.bin"});
    EXPECT_FALSE(fs::exists(handset->NandDir() + "/sys/data/one.bin"));
    EXPECT_TRUE(e.Close());
}

TEST_F(MfxE2E, FormatEmptiesTheFileSystemAndStatusShowsIt) {
    ASSERT_TRUE(Download());
    auto freeBlocks = [this] {
        const std::string key = "5. free blocks in file system( f_bfree ) : ";
        const size_t at = console.m_strLog.rfind(key);
        return at == std::string::npos ? -1L : std::stol(console.m_strLog.substr(at + key.size()));
    };
    ASSERT_TRUE(session.Nand().StartStatus());
    ASSERT_TRUE(RunToIdle());
    const long before = freeBlocks();
    prompts.m_yesNoAnswers.push_back(platform::MsgAnswer::Yes);
    ASSERT_TRUE(session.Nand().StartFormat());
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(prompts.m_messages.back().text, "NAND-Formatting Completed!");
    ASSERT_TRUE(session.Nand().StartStatus());
    ASSERT_TRUE(RunToIdle());
    const long after = freeBlocks();
    EXPECT_GT(after, before) << console.m_strLog;
    const std::string key = "7. total file nodes in file system( f_files ) : ";
    const std::string keyFree = "8. free file nodes in file system( f_ffree ) : ";
    const long nodes = std::stol(console.m_strLog.substr(console.m_strLog.rfind(key) + key.size()));
    const long freeNodes =
        std::stol(console.m_strLog.substr(console.m_strLog.rfind(keyFree) + keyFree.size()));
    EXPECT_EQ(nodes, freeNodes + 1);  // only the root is left
    Explorer e(*this);
    ASSERT_TRUE(e.Wait());
    EXPECT_TRUE(e.exp.Children(oriel::CMfxExplorer::kRootItem).empty());
    EXPECT_TRUE(e.exp.Files().empty());
}

TEST_F(MfxE2E, ABinaryThenThePackageRunAsOneOperation) {
    const Bytes image = Random(70000, 4);
    std::ofstream(m_dir + "/main.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    session.Download().m_controls.nTab = oriel::kTabTamarin2;
    session.Download().m_controls.astrBinPath[2] = m_dir + "/main.bin";
    ASSERT_TRUE(session.Download().DownloadBinThenMfx(oriel::kTargetMainBinary));
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Download completed!"});
    EXPECT_EQ(handset->ReadNor(0x20000, image.size()), image);
    EXPECT_EQ(ReadFile(handset->NandDir() + "/sys/data/two.bin"), files[2].data);
    EXPECT_NE(console.m_strLog.find("\r\n** Start Downloading MFX file **\r\n"), std::string::npos);
    EXPECT_NE(console.m_strLog.find("** (Total 114576 bytes) **"), std::string::npos);
}

TEST_F(MfxE2E, TheFullNandDumpIsTheHandsetsImage) {
    ASSERT_TRUE(Download());
    Explorer e(*this);
    ASSERT_TRUE(e.Wait());
    const std::string out = m_dir + "/nand.hex";
    prompts.m_saveAnswers.push_back(out);
    e.exp.DumpWholeNand();
    ASSERT_TRUE(RunUntil([&] { return e.exp.Idle(); }, 600s));
    EXPECT_NE(e.view.log.find("** NAND FULL DUMP Completed! **"), std::string::npos) << e.view.log;
    EXPECT_EQ(fs::file_size(out), 131203072u);
    std::ifstream f(out, std::ios::binary);
    Bytes chunk(1 << 20);
    for (uint32_t off = 0; off < 131203072u; off += static_cast<uint32_t>(chunk.size())) {
        const size_t n = std::min<size_t>(chunk.size(), 131203072u - off);
        f.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(n));
        ASSERT_TRUE(std::equal(chunk.begin(), chunk.begin() + static_cast<long>(n),
                               handset->NandImage(off, n).begin()))
            << "at " << off;
    }
    EXPECT_EQ(handset->NandDumpBlocks(), 64064);
    EXPECT_TRUE(e.Close());
}

}  // namespace
