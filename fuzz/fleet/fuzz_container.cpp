// The image container at the end of a program file, whatever the file holds:
// the trailer reads back as written, regions are accepted only inside the
// file before the trailer, a region's data end lies within it, and the
// profile index is the file's last four bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fleet/images/container.h"
#include "fleet/images/image_file.h"
#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/scratch_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzzsupport::CFuzzInput in(pData, nSize);
    const uint8_t mode = in.Byte();
    std::vector<uint8_t> file = in.Rest();
    // Mostly a program with a well-formed trailer whose fields the input sets.
    if (mode % 4 != 0) {
        fleet::ContainerTrailer t;
        t.magic = mode % 4 == 3 ? 0 : fleet::kContainerMagic;
        const uint32_t len = static_cast<uint32_t>(file.size());
        fuzzsupport::CFuzzInput f(file.data(), file.size());
        t.ebootOffset = f.Range(0, len);
        t.ebootSize = f.Range(0, len);
        t.pdaOffset = f.Range(0, len);
        t.pdaSize = mode % 8 < 4 ? len - std::min(len, t.pdaOffset) : f.U32();
        t.unread = {0, 0, len, 0};
        t.profileIndex = f.Range(0, 4);
        const auto bytes = fleet::EncodeContainerTrailer(t);
        file.insert(file.end(), bytes.begin(), bytes.end());
        uint8_t head[fleet::kContainerTrailerReadSize];
        std::memcpy(head, bytes.data(), sizeof head);
        const fleet::ContainerTrailer back = fleet::DecodeContainerTrailer(head);
        FUZZ_CHECK(back.magic == t.magic && back.ebootOffset == t.ebootOffset &&
                       back.ebootSize == t.ebootSize && back.pdaOffset == t.pdaOffset &&
                       back.pdaSize == t.pdaSize && back.unread == t.unread,
                   "a trailer reads back as written");
    }
    const std::string path = fuzzsupport::ScratchPath("program");
    FUZZ_CHECK(fuzzsupport::WriteFileBytes(path, file), "program written");
    fleet::CImageFile f;
    FUZZ_CHECK(f.Open(path), "program opens");
    const uint64_t length = file.size();

    uint32_t index = 0xDEAD;
    const bool bIndex = fleet::ReadContainerProfileIndex(f, index);
    FUZZ_CHECK(bIndex == (length >= 4), "the index is there when the file has four bytes");
    if (bIndex) {
        const uint8_t* p = file.data() + length - 4;
        FUZZ_CHECK(index == (p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24)),
                   "the index is the last four bytes");
    }
    fleet::ContainerTrailer t;
    const bool bTrailer = fleet::ReadContainerTrailer(f, t);
    FUZZ_CHECK(bTrailer == (length >= fleet::kContainerTrailerSize), "a trailer needs 40 bytes");
    if (!bTrailer) {
        return 0;
    }
    std::string why;
    if (!fleet::CheckContainerRegions(t, length, why)) {
        FUZZ_CHECK(!why.empty(), "a refused container says why");
        return 0;
    }
    const uint64_t limit = length - fleet::kContainerTrailerSize;
    FUZZ_CHECK(uint64_t{t.pdaOffset} + t.pdaSize <= limit, "the PDA region is inside");
    FUZZ_CHECK(!t.HasEboot() || uint64_t{t.ebootOffset} + t.ebootSize <= limit,
               "the EBOOT region is inside");
    const uint64_t end = uint64_t{t.pdaOffset} + t.pdaSize;
    const int64_t dataEnd = fleet::FindRegionDataEnd(f, t.pdaOffset, end);
    FUZZ_CHECK(dataEnd >= static_cast<int64_t>(t.pdaOffset) && dataEnd <= static_cast<int64_t>(end),
               "the data end lies within the region");
    if (dataEnd > static_cast<int64_t>(t.pdaOffset)) {
        // The read that ended there (reads of 1008 bytes from the region's
        // start) held data.
        const size_t into = static_cast<size_t>(dataEnd) - t.pdaOffset;
        const size_t from =
            static_cast<size_t>(dataEnd) - ((into - 1) % fleet::kRegionScanBlock + 1);
        bool bData = false;
        for (size_t i = from; i < static_cast<size_t>(dataEnd); ++i) {
            bData = bData || file[i] != 0;
        }
        FUZZ_CHECK(bData, "the last read before the data end held data");
    }
    const bool bB000ff = fleet::IsB000ffRegion(f, t.pdaOffset);
    FUZZ_CHECK(bB000ff == (t.pdaOffset + fleet::kB000ffSignatureSize <= length &&
                           std::memcmp(file.data() + t.pdaOffset, fleet::kB000ffSignature,
                                       fleet::kB000ffSignatureSize) == 0),
               "a B000FF region starts with its signature");
    FUZZ_CHECK(f.Position() == static_cast<int64_t>(t.pdaOffset), "the check seeks back");
    return 0;
}
