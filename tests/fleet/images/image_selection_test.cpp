// The operator's image choice: platform list, pickers and their size checks,
// the region scan, the phone binary and the combined ".img" split.
#include "fleet/images/image_selection.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "fleet/images/combined_image.h"
#include "fleet/images/image_checksum.h"
#include "platform/scripted_prompts.h"
#include "tests/fleet/temp_dir.h"

namespace {

using fleet::CImageSelection;
using fleet::kImageEboot;
using fleet::kImagePda;
using fleet::kImagePdaGsm;
using fleet::kImagePhone;

constexpr uint32_t kSigHeader = 0x15E800;  // the signature header size of every built-in row
constexpr char kSelectCorrect[] = "Select the Correct Image File!";

class ImageSelectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        runtimeDir = dir.File("run");
        ASSERT_EQ(mkdir(runtimeDir.c_str(), 0700), 0);
        const char* old = getenv("XDG_RUNTIME_DIR");
        savedRuntime = old != nullptr ? old : "";
        setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
        selection = std::make_unique<CImageSelection>(
            prompts, [this](const std::string& line) { log.push_back(line); });
        comboTexts = selection->LoadPlatformProfiles();
        selection->OnPlatformSelected(fleet::kInitialComboSelection);
    }
    void TearDown() override {
        selection.reset();
        if (savedRuntime.empty()) {
            unsetenv("XDG_RUNTIME_DIR");
        } else {
            setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
        }
    }

    // The built-in rows with another EBOOT length (small images for tests
    // that cut or split them); the platform chosen again.
    void UseEbootLength(uint32_t nLength) {
        auto profiles = fleet::BuildPlatformProfiles();
        for (fleet::PlatformProfile& row : profiles) {
            row.ebootLength = nLength;
        }
        selection->UseProfiles(profiles);
        selection->OnPlatformSelected(fleet::kInitialComboSelection);
    }

    bool Choose(int kind, const std::string& path) {
        prompts.m_openAnswers.push_back(path);
        return selection->SetImageChosen(kind, true);
    }
    bool ChooseCombined(const std::string& path) {
        prompts.m_openAnswers.push_back(path);
        return selection->SetCombinedChosen(true);
    }

    fleet::CombinedImageParts SmallParts() {
        fleet::CombinedImageParts parts;
        parts.strPlatform = "MTX-p440";
        parts.phone = fleet::PatternBytes(2500, 1);
        parts.eboot = fleet::PatternBytes(700, 2);
        parts.regions.push_back(fleet::BuildFlatImage(3000, 2016, 3));
        return parts;
    }

    fleettest::CTempDir dir;
    std::string runtimeDir;
    std::string savedRuntime;
    platform::CScriptedPrompts prompts;
    std::vector<std::string> log;
    std::vector<std::string> comboTexts;
    std::unique_ptr<CImageSelection> selection;
};

TEST_F(ImageSelectionTest, PlatformListAndControls) {
    EXPECT_EQ(comboTexts,
              (std::vector<std::string>{
                  "Please choose a profile!", "MTX-p440  || (WM5-HW rev 00 ~ 01)",
                  "MTX-p440  || (WM5-HW rev 02 or later)", "MTX-Juniper)", "MTX-Tamarin2)"}));
    EXPECT_EQ(selection->CurrentProfileIndex(), 1);
    EXPECT_TRUE(selection->IsSelectedPlatform("mtx-P440"));
    EXPECT_FALSE(selection->IsSelectedPlatform("MTX-p44"));
    const fleet::PlatformControls& c = selection->Controls();
    EXPECT_TRUE(c.bOptionsEnabled);
    EXPECT_EQ(c.nPlatformLabelColour, 0x00FF00u);
    EXPECT_EQ(c.strEbootButton, "LOADER");
    EXPECT_FALSE(c.bPdaGsmVisible);

    selection->OnPlatformSelected(3);
    EXPECT_EQ(selection->Controls().strEbootButton, "EBOOT");
    EXPECT_TRUE(selection->IsSelectedPlatform("MTX-JUNIPER"));

    for (int none : {0, -1, 5}) {
        selection->OnPlatformSelected(none);
        EXPECT_EQ(selection->CurrentProfile(), nullptr);
        EXPECT_FALSE(selection->Controls().bOptionsEnabled);
        EXPECT_EQ(selection->Controls().nPlatformLabelColour, 0x0000FFu);
        EXPECT_EQ(selection->SelectImageFile(kImageEboot), -1) << "no platform, no pick";
        EXPECT_EQ(selection->ValidateImageSize(10, kImageEboot), 0);
    }
}

