// Loading and walking an MFX package: the size check, the version records,
// the entries and their names.
#include "oriel/mfx/mfx_package.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "oriel/engine/console_view.h"
#include "oriel/engine/downloader_engine.h"
#include "oriel/link/serial_port.h"
#include "oriel/mfx/code_page.h"
#include "platform/scripted_prompts.h"

namespace {

using namespace oriel;

class Package : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/oriel_mfx_pkg_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        package.m_strMfxPath = m_dir + "/pkg.mfx";
        SetAnsiCodePage("ISO-8859-1");
    }
    void TearDown() override {
        SetAnsiCodePage("");
        unlink((m_dir + "/pkg.mfx").c_str());
        unlink((m_dir + "/pkg.cfg").c_str());
        rmdir(m_dir.c_str());
    }
    void Write(const std::string& cfg, size_t nData) {
        std::ofstream(m_dir + "/pkg.cfg", std::ios::binary) << cfg;
        std::ofstream(m_dir + "/pkg.mfx", std::ios::binary) << std::string(nData, 'd');
    }
    std::string m_dir;
    CSerialPort port;
    CRecordingConsole console;
    platform::CScriptedPrompts prompts;
    CDownloaderEngine engine{port, console, prompts};
    CMfxPackage package{engine};
};

const char* const kHead = "MFXVERSION : 0123456789ABCDEF\r\n";

TEST_F(Package, TheSizesMustAddUpToTheDataFile) {
    const std::string cfg =
        std::string(kHead) +
        "FILE_NAME : /a\r\nFILE_SIZE : 100\r\nFILE_NAME : /b\r\nFILE_SIZE : 28\r\n";
    Write(cfg, 128);
    EXPECT_EQ(package.LoadMfxPackage(), 1);
    EXPECT_EQ(package.m_nMfxFileSize, 128);
    Write(cfg, 129);
    EXPECT_EQ(package.LoadMfxPackage(), 0);
    EXPECT_EQ(console.m_strLog, "MfxFilesize(129):CfgFilesize(128)");
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"MFX file size mismatched!!!"});
}

TEST_F(Package, OnlyTheDigitsOfASizeCount) {
    Write(std::string(kHead) + "FILE_NAME : /a\r\nFILE_SIZE : 12ab\r\n", 12);
    ASSERT_EQ(package.LoadMfxPackage(), 1);
    ASSERT_TRUE(package.NextFileEntry());
    EXPECT_EQ(package.m_nEntryFileSize, 12);
    EXPECT_EQ(console.m_strLog, "Writing a file \"/a\" (12 bytes)... ");
    EXPECT_EQ(package.m_strEntryUtf8, std::string("/a\0", 3));
    EXPECT_FALSE(package.NextFileEntry());
    EXPECT_EQ(package.m_nCfgCursor, 0);
}

TEST_F(Package, VersionRecordsAreFixedWidth) {
    Write("MFXVERSION : V1.0\r\nMFXRELEASEVERSION : R-2008-03-07\r\n", 0);
    ASSERT_EQ(package.LoadMfxPackage(), 1);
    const std::string project(package.m_abyProjectVersion.begin(),
                              package.m_abyProjectVersion.end());
    EXPECT_EQ(project, "V1.0\r\nMFXRELEASE");
    EXPECT_EQ(package.m_bHasReleaseVersion, 1);
    const std::string release(package.m_abyReleaseVersion.begin(),
                              package.m_abyReleaseVersion.end());
    EXPECT_EQ(release, "R-2008-03-07");

    Write(kHead, 0);
    ASSERT_EQ(package.LoadMfxPackage(), 1);
    EXPECT_EQ(package.m_bHasReleaseVersion, 0);
}

TEST_F(Package, AMissingOrCutVersionIsRefused) {
    Write("DIR_NAME : /a\r\n", 0);
    EXPECT_EQ(package.LoadMfxPackage(), 0);
    Write("MFXVERSION : short", 0);
    EXPECT_EQ(package.LoadMfxPackage(), 0);
    EXPECT_EQ(prompts.MessageTexts(),
              (std::vector<std::string>{"MFXVERSION not found in cfg file",
                                        "MFXVERSION not found in cfg file"}));
}

TEST_F(Package, MissingFilesAreNamed) {
    EXPECT_EQ(package.LoadMfxPackage(), 0);
    std::ofstream(m_dir + "/pkg.mfx") << "";
    EXPECT_EQ(package.LoadMfxPackage(), 0);
    EXPECT_EQ(prompts.MessageTexts(),
              (std::vector<std::string>{"Fail to open " + m_dir + "/pkg.mfx",
                                        "Fail to open " + m_dir + "/pkg.cfg"}));
}

// The one rule for the description beside a package, for the console and the download.
TEST(PackagePaths, TheDescriptionIsBesideTheDataFile) {
    EXPECT_EQ(CfgPathFor(""), "");
    EXPECT_EQ(CfgPathFor("/x/y.z/pkg.mfx"), "/x/y.z/pkg.cfg");
    EXPECT_EQ(CfgPathFor("/pkg/image.v2.mfx"), "/pkg/image.v2.cfg");
    // Without an extension of its own the name keeps its folder.
    EXPECT_EQ(CfgPathFor("/pkg.d/image"), "/pkg.d/image.cfg");
    EXPECT_EQ(CfgPathFor("noext"), "noext.cfg");
}

