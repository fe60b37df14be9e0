#pragma once
// The combined ".img" file (phone binary, EBOOT and PDA regions in one file,
// with a 36-byte header naming the platform), its checks against the chosen
// platform, and the texts of its errors.

#include <cstdint>
#include <string>
#include <vector>

namespace fleet {

class CImageFile;
struct PlatformProfile;

constexpr uint64_t kImgHeaderSize = 36;
constexpr uint64_t kImgPlatformNameOffset = 8;
constexpr uint64_t kImgPlatformNameField = 20;  // bytes 8..27, NUL-terminated when shorter
constexpr uint64_t kImgSecurityOffset = 28;
constexpr uint64_t kImgPhoneBlockSize = 40;
constexpr uint64_t kImgEbootBlockSize = 44;
constexpr uint64_t kImgRegionSizeField = 4;

// Errors reported by ReportImageError.
enum ImageError : int {
    kImageErrorSizeOrExtension = 0,  // also a file too short for what it declares
    kImageErrorOpen = 1,
    kImageErrorPlatform = 2,
    kImageErrorMemory = 3,
};

struct CombinedImageLayout {
    std::string platformName;
    uint32_t securityFlag = 0;
    uint64_t phoneOffset = 0;
    uint32_t phoneSize = 0;
    uint64_t ebootOffset = 0;
    uint32_t ebootSize = 0;
    struct Region {
        uint64_t offset;
        uint32_t size;
    };
    std::vector<Region> regions;
};

// Reads the header and every block size and checks them against the platform
// and against the file's length, before any piece is copied out. False with
// the error and, for kImageErrorPlatform, the specific text.
bool ReadCombinedImageLayout(CImageFile& file, const PlatformProfile& profile,
                             CombinedImageLayout& layout, int& nError, std::string& strDetail);

// The log line for an error: "Error during opening image files! \r\n-<text>\r\n".
std::string ReportImageError(int nError, const std::string& strDetail);

constexpr char kSecurityMismatch[] =
    "Security option not matched! Choose the exact platform in the combo list!";
constexpr char kPlatformMismatch[] = "The chosen platform and image do not match!";

}  // namespace fleet
