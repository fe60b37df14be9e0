// The console's derived texts and its guard against files that would block.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <climits>
#include <fstream>

#include "oriel/ui/about_dlg.h"
#include "oriel/ui/console_text.h"
#include "oriel/ui/port_settings_dlg.h"
#include "platform/version.h"

namespace {

using namespace oriel;

TEST(ConsoleText, SizesGetACommaEveryThreeDigitsFromTheRight) {
    EXPECT_EQ(FormatThousands(0), "0");
    EXPECT_EQ(FormatThousands(999), "999");
    EXPECT_EQ(FormatThousands(1000), "1,000");
    EXPECT_EQ(FormatThousands(318508), "318,508");
    EXPECT_EQ(FormatThousands(1234567), "1,234,567");
    EXPECT_EQ(FormatThousands(2147483647), "2,147,483,647");
    EXPECT_EQ(FormatThousands(-1234), "-1,234");
    EXPECT_EQ(FormatThousands(INT64_MIN), "-9,223,372,036,854,775,808");
}

TEST(ConsoleText, LineEndsAndListIndices) {
    EXPECT_EQ(ToWidgetLineEnds("a\r\nb\rc\nd\r\n\r\n"), "a\nb\nc\nd\n\n");
    EXPECT_EQ(ToWidgetLineEnds("\r"), "\n");
    EXPECT_EQ(ClampIndex(-1, 20), 0);
    EXPECT_EQ(ClampIndex(19, 20), 19);
    EXPECT_EQ(ClampIndex(20, 20), 19);
    EXPECT_EQ(ClampIndex(INT_MAX, 4), 3);
}

TEST(ConsoleText, OnlyRegularFilesPassTheGuard) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string file = dir.filePath("a.bin").toStdString();
    std::ofstream(file) << "12345";
    const std::string fifo = dir.filePath("pipe").toStdString();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int64_t n = -1;
    EXPECT_TRUE(IsRegularFile(file, n));
    EXPECT_EQ(n, 5);
    EXPECT_FALSE(IsRegularFile(fifo, n));
    EXPECT_FALSE(IsRegularFile("/dev/zero", n));
    EXPECT_FALSE(IsRegularFile(dir.path().toStdString(), n));
    EXPECT_FALSE(IsRegularFile("", n));
    EXPECT_FALSE(IsRegularFile(dir.filePath("missing").toStdString(), n));
}

TEST(ConsoleText, DevicePathsMustBeAbsoluteAndPrintable) {
    EXPECT_EQ(CPortSettingsDlg::CheckPath("/dev/ttyUSB0"), "");
    EXPECT_EQ(CPortSettingsDlg::CheckPath("/tmp/COM 1"), "");
    EXPECT_NE(CPortSettingsDlg::CheckPath(""), "");
    EXPECT_NE(CPortSettingsDlg::CheckPath("ttyUSB0"), "");
    EXPECT_NE(CPortSettingsDlg::CheckPath("/dev/tty\nUSB0"), "");
}

TEST(ConsoleText, ChangeLogListsVersionsNewestFirst) {
    const std::string text = ChangeLogText();
    // The box says the version --version says, and the newest entry is that version's.
    const std::string version = platform::SuiteVersion();
    EXPECT_TRUE(text.starts_with("Alder2 Downloader v" + version + "\r\n" +
                                 platform::VersionLine("oriel_downloader") + "\r\n"))
        << text;
    EXPECT_EQ(text.find("v" + version + "  built"), text.find("  built") - version.size() - 1);
    const size_t v3 = text.find("v0.3  built");
    const size_t v2 = text.find("v0.2  built");
    const size_t v1 = text.find("v0.1  built");
    ASSERT_NE(v3, std::string::npos);
    ASSERT_NE(v2, std::string::npos);
    ASSERT_NE(v1, std::string::npos);
    EXPECT_LT(v3, v2);
    EXPECT_LT(v2, v1);
    // Each version sits between lines of dashes.
    EXPECT_NE(text.rfind("-----\r\n", v2), std::string::npos);
    EXPECT_NE(text.find("Hardware", v3), std::string::npos);
}

}  // namespace
