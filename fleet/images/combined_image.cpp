#include "fleet/images/combined_image.h"

#include <strings.h>

#include <cstring>

#include "fleet/images/image_file.h"
#include "fleet/images/platform_profile.h"
#include "platform/format.h"

namespace fleet {

namespace {

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Reads n bytes at an absolute offset; false when the file ends first.
bool ReadAt(CImageFile& file, uint64_t nOffset, uint8_t* p, size_t n, uint64_t nLength) {
    if (nOffset > nLength || nLength - nOffset < n) {
        return false;
    }
    return file.Seek(static_cast<int64_t>(nOffset)) == static_cast<int64_t>(nOffset) &&
           file.ReadExactly(p, n);
}

bool Fits(uint64_t nOffset, uint64_t nSize, uint64_t nLength) {
    return nOffset <= nLength && nLength - nOffset >= nSize;
}

}  // namespace

bool ReadCombinedImageLayout(CImageFile& file, const PlatformProfile& profile,
                             CombinedImageLayout& layout, int& nError, std::string& strDetail) {
    layout = CombinedImageLayout{};
    strDetail.clear();
    const int64_t signedLength = file.Length();
    if (signedLength < 0) {
        nError = kImageErrorOpen;
        return false;
    }
    const uint64_t length = static_cast<uint64_t>(signedLength);
    auto tooShort = [&nError] {
        nError = kImageErrorSizeOrExtension;
        return false;
    };
    auto mismatch = [&nError, &strDetail](const char* text) {
        nError = kImageErrorPlatform;
        strDetail = text;
        return false;
    };

    uint8_t header[kImgHeaderSize];
    if (!ReadAt(file, 0, header, sizeof header, length)) {
        return tooShort();
    }
    layout.securityFlag = GetU32(&header[kImgSecurityOffset]);
    if ((layout.securityFlag != 0) != (profile.signatureMode != 0)) {
        return mismatch(kSecurityMismatch);
    }
    // The name field need not hold its NUL: never read beyond its 20 bytes.
    const char* name = reinterpret_cast<const char*>(&header[kImgPlatformNameOffset]);
    layout.platformName.assign(name, strnlen(name, kImgPlatformNameField));
    if (strcasecmp(layout.platformName.c_str(), profile.name.c_str()) != 0) {
        return mismatch(kPlatformMismatch);
    }

    uint8_t phoneBlock[kImgPhoneBlockSize];
    if (!ReadAt(file, kImgHeaderSize, phoneBlock, sizeof phoneBlock, length)) {
        return tooShort();
    }
    layout.phoneSize = GetU32(&phoneBlock[0]);
    if (layout.phoneSize > profile.phoneMaxSize) {
        return mismatch(kPlatformMismatch);
    }
    layout.phoneOffset = kImgHeaderSize + kImgPhoneBlockSize;
    if (!Fits(layout.phoneOffset, layout.phoneSize, length)) {
        return tooShort();
    }

    const uint64_t ebootBlockAt = layout.phoneOffset + layout.phoneSize;
    uint8_t ebootBlock[kImgEbootBlockSize];
    if (!ReadAt(file, ebootBlockAt, ebootBlock, sizeof ebootBlock, length)) {
        return tooShort();
    }
    layout.ebootSize = GetU32(&ebootBlock[4]);
    const uint32_t regionCount = GetU32(&ebootBlock[8]);
    layout.ebootOffset = ebootBlockAt + kImgEbootBlockSize;
    if (!Fits(layout.ebootOffset, layout.ebootSize, length)) {
        return tooShort();
    }
    // The window keeps file objects for as many regions as the platform has:
    // an image with more (or none) is not for this platform.
    if (regionCount == 0 || regionCount > profile.pdaRegions.size()) {
        return mismatch(kPlatformMismatch);
    }

    uint64_t at = layout.ebootOffset + layout.ebootSize;
    for (uint32_t i = 0; i < regionCount; ++i) {
        uint8_t sizeField[kImgRegionSizeField];
        if (!ReadAt(file, at, sizeField, sizeof sizeField, length)) {
            return tooShort();
        }
        const uint32_t size = GetU32(sizeField);
        at += kImgRegionSizeField;
        // Region offsets travel to the workers as signed 32-bit values.
        if (size > 0x7FFFFFFFu || !Fits(at, size, length)) {
            return tooShort();
        }
        layout.regions.push_back({at, size});
        at += size;
    }
    return true;
}

std::string ReportImageError(int nError, const std::string& strDetail) {
    std::string text;
    switch (nError) {
        case kImageErrorSizeOrExtension:
            text = "Invalid file size or file extension.";
            break;
        case kImageErrorOpen:
            text = "File open failure.";
            break;
        case kImageErrorPlatform:
            text = platform::Format("Platform not matched! \r\n:%s", strDetail.c_str());
            break;
        case kImageErrorMemory:
            text = "Can't allocate memory";
            break;
        default:
            text = platform::Format("error %d", nError);
            break;
    }
    return platform::Format("Error during opening image files! \r\n-%s\r\n", text.c_str());
}

}  // namespace fleet
