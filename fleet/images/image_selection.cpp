#include "fleet/images/image_selection.h"

#include <strings.h>

#include <limits>

#include "fleet/images/combined_image.h"
#include "fleet/images/image_checksum.h"
#include "platform/diag_log.h"
#include "platform/format.h"
#include "platform/prompts.h"

namespace fleet {

namespace {

struct KindInfo {
    const char* filter;
    const char* extension;
};

constexpr KindInfo kKinds[kImageKindCount] = {
    {"PDA EBOOT ROM Image|*.NB0|", ".nb0"},
    {"PDA ROM Image|*.BIN|", ".bin"},
    {"PDA ROM Image|*.NB0|", ".nb0"},
    {"Phone Binary|*.BIN|", ".bin"},
};

constexpr char kCombinedFilter[] = "Phone+PDA ROM Image|*.img|";

bool HasExtension(const std::string& strPath, const char* ext) {
    const size_t n = std::char_traits<char>::length(ext);
    return strPath.size() >= n && strcasecmp(strPath.c_str() + strPath.size() - n, ext) == 0;
}

bool ValidKind(int nKind) {
    return nKind >= 0 && nKind < kImageKindCount;
}

// Region offsets travel to the workers as signed 32-bit values.
constexpr uint64_t kLargestRegionFile = std::numeric_limits<int32_t>::max();

}  // namespace

CImageSelection::CImageSelection(platform::IPrompts& prompts, LogFn fnLog)
    : m_prompts(prompts), m_fnLog(std::move(fnLog)), m_phone(&prompts) {}

CImageSelection::~CImageSelection() {
    ClearAll();
}

void CImageSelection::Log(const std::string& text) {
    if (m_fnLog) {
        m_fnLog(text);
    }
}

std::vector<std::string> CImageSelection::LoadPlatformProfiles() {
    m_profiles = BuildPlatformProfiles();
    return PlatformComboTexts();
}

const PlatformProfile* CImageSelection::CurrentProfile() const {
    if (m_nProfile < 0 || static_cast<size_t>(m_nProfile) >= m_profiles.size()) {
        return nullptr;
    }
    return &m_profiles[static_cast<size_t>(m_nProfile)];
}

const std::string& CImageSelection::PathText(int nKind) const {
    static const std::string kNone;
    return ValidKind(nKind) ? m_paths[static_cast<size_t>(nKind)] : kNone;
}

void CImageSelection::OnPlatformSelected(int nComboSelection) {
    const int row = nComboSelection - 1;
    m_nProfile = (row >= 0 && static_cast<size_t>(row) < m_profiles.size()) ? row : -1;
    // Everything chosen for the old platform goes, files included: a region
    // left chosen behind an empty path would still be written by a worker.
    ClearAll();
    m_regions.clear();
    const PlatformProfile* profile = CurrentProfile();
    if (profile != nullptr) {
        for (size_t i = 0; i < profile->pdaRegions.size(); ++i) {
            m_regions.push_back(std::make_unique<RegionSelection>());
        }
    }

    if (profile == nullptr) {
        m_controls.bOptionsEnabled = false;
        m_controls.nPlatformLabelColour = 0x0000FF;
        return;
    }
    m_controls.bOptionsEnabled = true;
    m_controls.nPlatformLabelColour = 0x00FF00;
    m_controls.strPdaButton = "PDA";
    m_controls.bPdaGsmVisible = false;
    m_controls.bPhoneEnabled = true;
    if (IsSelectedPlatform("MTX-p440")) {
        m_controls.strEbootButton = "LOADER";
        m_controls.bCombinedEnabled = true;
    } else {
        m_controls.strEbootButton = "EBOOT";
    }
}

bool CImageSelection::IsSelectedPlatform(const std::string& strName) const {
    const PlatformProfile* profile = CurrentProfile();
    return profile != nullptr && strcasecmp(profile->name.c_str(), strName.c_str()) == 0;
}

std::array<CImageFile, kSlotCount>* CImageSelection::FilesOfKind(int nKind) {
    if (nKind == kImageEboot) {
        return &m_ebootFiles;
    }
    const size_t region = nKind == kImagePda ? 0 : 1;
    if ((nKind == kImagePda || nKind == kImagePdaGsm) && region < m_regions.size()) {
        return &m_regions[region]->files;
    }
    return nullptr;
}

bool CImageSelection::OpenInAllSlots(std::array<CImageFile, kSlotCount>& files,
                                     const std::string& strPath) {
    for (CImageFile& file : files) {
        if (!file.Open(strPath)) {
            return false;
        }
    }
    return true;
}

int CImageSelection::ValidateImageSize(uint64_t nLength, int nKind) {
    const PlatformProfile* profile = CurrentProfile();
    if (profile == nullptr) {
        return 0;
    }
    if (nKind == kImageEboot) {
        // Only an image the workers can send and program whole is taken.
        if (EbootSizeFits(nLength, *profile)) {
            return 1;
        }
        Log(EbootSizeText(nLength, *profile) + "\r\n");
        Log("Select the EBoot Image file!\r\n");
        return 0;
    }
    if (nKind == kImagePda || nKind == kImagePdaGsm) {
        if (profile->pdaExactSize != 0 && nLength != profile->pdaExactSize) {
            Log("Select the proper PDA Image file!\r\n");
            return 0;
        }
        if (nLength > profile->signatureHeaderSize && nLength <= kLargestRegionFile) {
            return 1;
        }
        Log("Select the PDA Image file!\r\n");
        return 0;
    }
    return 1;
}

int CImageSelection::SelectImageFile(int nKind) {
    if (!ValidKind(nKind)) {
        return -1;
    }
    const KindInfo& info = kKinds[nKind];
    std::string& pathText = m_paths[static_cast<size_t>(nKind)];
    platform::FileDialogRequest request;
    request.strFilter = info.filter;
    const std::string path = m_prompts.OpenFile(request);
    auto reject = [&] {
        pathText = kSelectCorrectImage;
        return -1;
    };
    if (path.empty() || CurrentProfile() == nullptr) {
        return reject();
    }
    // The path is kept as chosen: the extension alone is compared without
    // case, since on this system the name's case is part of the file's name.
    if (!HasExtension(path, info.extension)) {
        return reject();
    }

    if (nKind == kImagePhone) {
        if (m_phone.Attach(path, PhoneBinaryFile::kModeBlocks) != 1 || m_phone.Load(0, 0) != 1) {
            m_phone.Release();
            return reject();
        }
        pathText = path;
        m_controls.bDetectEnabled = true;
        return 0;
    }

    std::array<CImageFile, kSlotCount>* files = FilesOfKind(nKind);
    if (files == nullptr) {
        return reject();  // the platform has no second region
    }
    for (CImageFile& file : *files) {
        if (!file.Open(path) ||
            ValidateImageSize(static_cast<uint64_t>(file.Length()), nKind) == 0) {
            CloseKind(nKind);
            return reject();
        }
    }
    pathText = path;
    m_controls.bDetectEnabled = true;
    return 0;
}

void CImageSelection::ScanRegion(int nRegion) {
    const PlatformProfile* profile = CurrentProfile();
    const size_t index = static_cast<size_t>(nRegion - 1);
    if (profile == nullptr || nRegion < 1 || index >= m_regions.size() ||
        index >= profile->pdaRegions.size()) {
        return;
    }
    RegionSelection& region = *m_regions[index];
    const PdaRegionDescriptor& descriptor = profile->pdaRegions[index];
    CImageFile& file = region.files[0];
    ClearRegionValues(region);  // a new scan never folds in an earlier file's sum
    const int64_t length = file.Length();
    if (length < 0) {
        return;
    }
    const uint32_t start = descriptor.startAtEbootMax != 0 ? profile->signatureHeaderSize : 0;
    if (file.Seek(start) < 0) {
        return;
    }
    uint8_t block[1008];
    int64_t pos = start;
    int64_t lastData = start;
    uint32_t checksum = 0;
    while (pos < length) {
        const size_t got = file.Read(block, sizeof block);
        pos += static_cast<int64_t>(got);
        checksum = ImageByteSum(block, got, checksum);
        bool bData = false;
        for (size_t i = 0; i < got && !bData; ++i) {
            bData = block[i] != 0;
        }
        if (bData) {
            lastData = pos;
        } else if (got < sizeof block) {
            break;
        }
    }
    region.regionStart = start;
    region.regionEnd =
        static_cast<uint32_t>(descriptor.trimZeroTail != 0 ? std::max<int64_t>(lastData, start)
                                                           : std::max<int64_t>(length, start));
    region.regionChecksum = checksum;
}

void CImageSelection::FailCombined(int nError, const std::string& strDetail) {
    Log(ReportImageError(nError, strDetail));
    // Whatever this pick opened or wrote goes; nothing half-split remains.
    CloseKind(kImageEboot);
    for (auto& region : m_regions) {
        for (CImageFile& file : region->files) {
            file.Close();
        }
        ClearRegionValues(*region);
    }
    m_phone.Release();
    m_tempFolder.RemoveAll();
    for (std::string& path : m_paths) {
        path = kSelectCorrectImage;
    }
}

int CImageSelection::SelectCombinedImage() {
    const PlatformProfile* profile = CurrentProfile();
    platform::FileDialogRequest request;
    request.strFilter = kCombinedFilter;
    const std::string path = m_prompts.OpenFile(request);
    if (path.empty() || !HasExtension(path, ".img") || profile == nullptr) {
        FailCombined(kImageErrorSizeOrExtension, {});
        return -1;
    }
    CImageFile image;
    if (!image.Open(path)) {
        FailCombined(kImageErrorOpen, {});
        return -1;
    }
    CombinedImageLayout layout;
    int error = 0;
    std::string detail;
    if (!ReadCombinedImageLayout(image, *profile, layout, error, detail)) {
        FailCombined(error, detail);
        return -1;
    }
    if (!EbootSizeFits(layout.ebootSize, *profile)) {
        Log(EbootSizeText(layout.ebootSize, *profile) + "\r\n");
        FailCombined(kImageErrorSizeOrExtension, {});
        return -1;
    }

    std::string why;
    auto writePiece = [&](const std::string& name, uint64_t offset, uint64_t size) {
        if (m_tempFolder.WriteFrom(name, image, offset, size, why)) {
            return true;
        }
        platform::Diag("images", why);
        return false;
    };
    if (!writePiece(kEbootTempName, layout.ebootOffset, layout.ebootSize) ||
        !OpenInAllSlots(m_ebootFiles, m_tempFolder.PathOf(kEbootTempName))) {
        FailCombined(kImageErrorOpen, {});
        return -1;
    }
    for (size_t i = 0; i < layout.regions.size(); ++i) {
        const std::string name =
            platform::Format("%s%d.nb0", kRegionTempPrefix, static_cast<int>(i));
        if (!writePiece(name, layout.regions[i].offset, layout.regions[i].size) ||
            !OpenInAllSlots(m_regions[i]->files, m_tempFolder.PathOf(name))) {
            FailCombined(kImageErrorOpen, {});
            return -1;
        }
    }
    if (!writePiece(kPhoneTempName, layout.phoneOffset, layout.phoneSize) ||
        m_phone.Attach(m_tempFolder.PathOf(kPhoneTempName), PhoneBinaryFile::kModeBlocks) != 1) {
        FailCombined(kImageErrorOpen, {});
        return -1;
    }
    if (m_phone.Load(0, 0) != 1) {
        FailCombined(kImageErrorMemory, {});
        return -1;
    }
    m_controls.bDetectEnabled = true;
    for (std::string& shown : m_paths) {
        shown = path;
    }
    return 0;
}

void CImageSelection::CloseKind(int nKind) {
    if (nKind == kImagePhone) {
        m_phone.Release();
        return;
    }
    std::array<CImageFile, kSlotCount>* files = FilesOfKind(nKind);
    if (files != nullptr) {
        for (CImageFile& file : *files) {
            file.Close();
        }
    }
}

void CImageSelection::ClearRegionValues(RegionSelection& region) {
    region.regionStart = 0;
    region.regionEnd = 0;
    region.regionChecksum = 0;
}

bool CImageSelection::SetImageChosen(int nKind, bool bOn) {
    if (!ValidKind(nKind)) {
        return false;
    }
    bool bChosen = false;
    if (bOn) {
        bChosen = SelectImageFile(nKind) == 0;
        if (bChosen && (nKind == kImagePda || nKind == kImagePdaGsm)) {
            ScanRegion(nKind);  // kind 1 is region 1, kind 2 region 2
        }
    } else {
        CloseKind(nKind);
        m_paths[static_cast<size_t>(nKind)].clear();
    }
    if (nKind == kImageEboot) {
        m_bEbootChosen = bChosen;
    } else if (nKind == kImagePhone) {
        m_bPhoneChosen = bChosen;
    } else {
        const size_t index = nKind == kImagePda ? 0 : 1;
        if (index < m_regions.size()) {
            m_regions[index]->bChosen = bChosen;
            if (!bOn) {
                ClearRegionValues(*m_regions[index]);
            }
        }
    }
    return bChosen;
}

bool CImageSelection::SetCombinedChosen(bool bOn) {
    if (!bOn) {
        if (m_bCombinedChosen) {
            ClearAll();
        }
        return false;
    }
    const bool bOk = SelectCombinedImage() == 0;
    m_bCombinedChosen = bOk;
    m_bEbootChosen = bOk;
    m_bPhoneChosen = bOk;
    for (auto& region : m_regions) {
        region->bChosen = false;
    }
    if (bOk) {
        if (!m_regions.empty()) {
            m_regions[0]->bChosen = true;
        }
        ScanRegion(1);
    }
    return bOk;
}

void CImageSelection::ClearAll() {
    CloseKind(kImageEboot);
    for (auto& region : m_regions) {
        for (CImageFile& file : region->files) {
            file.Close();
        }
        region->bChosen = false;
        ClearRegionValues(*region);
    }
    m_phone.Release();
    m_tempFolder.RemoveAll();
    for (std::string& path : m_paths) {
        path.clear();
    }
    m_bEbootChosen = false;
    m_bPhoneChosen = false;
    m_bCombinedChosen = false;
}

}  // namespace fleet
