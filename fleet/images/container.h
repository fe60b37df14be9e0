#pragma once
// The image container at the end of the program file: the regions it names
// and the 40-byte trailer that ends the file. The program only reads it;
// fleet_pack writes it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace fleet {

class CImageFile;

constexpr uint32_t kContainerMagic = 0x424A4449;  // the bytes "IDJB"
constexpr size_t kContainerTrailerSize = 40;
// The reader takes the first 36 bytes as one record; the profile index is
// read on its own from the last 4.
constexpr size_t kContainerTrailerReadSize = 36;
// Regions are scanned for their data end in reads of this size.
constexpr size_t kRegionScanBlock = 1008;
// First bytes of a PDA image in the ".bin" record format.
constexpr char kB000ffSignature[] = "B000FF\n";
constexpr size_t kB000ffSignatureSize = 7;

struct ContainerTrailer {
    uint32_t magic = 0;
    uint32_t ebootOffset = 0;
    uint32_t ebootSize = 0;
    uint32_t pdaOffset = 0;
    uint32_t pdaSize = 0;
    std::array<uint32_t, 4> unread{};  // the reference packer puts 0, 0, own offset, 0
    uint32_t profileIndex = 0;

    bool HasMagic() const { return magic == kContainerMagic; }
    bool HasEboot() const { return ebootOffset != 0 && ebootSize != 0; }
};

// All 40 bytes, little-endian.
std::array<uint8_t, kContainerTrailerSize> EncodeContainerTrailer(const ContainerTrailer& t);
// Fields of the first 36 bytes; profileIndex is left 0.
ContainerTrailer DecodeContainerTrailer(const uint8_t (&bytes)[kContainerTrailerReadSize]);

// The last 4 bytes of the file, little-endian. False (nothing read) when the
// file cannot be opened or is shorter than 4 bytes. The value is not checked
// against the profile table: that is the caller's job.
bool ReadContainerProfileIndex(const std::string& strProgramPath, uint32_t& nProfileIndex);
bool ReadContainerProfileIndex(CImageFile& file, uint32_t& nProfileIndex);

// The first 36 bytes of the trailer, read through the slot's handle; false
// when the file is shorter than a trailer or the read fails.
bool ReadContainerTrailer(CImageFile& file, ContainerTrailer& trailer);

// True when both regions lie inside the file before the trailer (offsets and
// sizes summed without overflow); otherwise says which region does not.
bool CheckContainerRegions(const ContainerTrailer& t, uint64_t nFileLength, std::string& strWhy);

// Scans [nStart, nEnd) in 1008-byte reads (the last one cut at nEnd) and
// returns the position after the last read that held a non-zero byte; nStart
// when there is none; -1 when the file cannot be positioned. An all-zero
// short read ends the scan. Leaves the file position where the scan stopped.
int64_t FindRegionDataEnd(CImageFile& file, uint64_t nStart, uint64_t nEnd);

// Whether the region at nOffset starts with "B000FF\n"; seeks back to nOffset.
bool IsB000ffRegion(CImageFile& file, uint64_t nOffset);

}  // namespace fleet
