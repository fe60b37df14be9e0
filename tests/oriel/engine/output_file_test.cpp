// Files from the handset: nothing under the chosen name until the transfer is
// whole; what does not finish is kept under a name that says so, never over
// an earlier one.
#include "oriel/engine/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using oriel::COutputFile;

class OutputFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/oriel_out_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    static std::string Slurp(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(f)), {});
    }
    static void Spill(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(m_dir)) {
            out.push_back(e.path().filename().string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    static bool Put(COutputFile& f, const std::string& text) {
        return f.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }

    std::string m_dir;
};

TEST_F(OutputFile, TheChosenNameHoldsOnlyAWholeTransfer) {
    const std::string out = Path("dump.hex");
    Spill(out, "the previous dump");
    COutputFile f;
    ASSERT_TRUE(f.Create(out));
    ASSERT_TRUE(Put(f, "first half, "));
    // Mid-transfer the chosen name still holds what it held before.
    EXPECT_EQ(Slurp(out), "the previous dump");
    ASSERT_TRUE(Put(f, "second half"));
    ASSERT_TRUE(f.Commit());
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(Slurp(out), "first half, second half");
    EXPECT_EQ(Names(), std::vector<std::string>{"dump.hex"});  // no temporary left
    EXPECT_EQ(f.BytesWritten(), 23);
}

TEST_F(OutputFile, AnUnfinishedTransferIsKeptAsIncompleteWithoutReplacingAnEarlierOne) {
    const std::string out = Path("b.got");
    Spill(out + ".incomplete", "an earlier failure");
    {
        COutputFile f;
        ASSERT_TRUE(f.Create(out));
        ASSERT_TRUE(Put(f, "8192 bytes, say"));
        EXPECT_EQ(f.KeepIncomplete(), out + ".2.incomplete");
    }
    {
        COutputFile f;
        ASSERT_TRUE(f.Create(out));
        ASSERT_TRUE(Put(f, "dropped"));
        // Neither committed nor kept by hand: going away keeps it too.
    }
    EXPECT_EQ(Slurp(out + ".incomplete"), "an earlier failure");
    EXPECT_EQ(Slurp(out + ".2.incomplete"), "8192 bytes, say");
    EXPECT_EQ(Slurp(out + ".3.incomplete"), "dropped");
    EXPECT_EQ(Names(), (std::vector<std::string>{"b.got.2.incomplete", "b.got.3.incomplete",
                                                 "b.got.incomplete"}));
}

TEST_F(OutputFile, PathsThatCannotTakeTheFileAreRefusedAndNothingIsLeft) {
    std::string error;
    EXPECT_TRUE(COutputFile::CanCreate(Path("fine.hex"), error)) << error;
    EXPECT_FALSE(COutputFile::CanCreate(Path("missing/out.hex"), error));
    EXPECT_NE(error.find("does not exist"), std::string::npos) << error;
    fs::create_directory(Path("folder"));
    EXPECT_FALSE(COutputFile::CanCreate(Path("folder"), error));
    EXPECT_FALSE(COutputFile::CanCreate(Path("folder/"), error));
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
    EXPECT_FALSE(COutputFile::CanCreate(Path("pipe"), error));
    EXPECT_FALSE(COutputFile::CanCreate("", error));
    COutputFile f;
    EXPECT_FALSE(f.Create(Path("pipe")));
    EXPECT_FALSE(f.Create(Path("missing/out.hex")));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(Names(), (std::vector<std::string>{"folder", "pipe"}));
}

TEST_F(OutputFile, ARelativeNameIsWrittenInTheCurrentFolder) {
    const fs::path before = fs::current_path();
    fs::current_path(m_dir);
    std::string error;
    EXPECT_TRUE(COutputFile::CanCreate("here.hex", error)) << error;
    {
        COutputFile f;
        ASSERT_TRUE(f.Create("here.hex"));
        ASSERT_TRUE(Put(f, "x"));
        ASSERT_TRUE(f.Commit());
    }
    fs::current_path(before);
    EXPECT_EQ(Slurp(Path("here.hex")), "x");
}

}  // namespace
