#pragma once
// The operator's image choice for the files-mode worker, without widgets: the
// platform list and profile table, the four file pickers with their checks,
// the combined ".img" file split into temporary files, and the per-slot file
// objects the workers read. The window (and the command line, and the tests)
// drive it and show what it holds.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fleet/images/image_file.h"
#include "fleet/images/phone_binary.h"
#include "fleet/images/platform_profile.h"
#include "fleet/images/slots.h"
#include "fleet/images/temp_image_folder.h"

namespace platform {
class IPrompts;
}  // namespace platform

namespace fleet {

enum ImageKind : int { kImageEboot = 0, kImagePda = 1, kImagePdaGsm = 2, kImagePhone = 3 };
constexpr int kImageKindCount = 4;

constexpr char kSelectCorrectImage[] = "Select the Correct Image File!";
constexpr char kEbootTempName[] = "_eboot.nb0";
constexpr char kPhoneTempName[] = "_phone.bin";
// Region i of a combined image: "%s%d.nb0" with this prefix and i.
constexpr char kRegionTempPrefix[] = "_xip";

// One PDA region of the platform: its file in each slot, whether it is
// chosen, and what the scan found.
struct RegionSelection {
    std::array<CImageFile, kSlotCount> files;
    bool bChosen = false;
    uint32_t regionStart = 0;
    uint32_t regionEnd = 0;
    uint32_t regionChecksum = 0;
};

// What the selection controls show; colours are 0x00BBGGRR.
struct PlatformControls {
    bool bOptionsEnabled = false;
    uint32_t nPlatformLabelColour = 0x0000FF;
    std::string strEbootButton = "EBoot";
    std::string strPdaButton = "PDA";
    bool bPdaGsmVisible = false;
    bool bPhoneEnabled = true;
    bool bCombinedEnabled = true;
    bool bDetectEnabled = false;  // a pick succeeded
};

class CImageSelection {
  public:
    using LogFn = std::function<void(const std::string&)>;

    // Log lines go to fnLog (the main log); prompts ask for files and show boxes.
    CImageSelection(platform::IPrompts& prompts, LogFn fnLog);
    ~CImageSelection();
    CImageSelection(const CImageSelection&) = delete;
    CImageSelection& operator=(const CImageSelection&) = delete;

    // Builds the profile table and returns the platform list's entries; the
    // list starts at kInitialComboSelection (run OnPlatformSelected for it).
    std::vector<std::string> LoadPlatformProfiles();
    // Replaces the table LoadPlatformProfiles built (tests of other platform values).
    void UseProfiles(std::vector<PlatformProfile> profiles) { m_profiles = std::move(profiles); }
    // The platform list changed: entry n is profile row n - 1; entry 0 (or
    // anything outside the list) is no platform. Clears the whole selection.
    void OnPlatformSelected(int nComboSelection);
    bool IsSelectedPlatform(const std::string& strName) const;

    // 0 on success, -1 otherwise (the kind's path then reads "Select the Correct Image File!").
    int SelectImageFile(int nKind);
    // 1 accept, 0 reject (the reason is logged).
    int ValidateImageSize(uint64_t nLength, int nKind);
    // nRegion 1 = first PDA region, 2 = second.
    void ScanRegion(int nRegion);
    // 0 on success, -1 otherwise (reported through ReportImageError).
    int SelectCombinedImage();

    // The toggle buttons: switching on picks and keeps the chosen flag only
    // on success; switching off closes and forgets. Returns the chosen flag.
    bool SetImageChosen(int nKind, bool bOn);
    bool SetCombinedChosen(bool bOn);
    // Closes every image, removes the temporary files, empties the paths.
    void ClearAll();

    const std::vector<PlatformProfile>& Profiles() const { return m_profiles; }
    int CurrentProfileIndex() const { return m_nProfile; }
    const PlatformProfile* CurrentProfile() const;
    const PlatformControls& Controls() const { return m_controls; }

    const std::string& PathText(int nKind) const;
    bool EbootChosen() const { return m_bEbootChosen; }
    bool PhoneChosen() const { return m_bPhoneChosen; }
    bool CombinedChosen() const { return m_bCombinedChosen; }
    size_t RegionCount() const { return m_regions.size(); }
    RegionSelection& Region(size_t i) { return *m_regions[i]; }
    const RegionSelection& Region(size_t i) const { return *m_regions[i]; }
    CImageFile& EbootFile(int nSlot) { return m_ebootFiles[static_cast<size_t>(nSlot)]; }
    const PhoneBinaryFile& Phone() const { return m_phone; }
    const CTempImageFolder& TempFolder() const { return m_tempFolder; }

  private:
    // The 8 file objects a kind is opened into; nullptr when the platform has
    // no such region.
    std::array<CImageFile, kSlotCount>* FilesOfKind(int nKind);
    void CloseKind(int nKind);
    void ClearRegionValues(RegionSelection& region);
    void FailCombined(int nError, const std::string& strDetail);
    bool OpenInAllSlots(std::array<CImageFile, kSlotCount>& files, const std::string& strPath);
    void Log(const std::string& text);

    platform::IPrompts& m_prompts;
    LogFn m_fnLog;
    std::vector<PlatformProfile> m_profiles;
    int m_nProfile = -1;
    PlatformControls m_controls;

    std::array<std::string, kImageKindCount> m_paths;
    std::array<CImageFile, kSlotCount> m_ebootFiles;
    std::vector<std::unique_ptr<RegionSelection>> m_regions;  // one per PDA region of the profile
    PhoneBinaryFile m_phone;
    bool m_bEbootChosen = false;
    bool m_bPhoneChosen = false;
    bool m_bCombinedChosen = false;
    CTempImageFolder m_tempFolder;
};

}  // namespace fleet
