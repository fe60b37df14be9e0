#include "fleet/images/container.h"

#include <algorithm>
#include <cstring>

#include "fleet/images/image_file.h"
#include "platform/format.h"

namespace fleet {

namespace {

void PutU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool RegionInside(uint32_t nOffset, uint32_t nSize, uint64_t nLimit) {
    return static_cast<uint64_t>(nOffset) + nSize <= nLimit;
}

}  // namespace

std::array<uint8_t, kContainerTrailerSize> EncodeContainerTrailer(const ContainerTrailer& t) {
    std::array<uint8_t, kContainerTrailerSize> out{};
    PutU32(&out[0], t.magic);
    PutU32(&out[4], t.ebootOffset);
    PutU32(&out[8], t.ebootSize);
    PutU32(&out[12], t.pdaOffset);
    PutU32(&out[16], t.pdaSize);
    for (size_t i = 0; i < t.unread.size(); ++i) {
        PutU32(&out[20 + 4 * i], t.unread[i]);
    }
    PutU32(&out[36], t.profileIndex);
    return out;
}

ContainerTrailer DecodeContainerTrailer(const uint8_t (&bytes)[kContainerTrailerReadSize]) {
    ContainerTrailer t;
    t.magic = GetU32(&bytes[0]);
    t.ebootOffset = GetU32(&bytes[4]);
    t.ebootSize = GetU32(&bytes[8]);
    t.pdaOffset = GetU32(&bytes[12]);
    t.pdaSize = GetU32(&bytes[16]);
    for (size_t i = 0; i < t.unread.size(); ++i) {
        t.unread[i] = GetU32(&bytes[20 + 4 * i]);
    }
    return t;
}

bool ReadContainerProfileIndex(CImageFile& file, uint32_t& nProfileIndex) {
    uint8_t bytes[4] = {};
    if (file.SeekFromEnd(4) < 0 || !file.ReadExactly(bytes, 4)) {
        return false;
    }
    nProfileIndex = GetU32(bytes);
    return true;
}

bool ReadContainerProfileIndex(const std::string& strProgramPath, uint32_t& nProfileIndex) {
    CImageFile file;
    return file.Open(strProgramPath) && ReadContainerProfileIndex(file, nProfileIndex);
}

bool ReadContainerTrailer(CImageFile& file, ContainerTrailer& trailer) {
    uint8_t bytes[kContainerTrailerReadSize] = {};
    if (file.SeekFromEnd(kContainerTrailerSize) < 0 || !file.ReadExactly(bytes, sizeof bytes)) {
        return false;
    }
    trailer = DecodeContainerTrailer(bytes);
    return true;
}

bool CheckContainerRegions(const ContainerTrailer& t, uint64_t nFileLength, std::string& strWhy) {
    if (nFileLength < kContainerTrailerSize) {
        strWhy = "the file is shorter than a container trailer";
        return false;
    }
    const uint64_t limit = nFileLength - kContainerTrailerSize;
    if (t.HasEboot() && !RegionInside(t.ebootOffset, t.ebootSize, limit)) {
        strWhy =
            platform::Format("EBOOT region 0x%X + 0x%X runs past the trailer at 0x%llX",
                             t.ebootOffset, t.ebootSize, static_cast<unsigned long long>(limit));
        return false;
    }
    if (!RegionInside(t.pdaOffset, t.pdaSize, limit)) {
        strWhy = platform::Format("PDA region 0x%X + 0x%X runs past the trailer at 0x%llX",
                                  t.pdaOffset, t.pdaSize, static_cast<unsigned long long>(limit));
        return false;
    }
    return true;
}

int64_t FindRegionDataEnd(CImageFile& file, uint64_t nStart, uint64_t nEnd) {
    if (file.Seek(static_cast<int64_t>(nStart)) < 0) {
        return -1;
    }
    uint8_t block[kRegionScanBlock];
    uint64_t pos = nStart;
    uint64_t dataEnd = nStart;
    while (pos < nEnd) {
        // Cut at the region end: in the reference layout the trailer follows
        // the PDA region directly, and its bytes are not image data.
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kRegionScanBlock, nEnd - pos));
        const size_t got = file.Read(block, want);
        pos += got;
        bool bData = false;
        for (size_t i = 0; i < got && !bData; ++i) {
            bData = block[i] != 0;
        }
        if (bData) {
            dataEnd = pos;
        } else if (got < kRegionScanBlock) {
            break;
        }
    }
    return static_cast<int64_t>(dataEnd);
}

bool IsB000ffRegion(CImageFile& file, uint64_t nOffset) {
    uint8_t head[kB000ffSignatureSize] = {};
    const bool bRead =
        file.Seek(static_cast<int64_t>(nOffset)) >= 0 && file.ReadExactly(head, sizeof head);
    file.Seek(static_cast<int64_t>(nOffset));
    return bRead && std::memcmp(head, kB000ffSignature, kB000ffSignatureSize) == 0;
}

}  // namespace fleet