TEST_F(Package, DirectoryNamesUpTo61CharactersPass) {
    const std::string ok(61, 'd');
    const std::string bad(62, 'e');
    Write(std::string(kHead) + "DIR_NAME : " + ok + "\r\nDIR_NAME : " + bad + "\r\n", 0);
    ASSERT_EQ(package.LoadMfxPackage(), 1);
    engine.m_nState = WAIT_NAME_SUM;
    ASSERT_TRUE(package.NextDirectoryEntry());
    EXPECT_FALSE(package.EntryRefused());
    EXPECT_EQ(package.m_strEntryUtf8.size(), 62u);
    console.m_strLog.clear();
    ASSERT_TRUE(package.NextDirectoryEntry());
    EXPECT_TRUE(package.EntryRefused());
    EXPECT_EQ(console.m_strLog, "Directory name is too long\"" + bad + "\"... ");
    EXPECT_EQ(engine.m_nState, IDLE);
}

TEST_F(Package, ALatin1NameGrowsByOneByteInUtf8) {
    Write(std::string(kHead) + "FILE_NAME : /caf\xE9\r\nFILE_SIZE : 0\r\n", 0);
    ASSERT_EQ(package.LoadMfxPackage(), 1);
    ASSERT_TRUE(package.NextFileEntry());
    EXPECT_EQ(package.m_strEntryUtf8, std::string("/caf\xC3\xA9\0", 7));
}

TEST_F(Package, ANameTheCodePageCannotCarryIsRefusedWhole) {
    SetAnsiCodePage("ASCII");
    Write(std::string(kHead) + "FILE_NAME : /caf\xE9\r\nFILE_SIZE : 0\r\n", 0);
    ASSERT_EQ(package.LoadMfxPackage(), 1);
    EXPECT_FALSE(package.NextFileEntry());
    EXPECT_TRUE(package.EntryRefused());
    EXPECT_EQ(engine.m_nState, IDLE);
    EXPECT_NE(console.m_strLog.find("File name is too long\"/caf\xE9\"... "), std::string::npos);
}

TEST_F(Package, ANegativeSizeIsRefused) {
    // The sign is no digit: the sum check sees 0.
    Write(std::string(kHead) + "FILE_NAME : /a\r\nFILE_SIZE : -5\r\n", 0);
    ASSERT_EQ(package.LoadMfxPackage(), 1);
    EXPECT_FALSE(package.NextFileEntry());
    EXPECT_TRUE(package.EntryRefused());
}

TEST_F(Package, ADescriptionMayStartWithItsVersionAndInterleaveEntries) {
    Write(std::string(kHead) + "FILE_NAME : /d/f\r\nFILE_SIZE : 3\r\nDIR_NAME : /d\r\n", 3);
    ASSERT_EQ(package.LoadMfxPackage(), 1);
    // Directories first, wherever they stand; then files from the top again.
    ASSERT_TRUE(package.NextDirectoryEntry());
    EXPECT_EQ(package.m_szEntryName, "/d");
    EXPECT_FALSE(package.NextDirectoryEntry());
    ASSERT_TRUE(package.NextFileEntry());
    EXPECT_EQ(package.m_szEntryName, "/d/f");
}

TEST(CodePage, ConvertsBothWaysAndRefusesOverlongNames) {
    SetAnsiCodePage("CP1252");
    std::string utf8;
    int n = 0;
    EXPECT_EQ(AnsiToUtf8("\x80", utf8, n, kPackageNameCap), NameConversion::Ok);  // the euro sign
    EXPECT_EQ(utf8, std::string("\xE2\x82\xAC\0", 4));
    EXPECT_EQ(n, 4);
    std::string ansi;
    EXPECT_EQ(Utf8ToAnsi("\xE2\x82\xAC", ansi), NameConversion::Ok);
    EXPECT_EQ(ansi, "\x80");
    EXPECT_EQ(AnsiToUtf8(std::string(501, 'a'), utf8, n, kPackageNameCap), NameConversion::TooLong);
    EXPECT_EQ(AnsiToUtf8(std::string(510, 'a'), utf8, n, kExplorerNameCap),
              NameConversion::NotConverted);  // no room for the zero
    EXPECT_EQ(AnsiToUtf8(std::string("a\0b", 3), utf8, n, kPackageNameCap),
              NameConversion::NotConverted);
    EXPECT_EQ(Utf8ToAnsi("\xFF\xFE", ansi), NameConversion::NotConverted);  // not UTF-8
    SetAnsiCodePage("");
}

// The system's converter passes some byte sequences through that are no
// Unicode: four-byte forms past U+10FFFF and the forms of surrogates. A name
// with one is refused both ways, as any name that does not convert.
TEST(CodePage, BytesThatAreNoUnicodeAreRefused) {
    SetAnsiCodePage("UTF-8");
    std::string utf8 = "kept";
    int n = 0;
    EXPECT_EQ(AnsiToUtf8("\xF4\xAF\xAF\x9Dys/", utf8, n, kPackageNameCap),
              NameConversion::NotConverted);
    EXPECT_EQ(AnsiToUtf8("a\xED\xA0\x80", utf8, n, kPackageNameCap), NameConversion::NotConverted);
    EXPECT_EQ(utf8, "kept");
    std::string ansi = "kept";
    EXPECT_EQ(Utf8ToAnsi("\xF7\xBF\xBF\xBF", ansi), NameConversion::NotConverted);
    EXPECT_EQ(Utf8ToAnsi("\xC0\xAF", ansi), NameConversion::NotConverted);  // an overlong '/'
    EXPECT_EQ(ansi, "kept");
    EXPECT_EQ(AnsiToUtf8("\xF0\x9F\x98\x80 \xC3\xA9", utf8, n, kPackageNameCap),
              NameConversion::Ok);
    EXPECT_EQ(Utf8ToAnsi("\xF4\x8F\xBF\xBF", ansi), NameConversion::Ok);  // U+10FFFF itself
    SetAnsiCodePage("");
}

}  // namespace