TEST_F(ImageSelectionTest, SizeLimitsOfEachKind) {
    // Row 1: no exact PDA size.
    EXPECT_EQ(selection->ValidateImageSize(kSigHeader, kImagePda), 0);
    EXPECT_EQ(log.back(), "Select the PDA Image file!\r\n");
    EXPECT_EQ(selection->ValidateImageSize(kSigHeader + 1, kImagePda), 1);
    EXPECT_EQ(selection->ValidateImageSize(kSigHeader + 1, kImagePdaGsm), 1);
    // EBOOT: exactly the EBOOT partition, which both workers send and
    // program whole; anything else is refused here, not on every slot.
    EXPECT_EQ(selection->ValidateImageSize(0x30000, kImageEboot), 1);
    log.clear();
    EXPECT_EQ(selection->ValidateImageSize(0x30000 - 1, kImageEboot), 0);
    EXPECT_EQ(log, (std::vector<std::string>{
                       "The EBoot image is 196607 bytes; MTX-p440 takes an EBoot image of exactly "
                       "196608 bytes (its EBOOT partition).\r\n",
                       "Select the EBoot Image file!\r\n"}));
    EXPECT_EQ(selection->ValidateImageSize(0x30000 + 1, kImageEboot), 0);
    EXPECT_EQ(selection->ValidateImageSize(kSigHeader, kImageEboot), 0);
    EXPECT_EQ(selection->ValidateImageSize(0xFFFFFFFFull + 5, kImagePhone), 1);
    EXPECT_EQ(selection->ValidateImageSize(0x80000000ull, kImagePda), 0)
        << "region offsets must fit the workers' 32-bit fields";

    // Row 0 takes only its one PDA length.
    selection->OnPlatformSelected(1);
    log.clear();
    EXPECT_EQ(selection->ValidateImageSize(43247187, kImagePda), 1);
    EXPECT_EQ(selection->ValidateImageSize(43247188, kImagePda), 0);
    EXPECT_EQ(selection->ValidateImageSize(kSigHeader + 1, kImagePda), 0);
    EXPECT_EQ(log, std::vector<std::string>(2, "Select the proper PDA Image file!\r\n"));

    // Signature mode changes nothing: the workers still send the partition's length.
    auto profiles = fleet::BuildPlatformProfiles();
    profiles[1].signatureMode = 1;
    selection->UseProfiles(profiles);
    selection->OnPlatformSelected(2);
    EXPECT_EQ(selection->ValidateImageSize(0x30000, kImageEboot), 1);
    EXPECT_EQ(selection->ValidateImageSize(0x30000 + 4096, kImageEboot), 0);
}

TEST_F(ImageSelectionTest, EbootPickKeepsThePathAsChosen) {
    // Upper-case extension, and a name a printf would take for directives.
    const std::string path = dir.Write("Loader %s%n%x.NB0", fleet::PatternBytes(0x30000, 9));
    ASSERT_TRUE(Choose(kImageEboot, path));
    EXPECT_TRUE(selection->EbootChosen());
    EXPECT_EQ(selection->PathText(kImageEboot), path);
    EXPECT_TRUE(selection->Controls().bDetectEnabled);
    EXPECT_EQ(prompts.m_openRequests.back().strFilter, "PDA EBOOT ROM Image|*.NB0|");
    // Each slot has its own handle and file position.
    for (int slot = 0; slot < fleet::kSlotCount; ++slot) {
        ASSERT_TRUE(selection->EbootFile(slot).IsOpen());
    }
    uint8_t b = 0;
    selection->EbootFile(0).Seek(100);
    EXPECT_EQ(selection->EbootFile(1).Position(), 0);
    EXPECT_EQ(selection->EbootFile(1).Read(&b, 1), 1u);

    ASSERT_FALSE(selection->SetImageChosen(kImageEboot, false));
    EXPECT_FALSE(selection->EbootFile(3).IsOpen());
    EXPECT_EQ(selection->PathText(kImageEboot), "");
}

