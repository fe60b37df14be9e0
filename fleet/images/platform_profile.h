#pragma once
// The handset platforms this program knows: addresses, lengths and flags of
// each, built into the program. The container's profile index picks the row
// the workers use; the platform list picks the row the image selection checks
// against.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace fleet {

struct PdaRegionDescriptor {
    const char* name;  // "DISKIMAGE"
    uint32_t flashAddress;
    uint32_t checksumAddress;
    uint32_t startAtEbootMax;  // non-zero: the region's data starts at the signature header size
    uint32_t trimZeroTail;     // non-zero: the region ends at its last non-zero 1008-byte block
    uint32_t signedRegion;
    uint32_t reserved;
};

// One area of the modem's flash, written in table order.
struct PhoneArea {
    uint32_t areaType;  // 1 BOOT, 2 PBL, 4 QCSBL, 5 OEMSBL, 6 SECDLOAD, 7 BIB, 8 EFS, else CODE
    uint32_t m_dwStartAddr;
    uint32_t eraseLength;
    uint32_t writeLength;  // 0xFFFFFFFF: up to the end of the phone image
    uint32_t reserved;
};

constexpr uint32_t kPhoneWriteToEnd = 0xFFFFFFFF;

struct PlatformProfile {
    std::string name;  // compared ignoring case
    std::string versionA;
    std::string versionB;
    uint32_t preProgram = 0;
    uint32_t signatureMode = 0;
    uint32_t imgHasHeader = 0;
    uint32_t launchVariant = 0;
    uint32_t handOverVariant = 0;
    uint32_t containerMode = 0;
    uint32_t ramBufferAddress = 0;
    uint32_t launchAddress = 0;
    uint32_t flashAddress = 0;
    uint32_t maximumChunk = 0;
    uint32_t unnamedFlag = 0;
    uint32_t unnamedTag = 0;
    uint32_t unnamedWords[3] = {};
    // Also the largest EBOOT file, the length a PDA region file must exceed,
    // and where a region with startAtEbootMax begins.
    uint32_t signatureHeaderSize = 0;
    uint32_t pdaExactSize = 0;  // non-zero: a PDA region file must be exactly this long
    uint32_t ebootLength = 0;
    uint32_t ackBlock = 0;  // bytes programmed per device acknowledgement
    // The region count is pdaRegions.size(); the area count phoneAreas.size().
    std::span<const PdaRegionDescriptor> pdaRegions;
    std::span<const PhoneArea> phoneAreas;
    // No built-in row has a phone header block; its consumer must expect none.
    const uint8_t* phoneHeaderBlock = nullptr;
    // Set by the phone phase to (phone file size - 0x8000) while it still holds
    // this "unset" value.
    uint32_t phoneSizeLimit = 0xFFFFFFFF;
    uint32_t phoneParamBlockFlag = 0;
    uint32_t phoneModeWord = 0;
    uint32_t phoneOptionWord = 0;
    uint32_t phoneMaxSize = 0;  // largest phone part of a combined image
};

constexpr int kPlatformProfileCount = 4;

// The one size rule for an EBOOT image, kept by the picker, fleet_pack and
// both workers: exactly the profile's EBOOT length. The files worker sends
// that many bytes of the file and the container worker has that many
// programmed from RAM, so a shorter image cannot be sent whole by the one and
// would be padded with whatever RAM held by the other, and a longer one would
// be cut.
bool EbootSizeFits(uint64_t nSize, const PlatformProfile& profile);
// Why an EBOOT image of nSize bytes is refused (one line, no line end).
std::string EbootSizeText(uint64_t nSize, const PlatformProfile& profile);

// The four built-in rows, in table order.
std::vector<PlatformProfile> BuildPlatformProfiles();

// The platform list's entries; entry n names profile row n - 1.
std::vector<std::string> PlatformComboTexts();
// The entry chosen at start ("rev 02 or later", profile row 1).
constexpr int kInitialComboSelection = 2;

}  // namespace fleet
