// The packaging step: layout of a packed program, that it still runs and
// reads its own container, and the inputs it refuses.
#include "fleet/tools/pack.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "fleet/images/container.h"
#include "tests/fleet/temp_dir.h"

namespace {

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// Runs a command, returns its exit status and what it printed.
int RunCommand(const std::string& command, std::string& output) {
    output.clear();
    std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

class PackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        eboot = fleet::PatternBytes(0x30000, 1);  // profile 2's EBOOT length
        pda = fleet::BuildB000ffImage(1, 500, 2);
        request.strProgram = FLEET_PACK_PATH;
        request.strEboot = dir.Write("eboot.nb0", eboot);
        request.strPda = dir.Write("pda.bin", pda);
        request.strOut = dir.File("packed %s tool");
        request.nProfile = 2;
    }
    fleettest::CTempDir dir;
    std::vector<uint8_t> eboot;
    std::vector<uint8_t> pda;
    fleet::PackRequest request;
    fleet::ContainerTrailer written;
    std::string error;
};

TEST_F(PackTest, RegionsFollowTheProgramAndTheTrailerEndsTheFile) {
    ASSERT_TRUE(fleet::PackProgram(request, written, error)) << error;
    const auto program = fleettest::ReadAll(FLEET_PACK_PATH);
    const auto packed = fleettest::ReadAll(request.strOut);
    ASSERT_EQ(packed.size(), program.size() + eboot.size() + pda.size() + 40);
    EXPECT_TRUE(std::equal(program.begin(), program.end(), packed.begin()));
    EXPECT_TRUE(
        std::equal(eboot.begin(), eboot.end(), packed.begin() + static_cast<long>(program.size())));
    EXPECT_TRUE(std::equal(pda.begin(), pda.end(),
                           packed.begin() + static_cast<long>(program.size() + eboot.size())));
    const size_t t = packed.size() - 40;
    EXPECT_EQ(std::memcmp(&packed[t], "IDJB", 4), 0);
    EXPECT_EQ(U32At(packed, t + 4), program.size());
    EXPECT_EQ(U32At(packed, t + 8), eboot.size());
    EXPECT_EQ(U32At(packed, t + 12), program.size() + eboot.size());
    EXPECT_EQ(U32At(packed, t + 16), pda.size());
    EXPECT_EQ(U32At(packed, t + 20), 0u);
    EXPECT_EQ(U32At(packed, t + 24), 0u);
    EXPECT_EQ(U32At(packed, t + 28), t) << "the third unread word holds the trailer's own offset";
    EXPECT_EQ(U32At(packed, t + 32), 0u);
    EXPECT_EQ(U32At(packed, t + 36), 2u);
    EXPECT_EQ(written.pdaOffset, program.size() + eboot.size());

    struct stat st {};
    ASSERT_EQ(stat(request.strOut.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(PackTest, ThePackedProgramRunsAndReadsItsOwnContainer) {
    ASSERT_TRUE(fleet::PackProgram(request, written, error)) << error;
    std::string out;
    ASSERT_EQ(RunCommand(Quoted(request.strOut) + " --inspect", out), 0) << out;
    EXPECT_EQ(out.rfind(request.strOut + ": ", 0), 0u) << out;
    EXPECT_NE(out.find("EBOOT region: offset 0x"), std::string::npos) << out;
    EXPECT_NE(out.find(", B000FF, data end"), std::string::npos) << out;
    EXPECT_NE(out.find("profile index: 2 (MTX-Juniper)"), std::string::npos) << out;

    // The plain tool has no container of its own.
    EXPECT_EQ(RunCommand(std::string(FLEET_PACK_PATH) + " --inspect", out), 1);
    EXPECT_NE(out.find("no image container"), std::string::npos) << out;
}

TEST_F(PackTest, NoEbootMeansZeroOffsetAndSize) {
    request.strEboot.clear();
    ASSERT_TRUE(fleet::PackProgram(request, written, error)) << error;
    EXPECT_EQ(written.ebootOffset, 0u);
    EXPECT_EQ(written.ebootSize, 0u);
    EXPECT_FALSE(written.HasEboot());
    std::string report;
    EXPECT_TRUE(fleet::InspectContainer(request.strOut, report)) << report;
    EXPECT_NE(report.find("EBOOT region: none"), std::string::npos);
}

TEST_F(PackTest, RefusesInputsThatWouldMakeABrokenProgram) {
    fleet::PackRequest r = request;
    r.nProfile = 4;
    EXPECT_FALSE(fleet::PackProgram(r, written, error));
    EXPECT_NE(error.find("profile 4"), std::string::npos);

    r = request;
    r.strPda = dir.Write("empty.bin", {});
    EXPECT_FALSE(fleet::PackProgram(r, written, error));
    r.strPda = dir.File("missing.bin");
    EXPECT_FALSE(fleet::PackProgram(r, written, error));

    // The EBOOT must be the profile's partition length, as the picker and
    // the workers take it: longer would be cut, shorter padded from RAM.
    r = request;
    r.nProfile = 2;
    r.strEboot = dir.Write("big_eboot.nb0", fleet::PatternBytes(0x30000 + 1, 5));
    EXPECT_FALSE(fleet::PackProgram(r, written, error));
    EXPECT_NE(error.find("The EBoot image is 196609 bytes; MTX-Juniper takes an EBoot image of "
                         "exactly 196608 bytes"),
              std::string::npos)
        << error;
    r.strEboot = dir.Write("short_eboot.nb0", fleet::PatternBytes(0x3000, 5));
    EXPECT_FALSE(fleet::PackProgram(r, written, error));
    EXPECT_NE(error.find("is 12288 bytes"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(r.strOut));
    r.strEboot = dir.Write("full_eboot.nb0", fleet::PatternBytes(0x30000, 5));
    r.strOut = dir.File("full");
    EXPECT_TRUE(fleet::PackProgram(r, written, error)) << error;

    // Packing over an input would destroy it while reading it.
    r = request;
    r.strProgram = dir.Write("prog", fleet::PatternBytes(1000, 7));
    r.strOut = r.strProgram;
    EXPECT_FALSE(fleet::PackProgram(r, written, error));
    EXPECT_EQ(fleettest::ReadAll(r.strProgram), fleet::PatternBytes(1000, 7));

    // A packed program is not packed again (its old regions would ride along).
    ASSERT_TRUE(fleet::PackProgram(request, written, error)) << error;
    r = request;
    r.strProgram = request.strOut;
    r.strOut = dir.File("twice");
    EXPECT_FALSE(fleet::PackProgram(r, written, error));
    EXPECT_NE(error.find("already carries"), std::string::npos);

    // A failed run leaves nothing under the output name.
    r = request;
    r.strOut = dir.File("no such folder/out");
    EXPECT_FALSE(fleet::PackProgram(r, written, error));
}

TEST_F(PackTest, InspectNamesWhatIsWrongWithAContainer) {
    ASSERT_TRUE(fleet::PackProgram(request, written, error)) << error;
    auto packed = fleettest::ReadAll(request.strOut);
    packed[packed.size() - 40 + 19] = 0x7F;  // PDA size far past the file
    const std::string bad = dir.Write("bad", packed);
    std::string report;
    EXPECT_FALSE(fleet::InspectContainer(bad, report));
    EXPECT_NE(report.find("inconsistent container: PDA region"), std::string::npos) << report;

    packed = fleettest::ReadAll(request.strOut);
    packed[packed.size() - 4] = 7;
    EXPECT_FALSE(fleet::InspectContainer(dir.Write("index7", packed), report));
    EXPECT_NE(report.find("profile index: 7 (no such profile"), std::string::npos) << report;

    EXPECT_FALSE(fleet::InspectContainer(dir.Write("tiny", {1, 2}), report));
}

TEST(PackToolTest, CommandLineUsage) {
    std::string out;
    EXPECT_EQ(RunCommand(std::string(FLEET_PACK_PATH) + " --profile", out), 2);
    EXPECT_EQ(
        RunCommand(std::string(FLEET_PACK_PATH) + " --profile x --program a --pda b --out c", out),
        2);
    EXPECT_EQ(RunCommand(std::string(FLEET_PACK_PATH) + " --program a --pda b --out c", out), 2)
        << "the profile has no default";
    EXPECT_EQ(RunCommand(std::string(FLEET_PACK_PATH) +
                             " --program /nonexistent --pda b --out c --profile 1",
                         out),
              1);
    EXPECT_NE(out.find("cannot read the program"), std::string::npos) << out;
}

}  // namespace