TEST_F(ImageSelectionTest, RejectedPicksSayChooseAgainAndKeepNothingOpen) {
    const std::string tooBig = dir.Write("big.nb0", std::vector<uint8_t>(0x30000 + 1, 1));
    const std::string tooSmall = dir.Write("small.nb0", std::vector<uint8_t>(4096, 1));
    const std::string wrongExt = dir.Write("image.nb1", fleet::PatternBytes(10, 1));
    for (const std::string& path : {tooBig, tooSmall, wrongExt, std::string(),
                                    dir.File("missing.nb0"), dir.Path() + "/.nb0"}) {
        EXPECT_FALSE(Choose(kImageEboot, path)) << path;
        EXPECT_EQ(selection->PathText(kImageEboot), kSelectCorrect);
        EXPECT_FALSE(selection->EbootChosen());
        EXPECT_FALSE(selection->EbootFile(0).IsOpen());
    }
    // The platform has one PDA region: the PDA(GSM) picker has nothing to fill.
    const std::string pda = dir.Write("gsm.nb0", std::vector<uint8_t>(kSigHeader + 1, 1));
    EXPECT_FALSE(Choose(kImagePdaGsm, pda));
    EXPECT_EQ(selection->PathText(kImagePdaGsm), kSelectCorrect);
}

TEST_F(ImageSelectionTest, PdaPickScansTheRegion) {
    // Data up to 3 bytes into the last non-zero block, then whole zero blocks.
    const size_t data = kSigHeader - 5000;
    const auto bytes = fleet::BuildFlatImage(data, 5000 + 3 * 1008, 11);
    const std::string path = dir.Write("pda.bin", bytes);
    ASSERT_TRUE(Choose(kImagePda, path));
    const fleet::RegionSelection& region = selection->Region(0);
    EXPECT_TRUE(region.bChosen);
    EXPECT_EQ(region.regionStart, 0u);
    EXPECT_EQ(region.regionEnd, (data / 1008 + 1) * 1008);
    EXPECT_EQ(region.regionChecksum, fleet::ImageByteSum(bytes.data(), bytes.size()));

    // Picking again after switching off starts the sum afresh.
    selection->SetImageChosen(kImagePda, false);
    EXPECT_EQ(selection->Region(0).regionChecksum, 0u);
    ASSERT_TRUE(Choose(kImagePda, path));
    selection->ScanRegion(1);  // a second scan of the same file changes nothing
    EXPECT_EQ(selection->Region(0).regionChecksum, fleet::ImageByteSum(bytes.data(), bytes.size()));
    selection->ScanRegion(2);  // no second region: ignored
    selection->ScanRegion(0);

    // A region that starts at the signature header size.
    auto profiles = fleet::BuildPlatformProfiles();
    static const fleet::PdaRegionDescriptor kSigned[] = {
        {"DISKIMAGE", 0x9CA80000, 0x9CA80000, 1, 0, 0, 0}};
    profiles[1].pdaRegions = kSigned;
    selection->UseProfiles(profiles);
    selection->OnPlatformSelected(2);
    const auto longer = fleet::BuildFlatImage(kSigHeader + 2000, 0, 12);
    ASSERT_TRUE(Choose(kImagePda, dir.Write("signed.bin", longer)));
    EXPECT_EQ(selection->Region(0).regionStart, kSigHeader);
    EXPECT_EQ(selection->Region(0).regionEnd, longer.size()) << "no zero-tail trim for this region";
    EXPECT_EQ(selection->Region(0).regionChecksum,
              fleet::ImageByteSum(longer.data() + kSigHeader, 2000));
}

TEST_F(ImageSelectionTest, ChoosingAnotherPlatformForgetsEverything) {
    ASSERT_TRUE(Choose(kImagePda, dir.Write("pda.bin", std::vector<uint8_t>(kSigHeader + 1, 1))));
    ASSERT_TRUE(Choose(kImageEboot, dir.Write("e.nb0", fleet::PatternBytes(0x30000, 1))));
    selection->OnPlatformSelected(3);
    EXPECT_FALSE(selection->EbootChosen());
    EXPECT_FALSE(selection->EbootFile(0).IsOpen());
    ASSERT_EQ(selection->RegionCount(), 1u);
    EXPECT_FALSE(selection->Region(0).bChosen) << "a worker would otherwise write the old region";
    EXPECT_FALSE(selection->Region(0).files[0].IsOpen());
    EXPECT_EQ(selection->Region(0).regionEnd, 0u);
    EXPECT_EQ(selection->PathText(kImagePda), "");
}

