// One version for the whole suite: what --version prints and the About boxes show.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "platform/version.h"

namespace {

TEST(Version, TheLineNamesProgramSuiteAndVersion) {
    const std::string version = platform::SuiteVersion();
    ASSERT_FALSE(version.empty());
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(version[0])) != 0) << version;
    EXPECT_EQ(platform::VersionLine("oriel_cli"), "oriel_cli (ORIEL suite) " + version);
}

TEST(Version, OnlyAVersionArgumentIsAnswered) {
    char prog[] = "oriel_cli";
    char info[] = "info";
    char ver[] = "--version";
    char* none[] = {prog, info, nullptr};
    EXPECT_FALSE(platform::PrintVersionIfAsked(2, none, "oriel_cli"));
    char* asked[] = {prog, info, ver, nullptr};
    testing::internal::CaptureStdout();
    EXPECT_TRUE(platform::PrintVersionIfAsked(3, asked, "oriel_cli"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.substr(0, out.find('\n')), platform::VersionLine("oriel_cli"));
}

}  // namespace
