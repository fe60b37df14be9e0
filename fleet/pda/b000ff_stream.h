#pragma once
// Streaming a B000FF (".bin" record format) image: a 15-byte header, then
// records of a 12-byte header and 0x20200 data bytes. The image goes in
// parts of 200 records (the first also carries the header), each read into
// memory whole and sent as BinStreamPackets: kind 15 for the image header, 12
// for a record header, 1024 for a full 1008-byte piece with more of the
// record to come, n for the last n bytes of a record.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fleet/pda/step_result.h"

namespace fleet {

class CImageFile;
class CPdaCommands;
class CSlotReporter;

constexpr uint32_t kBinImageHeaderSize = 15;
constexpr uint32_t kBinRecordHeaderSize = 12;
constexpr uint32_t kBinRecordDataSize = 0x20200;
constexpr uint32_t kBinRecordSize = kBinRecordHeaderSize + kBinRecordDataSize;  // 0x2020C
constexpr uint32_t kBinRecordsPerPart = 200;
constexpr uint64_t kBinFirstPartSize =
    kBinImageHeaderSize + uint64_t{kBinRecordsPerPart} * kBinRecordSize;          // 26319215
constexpr uint64_t kBinPartSize = uint64_t{kBinRecordsPerPart} * kBinRecordSize;  // 26319200
// A part is read from its file through a window of this size, not whole.
constexpr size_t kB000ffReadWindow = size_t{1} << 20;
// Paces the device: after a record header, after every third full piece and
// after the last piece of each record.
constexpr std::chrono::milliseconds kStreamPacing{1};

struct B000ffPart {
    uint64_t nOffset = 0;  // from the start of the image
    uint64_t nLength = 0;
    uint32_t nProgressCode = 0;  // 316 first, 317..320 parts 2..5, 215 later ones, 321 last
};

// The parts of an image of nImageSize bytes: the first, the full middle
// ones, and the rest as the last. No part reaches past the image; an empty
// last part is left out.
std::vector<B000ffPart> PlanB000ffParts(uint64_t nImageSize);

// Streams one part held in memory, posting the part's progress code with
// the percentage of it sent. 217 when a packet cannot be written whole.
StepResult StreamB000ffPart(CPdaCommands& commands, CSlotReporter& report, const uint8_t* pPart,
                            size_t nLength, bool bFirstPart, uint32_t nProgressCode);

// Streams each planned part of the image at nOffset, reading it as it goes.
// 208 (detail 1) when the file does not hold a part whole (nothing of that
// part is sent) or a read fails: what is streamed is always the file's
// bytes, never what the buffer held before.
StepResult StreamB000ffImage(CPdaCommands& commands, CSlotReporter& report, CImageFile& file,
                             int64_t nOffset, const std::vector<B000ffPart>& parts);

}  // namespace fleet
