#include "sim/fleet/bin_stream.h"

#include <algorithm>
#include <cstring>

#include "sim/fleet/pda_flash.h"
#include "sim/fleet/sim_sums.h"
#include "sim/fleet/sim_types.h"

namespace fleetsim {

namespace {

constexpr uint16_t kKindImageHeader = 15;
constexpr uint16_t kKindRecordHeader = 12;
constexpr uint16_t kKindFullPiece = 1024;
constexpr size_t kImageHeaderLength = 15;
constexpr size_t kRecordHeaderLength = 12;
constexpr char kSync[] = "B000FF\n";

bool AllZero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

// Commands 11, 13 and 36 carry no arguments; their packets are all zero but
// for the code, which a stream packet of that kind can only match with an
// all-zero payload. They are taken as the commands.
bool IsBareCommand(const uint8_t* p) {
    const uint16_t kind = Le16(p);
    return (kind == 11 || kind == 13 || kind == 36) && AllZero(p + 2, kPacketSize - 2);
}

}  // namespace

const char* StreamStateName(StreamRecord::State state) {
    switch (state) {
        case StreamRecord::State::None:
            return "none";
        case StreamRecord::State::ExpectHeader:
            return "waiting for the image header";
        case StreamRecord::State::ExpectRecord:
            return "between records";
        case StreamRecord::State::InRecord:
            return "inside a record";
        case StreamRecord::State::Ended:
            return "after the last record";
        case StreamRecord::State::Failed:
            return "failed";
    }
    return "?";
}

void CBinStream::Begin(uint64_t nDestination) {
    if (Active()) {
        End("a new stream was announced");
    }
    const int nStreams = m_rec.nStreams + 1;
    m_rec = StreamRecord{};
    m_rec.nStreams = nStreams;
    m_rec.state = StreamRecord::State::ExpectHeader;
    m_nDestination = nDestination;
    m_nRecordGot = 0;
    m_nRecordTrue = 0;
    m_bActive = true;
}

bool CBinStream::Active() const {
    return m_bActive;
}

bool CBinStream::Claims(const uint8_t* pPacket) const {
    return m_bActive && AllZero(pPacket + 2, 10) && !IsBareCommand(pPacket);
}

void CBinStream::Fail(const std::string& why) {
    m_rec.state = StreamRecord::State::Failed;
    m_rec.strFailure = "packet " + std::to_string(m_rec.nPackets - 1) + ": " + why;
    m_host.Notice("B000FF stream refused at " + m_rec.strFailure);
}

bool CBinStream::Store(const uint8_t* p, size_t n) {
    const uint64_t at = m_nDestination + m_rec.nBytes;
    if (!m_flash.Contains(at, n)) {
        Fail("the image runs past the end of the flash at " + Hex32(at));
        return false;
    }
    m_flash.Write(at, p, n);
    m_rec.nBytes += n;
    return true;
}

void CBinStream::Take(const uint8_t* p) {
    ++m_rec.nPackets;
    if (m_rec.state == StreamRecord::State::Failed) {
        ++m_rec.nDropped;
        return;
    }
    const uint16_t kind = Le16(p);
    const uint32_t sum = Le32(p + 12);
    const uint8_t* payload = p + kPacketHeader;
    auto checked = [&](size_t n) {
        const uint32_t actual = ByteSum32(payload, n);
        if (actual != sum) {
            Fail("kind " + std::to_string(kind) + " with sum " + Hex32(sum) + ", its " +
                 std::to_string(n) + " bytes sum to " + Hex32(actual));
            return false;
        }
        if (!AllZero(payload + n, kPayloadMax - n)) {
            Fail("kind " + std::to_string(kind) + ": bytes after its " + std::to_string(n) +
                 " payload bytes are not zero");
            return false;
        }
        return true;
    };
    auto recordDone = [&] {
        ++m_rec.nRecords;
        if (m_nRecordGot == kRecordData) {
            m_rec.state = StreamRecord::State::ExpectRecord;
        } else {
            m_rec.state = StreamRecord::State::Ended;
            m_host.Log("B000FF record " + std::to_string(m_rec.nRecords - 1) + " is the last, " +
                       std::to_string(m_nRecordGot) + " data bytes");
        }
    };

    switch (m_rec.state) {
        case StreamRecord::State::ExpectHeader: {
            if (kind != kKindImageHeader) {
                Fail("kind " + std::to_string(kind) + " where the image header (15) belongs");
                return;
            }
            if (!checked(kImageHeaderLength)) {
                return;
            }
            if (std::memcmp(payload, kSync, 7) != 0) {
                Fail("the image header does not begin with B000FF");
                return;
            }
            m_rec.nImageStart = Le32(payload + 7);
            m_rec.nImageLength = Le32(payload + 11);
            if (Store(payload, kImageHeaderLength)) {
                m_rec.state = StreamRecord::State::ExpectRecord;
                m_host.Log("B000FF image header: start " + Hex32(m_rec.nImageStart) + ", length " +
                           std::to_string(m_rec.nImageLength));
            }
            return;
        }
        case StreamRecord::State::ExpectRecord: {
            if (kind != kKindRecordHeader) {
                Fail("kind " + std::to_string(kind) + " where a record header (12) belongs");
                return;
            }
            if (!checked(kRecordHeaderLength) || !Store(payload, kRecordHeaderLength)) {
                return;
            }
            // Every record is streamed as kRecordData bytes; only the image's
            // last record may be shorter, and its header says by how much.
            m_nRecordGot = 0;
            m_nRecordTrue = std::min<uint32_t>(Le32(payload + 4), kRecordData);
            m_rec.state = StreamRecord::State::InRecord;
            return;
        }
        case StreamRecord::State::InRecord: {
            const uint32_t streamLeft = kRecordData - m_nRecordGot;
            const uint32_t trueLeft = m_nRecordTrue - m_nRecordGot;
            size_t n = 0;
            if (kind == kKindFullPiece) {
                if (streamLeft <= kPayloadMax) {
                    Fail("kind 1024 with only " + std::to_string(streamLeft) +
                         " bytes of the record left (expected kind " + std::to_string(streamLeft) +
                         ")");
                    return;
                }
                if (trueLeft == 0) {
                    Fail("data past the record's length of " + std::to_string(m_nRecordTrue));
                    return;
                }
                n = std::min<size_t>(kPayloadMax, trueLeft);
            } else if (kind >= 1 && kind <= kPayloadMax) {
                n = kind;
                if (n > std::min(streamLeft, trueLeft)) {
                    Fail("kind " + std::to_string(kind) + " but the record has only " +
                         std::to_string(std::min(streamLeft, trueLeft)) + " bytes left");
                    return;
                }
            } else {
                Fail("kind " + std::to_string(kind) + " is none of 15, 12, 1024, 1..1008");
                return;
            }
            if (!checked(n) || !Store(payload, n)) {
                return;
            }
            m_nRecordGot += static_cast<uint32_t>(n);
            if (m_nRecordGot == m_nRecordTrue) {
                recordDone();
            } else if (kind != kKindFullPiece) {
                // A record's last piece that leaves it short: the image itself ends here.
                m_rec.state = StreamRecord::State::Ended;
                m_host.Notice("B000FF image ends " + std::to_string(m_nRecordGot) +
                              " bytes into a record of " + std::to_string(m_nRecordTrue));
            }
            return;
        }
        case StreamRecord::State::Ended:
            Fail("kind " + std::to_string(kind) + " after the image's last record");
            return;
        case StreamRecord::State::None:
        case StreamRecord::State::Failed:
            return;
    }
}

void CBinStream::End(const char* pWhy) {
    if (!m_bActive) {
        return;
    }
    m_bActive = false;
    std::string how;
    switch (m_rec.state) {
        case StreamRecord::State::ExpectRecord:
        case StreamRecord::State::Ended:
            m_rec.bComplete = true;
            how = "complete";
            break;
        case StreamRecord::State::InRecord:
            if (m_nRecordGot == 0) {
                // A closing record header without data.
                m_rec.bComplete = true;
                how = "complete, the last record header has no data";
            } else {
                how = "incomplete: " + std::to_string(m_nRecordGot) + " of " +
                      std::to_string(m_nRecordTrue) + " bytes of a record";
                m_host.Notice("B000FF stream ended " + how);
            }
            break;
        case StreamRecord::State::ExpectHeader:
            how = "empty: no packet came";
            m_host.Notice("B000FF stream announced but " + how);
            break;
        case StreamRecord::State::Failed:
            how = "failed (" + m_rec.strFailure + "), " + std::to_string(m_rec.nDropped) +
                  " packets dropped";
            break;
        case StreamRecord::State::None:
            break;
    }
    m_host.Log("B000FF stream over (" + std::string(pWhy) + "): " + std::to_string(m_rec.nBytes) +
               " bytes, " + std::to_string(m_rec.nRecords) + " records, " +
               std::to_string(m_rec.nPackets) + " packets, " + how);
}

}  // namespace fleetsim