TEST_F(ImageSelectionTest, PhoneBinaryRecords) {
    const auto bytes = fleet::PatternBytes(1025, 21);
    ASSERT_TRUE(Choose(kImagePhone, dir.Write("phone.BIN", bytes)));
    const fleet::PhoneBinaryFile& phone = selection->Phone();
    EXPECT_TRUE(selection->PhoneChosen());
    EXPECT_EQ(phone.Size(), 2048u) << "mode 1 rounds up to whole blocks";
    ASSERT_EQ(phone.RecordCount(), 2u);
    const fleet::PhoneWriteRecord* first = phone.GetRecord(0);
    const fleet::PhoneWriteRecord* second = phone.GetRecord(1);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(phone.GetRecord(2), nullptr);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(first->bytes[i], 0);
    }
    EXPECT_EQ(first->bytes[5], 0x00);  // 1024 little-endian
    EXPECT_EQ(first->bytes[6], 0x04);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 1024, first->Data()));
    EXPECT_EQ(second->Data()[0], bytes[1024]);
    EXPECT_EQ(std::count(second->Data() + 1, second->Data() + 1024, 0xFF), 1023);
}

TEST_F(ImageSelectionTest, PhoneBinaryThatCannotBeReadIsNoSelection) {
    const std::string path = dir.File("gone %s%n.bin");
    EXPECT_FALSE(Choose(kImagePhone, path));
    ASSERT_EQ(prompts.m_messages.size(), 1u);
    EXPECT_EQ(prompts.m_messages[0].text,
              " Fail to read from " + path + "\n Please Check bin_file !");
    EXPECT_EQ(prompts.m_messages[0].icon, platform::MsgIcon::Information);
    EXPECT_FALSE(selection->PhoneChosen());
    EXPECT_EQ(selection->PathText(kImagePhone), kSelectCorrect);
    EXPECT_FALSE(selection->Phone().IsLoaded());
}

TEST(PhoneBinaryFileTest, LoadBasesAndTypes) {
    fleettest::CTempDir dir;
    const auto bytes = fleet::PatternBytes(3000, 5);
    const std::string path = dir.Write("p.bin", bytes);
    fleet::PhoneBinaryFile phone;
    EXPECT_EQ(phone.Load(0, 0), 0) << "nothing attached";
    ASSERT_EQ(phone.Attach(path, fleet::PhoneBinaryFile::kModeExact), 1);
    EXPECT_EQ(phone.Size(), 3000u);
    ASSERT_EQ(phone.Load(1024, 1), 1);
    ASSERT_EQ(phone.RecordCount(), 2u);  // (3000 - 1024) / 1024 + 1
    EXPECT_EQ(phone.GetRecord(0)->Data()[0], bytes[1024]);
    EXPECT_EQ(phone.GetRecord(1)->Data()[951], bytes[2999]);
    EXPECT_EQ(phone.GetRecord(1)->Data()[952], 0xFF);
    EXPECT_EQ(phone.Load(3001, 3), 0) << "a base past the end counts no records";
    EXPECT_EQ(phone.GetRecord(0), nullptr);
    phone.Release();
    EXPECT_EQ(phone.Load(0, 0), 0);
}

