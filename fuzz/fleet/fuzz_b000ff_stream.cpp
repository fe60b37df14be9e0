// A B000FF image read from its file and streamed to the device: the parts
// planned for any size cover it exactly, and what goes out is the file's
// bytes and nothing else, in packets whose kinds and sums a device can check;
// a part the file does not hold whole is not begun.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fleet/images/image_checksum.h"
#include "fleet/images/image_file.h"
#include "fleet/pda/b000ff_stream.h"
#include "fleet/pda/pda_commands.h"
#include "fleet/pda/pda_packet.h"
#include "fleet/pda/slot_pause.h"
#include "fleet/pda/slot_report.h"
#include "fleet/transport/slot_messages.h"
#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/pda_link.h"
#include "fuzz/support/scratch_dir.h"

namespace {

fuzzsupport::CPdaLink& Link() {
    static fuzzsupport::CPdaLink link(std::chrono::milliseconds(5));
    return link;
}

void CheckPlan(uint64_t size) {
    const std::vector<fleet::B000ffPart> parts = fleet::PlanB000ffParts(size);
    uint64_t at = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        FUZZ_CHECK(parts[i].nOffset == at && parts[i].nLength > 0, "parts follow each other");
        FUZZ_CHECK(parts[i].nLength <= (i == 0 ? fleet::kBinFirstPartSize : fleet::kBinPartSize),
                   "no part is longer than its kind");
        at += parts[i].nLength;
    }
    FUZZ_CHECK(at == size, "the parts cover the image exactly");
}

// The packets the host wrote, as a device that keeps track of its records
// reads them: every payload in order. A record's last piece says its length
// in its kind, so inside a record a kind of 12 or 15 is a piece, not a header.
std::vector<uint8_t> Payloads(const std::vector<uint8_t>& written, size_t nImage) {
    FUZZ_CHECK(written.size() % fleet::kPdaPacketSize == 0, "whole packets only");
    std::vector<uint8_t> out;
    uint64_t recordLeft = 0;
    for (size_t at = 0; at < written.size(); at += fleet::kPdaPacketSize) {
        const uint8_t* p = written.data() + at;
        const uint16_t kind = static_cast<uint16_t>(p[0] | (p[1] << 8));
        const size_t left = nImage - out.size();
        size_t n = 0;
        if (at == 0) {
            FUZZ_CHECK(kind == fleet::kBinKindImageHeader, "the image header first");
            n = std::min<size_t>(fleet::kBinImageHeaderSize, left);
        } else if (recordLeft == 0) {
            FUZZ_CHECK(kind == fleet::kBinKindRecordHeader, "a record begins with its header");
            n = std::min<size_t>(fleet::kBinRecordHeaderSize, left);
            recordLeft = fleet::kBinRecordDataSize;
        } else if (kind == fleet::kBinKindFullPiece) {
            n = fleet::kPdaPayloadSize;
            FUZZ_CHECK(recordLeft > n && left > n, "a full piece with more to come");
            recordLeft -= n;
        } else {
            FUZZ_CHECK(
                kind >= 1 && kind <= fleet::kPdaPayloadSize && kind <= recordLeft && kind <= left,
                "a last piece within its record");
            FUZZ_CHECK(kind == recordLeft || kind == left, "a last piece ends its record");
            n = kind;
            recordLeft = 0;
        }
        FUZZ_CHECK(n > 0, "no empty packet");
        FUZZ_CHECK(fleet::GetLe32(p + fleet::kBinPacketSumOffset) ==
                       fleet::ImageByteSum(p + fleet::kPdaPacketHeaderSize, n),
                   "each packet's sum covers its payload");
        out.insert(out.end(), p + fleet::kPdaPacketHeaderSize, p + fleet::kPdaPacketHeaderSize + n);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fleet::SetPauseScale(0);
    fuzzsupport::CFuzzInput in(pData, nSize);
    const uint64_t high = in.U32();
    CheckPlan((high << 8) | in.Byte());

    fuzzsupport::CPdaLink& link = Link();
    link.Take();
    const size_t nPrefix = in.Range(0, 64);
    const uint32_t nShort = in.Byte() % 4 == 0 ? in.Range(1, 3000) : 0;
    // The image: what the input holds; starting with an odd byte, stretched
    // to cross a record or two.
    std::vector<uint8_t> image = in.Rest();
    if (!image.empty() && image[0] % 2 == 1) {
        const size_t target = fleet::kBinImageHeaderSize + fleet::kBinRecordSize + image.size();
        for (size_t i = image.size(); i < target; ++i) {
            image.push_back(static_cast<uint8_t>(i * 31 + image[i % image.size()]));
        }
    }
    std::vector<uint8_t> file(nPrefix, 0xA5);
    file.insert(file.end(), image.begin(), image.end());
    const std::string path = fuzzsupport::ScratchPath("b000ff.bin");
    FUZZ_CHECK(fuzzsupport::WriteFileBytes(path, file), "image written");
    fleet::CImageFile f;
    FUZZ_CHECK(f.Open(path), "image opens");

    // The region may claim more than the file holds.
    const uint64_t nClaimed = image.size() + nShort;
    fleet::CPdaCommands pda(link.Port());
    fleet::CSlotReporter report(nullptr, 0);
    const fleet::StepResult result = fleet::StreamB000ffImage(
        pda, report, f, static_cast<int64_t>(nPrefix), fleet::PlanB000ffParts(nClaimed));
    const std::vector<uint8_t> written = link.Take();
    if (nShort != 0) {
        FUZZ_CHECK(!result.Ok() && result.nCode == fleet::kPdaReadError,
                   "a part the file does not hold is refused");
        FUZZ_CHECK(written.empty(), "nothing of a refused part goes out");
        return 0;
    }
    FUZZ_CHECK(result.Ok(), "a whole image streams");
    FUZZ_CHECK(Payloads(written, image.size()) == image, "what goes out is the file's bytes");
    return 0;
}