TEST_F(ImageSelectionTest, CombinedImageSplitsIntoPrivateTemporaryFiles) {
    UseEbootLength(700);
    fleet::CombinedImageParts parts = SmallParts();
    parts.strPlatform = "mtx-P440";  // the name compares without case
    const std::string img = dir.Write("all %d%s.IMG", fleet::BuildCombinedImage(parts));
    ASSERT_TRUE(ChooseCombined(img));
    EXPECT_TRUE(selection->CombinedChosen());
    EXPECT_TRUE(selection->EbootChosen());
    EXPECT_TRUE(selection->PhoneChosen());
    EXPECT_TRUE(selection->Region(0).bChosen);
    for (int kind = 0; kind < fleet::kImageKindCount; ++kind) {
        EXPECT_EQ(selection->PathText(kind), img);
    }
    EXPECT_EQ(prompts.m_openRequests.back().strFilter, "Phone+PDA ROM Image|*.img|");

    const std::string folder = selection->TempFolder().Folder();
    EXPECT_EQ(folder.rfind(runtimeDir + "/", 0), 0u) << folder;
    struct stat st {};
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(fleettest::ReadAll(folder + "/_eboot.nb0"), parts.eboot);
    EXPECT_EQ(fleettest::ReadAll(folder + "/_xip0.nb0"), parts.regions[0]);
    EXPECT_EQ(fleettest::ReadAll(folder + "/_phone.bin"), parts.phone);
    ASSERT_EQ(stat((folder + "/_xip0.nb0").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // The slots read the pieces, not the .img.
    std::vector<uint8_t> eboot(parts.eboot.size());
    ASSERT_TRUE(selection->EbootFile(7).ReadExactly(eboot.data(), eboot.size()));
    EXPECT_EQ(eboot, parts.eboot);
    EXPECT_EQ(selection->Region(0).regionEnd, 3024u);
    EXPECT_EQ(selection->Phone().RecordCount(), 3u);

    // Switching off removes the pieces; the folder goes with the selection.
    selection->SetCombinedChosen(false);
    EXPECT_FALSE(std::filesystem::exists(folder + "/_eboot.nb0"));
    EXPECT_FALSE(std::filesystem::exists(folder + "/_xip0.nb0"));
    EXPECT_FALSE(std::filesystem::exists(folder + "/_phone.bin"));
    EXPECT_FALSE(selection->EbootChosen());
    EXPECT_EQ(selection->PathText(kImagePhone), "");
    ASSERT_TRUE(ChooseCombined(img));
    selection.reset();
    EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST_F(ImageSelectionTest, CombinedImageMismatchesNameTheReason) {
    struct Case {
        const char* what;
        std::function<void(fleet::CombinedImageParts&)> change;
        const char* detail;
    };
    const std::vector<Case> cases = {
        {"secure image, plain platform", [](auto& p) { p.nSecurity = 7; },
         "Security option not matched! Choose the exact platform in the combo list!"},
        {"other platform", [](auto& p) { p.strPlatform = "MTX-Juniper"; },
         "The chosen platform and image do not match!"},
        {"name without NUL", [](auto& p) { p.strPlatform = "MTX-p440XXXXXXXXXXXXYYYY"; },
         "The chosen platform and image do not match!"},
        {"phone too big", [](auto& p) { p.phone.resize(15000001); },
         "The chosen platform and image do not match!"},
        {"two regions", [](auto& p) { p.regions.push_back(fleet::PatternBytes(10, 1)); },
         "The chosen platform and image do not match!"},
        {"no region", [](auto& p) { p.regions.clear(); },
         "The chosen platform and image do not match!"},
    };
    UseEbootLength(700);
    for (const Case& c : cases) {
        fleet::CombinedImageParts parts = SmallParts();
        c.change(parts);
        log.clear();
        EXPECT_FALSE(ChooseCombined(dir.Write("x.img", fleet::BuildCombinedImage(parts))))
            << c.what;
        ASSERT_EQ(log.size(), 1u) << c.what;
        EXPECT_EQ(
            log[0],
            std::string("Error during opening image files! \r\n-Platform not matched! \r\n:") +
                c.detail + "\r\n")
            << c.what;
        EXPECT_FALSE(selection->CombinedChosen());
        EXPECT_FALSE(selection->Region(0).bChosen);
        EXPECT_EQ(selection->PathText(kImageEboot), kSelectCorrect);
        EXPECT_EQ(selection->PathText(kImagePhone), kSelectCorrect);
    }
}

TEST_F(ImageSelectionTest, ACombinedImageWhoseEbootIsNotThePartitionsLengthIsRefused) {
    // SmallParts' EBOOT is 700 bytes; the built-in rows take 196608.
    log.clear();
    EXPECT_FALSE(ChooseCombined(dir.Write("x.img", fleet::BuildCombinedImage(SmallParts()))));
    EXPECT_EQ(log, (std::vector<std::string>{
                       "The EBoot image is 700 bytes; MTX-p440 takes an EBoot image of exactly "
                       "196608 bytes (its EBOOT partition).\r\n",
                       "Error during opening image files! \r\n-Invalid file size or file "
                       "extension.\r\n"}));
    EXPECT_FALSE(selection->CombinedChosen());
    EXPECT_FALSE(selection->EbootChosen());
    const std::string folder = selection->TempFolder().Folder();
    EXPECT_TRUE(folder.empty() || std::filesystem::is_empty(folder)) << "no pieces written";
}

TEST_F(ImageSelectionTest, CombinedImageOpenAndExtensionErrors) {
    log.clear();
    EXPECT_FALSE(ChooseCombined(dir.Write("x.im", fleet::BuildCombinedImage(SmallParts()))));
    EXPECT_FALSE(ChooseCombined(dir.File("missing %s.img")));
    EXPECT_FALSE(selection->SetCombinedChosen(true));  // cancelled
    EXPECT_EQ(
        log,
        (std::vector<std::string>{
            "Error during opening image files! \r\n-Invalid file size or file extension.\r\n",
            "Error during opening image files! \r\n-File open failure.\r\n",
            "Error during opening image files! \r\n-Invalid file size or file extension.\r\n"}));
    EXPECT_EQ(fleet::ReportImageError(3, ""),
              "Error during opening image files! \r\n-Can't allocate memory\r\n");
    EXPECT_EQ(fleet::ReportImageError(2, "%s%n"),
              "Error during opening image files! \r\n-Platform not matched! \r\n:%s%n\r\n");
}

TEST_F(ImageSelectionTest, EveryTruncatedCombinedImageIsRefused) {
    UseEbootLength(30);
    fleet::CombinedImageParts parts = SmallParts();  // small pieces: every cut length is tried
    parts.phone.resize(50);
    parts.eboot.resize(30);
    parts.regions[0].resize(200);
    const auto whole = fleet::BuildCombinedImage(parts);
    ASSERT_TRUE(ChooseCombined(dir.Write("whole.img", whole)));
    selection->SetCombinedChosen(false);
    for (size_t length = 0; length < whole.size(); ++length) {
        const std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<long>(length));
        log.clear();
        ASSERT_FALSE(ChooseCombined(dir.Write("cut.img", cut))) << length;
        ASSERT_EQ(log.size(), 1u);
        ASSERT_EQ(log[0],
                  "Error during opening image files! \r\n-Invalid file size or file extension.\r\n")
            << length;
    }
    EXPECT_TRUE(std::filesystem::is_empty(selection->TempFolder().Folder()))
        << "a refused image leaves no pieces behind";
}

TEST_F(ImageSelectionTest, RegionSizesBeyondTheFileAreRefused) {
    UseEbootLength(700);
    auto bytes = fleet::BuildCombinedImage(SmallParts());
    // The region size field sits after the EBOOT image; claim 2 GB.
    const size_t regionSizeAt = 36 + 40 + 2500 + 44 + 700;
    bytes[regionSizeAt + 3] = 0x80;
    log.clear();
    EXPECT_FALSE(ChooseCombined(dir.Write("huge.img", bytes)));
    EXPECT_EQ(log.at(0),
              "Error during opening image files! \r\n-Invalid file size or file extension.\r\n");
    // An EBOOT size that runs past the end.
    bytes = fleet::BuildCombinedImage(SmallParts());
    bytes[36 + 40 + 2500 + 4 + 3] = 0x7F;
    EXPECT_FALSE(ChooseCombined(dir.Write("eboot.img", bytes)));
}

TEST(TempImageFolderTest, WritesNeverFollowALink) {
    fleettest::CTempDir dir;
    const std::string victim = dir.Write("victim", {1, 2, 3});
    fleet::CImageFile source;
    ASSERT_TRUE(source.Open(dir.Write("source", fleet::PatternBytes(5000, 1))));
    std::string why;
    fleet::CTempImageFolder folder;
    ASSERT_TRUE(folder.Create(why)) << why;
    ASSERT_EQ(symlink(victim.c_str(), folder.PathOf("_eboot.nb0").c_str()), 0);
    EXPECT_FALSE(folder.WriteFrom("_eboot.nb0", source, 0, 5000, why));
    EXPECT_EQ(fleettest::ReadAll(victim), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(folder.WriteFrom("../escape", source, 0, 10, why));
    // A source shorter than asked for is a failed write, not a short file.
    EXPECT_FALSE(folder.WriteFrom("_xip0.nb0", source, 4000, 2000, why));
    EXPECT_FALSE(std::filesystem::exists(folder.PathOf("_xip0.nb0")));
    ::unlink(folder.PathOf("_eboot.nb0").c_str());
}

}  // namespace
