#include "fleet/pda/b000ff_stream.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "fleet/images/image_file.h"
#include "fleet/pda/pda_commands.h"
#include "fleet/pda/pda_packet.h"
#include "fleet/pda/slot_pause.h"
#include "fleet/pda/slot_report.h"
#include "fleet/transport/slot_messages.h"
#include "platform/diag_log.h"

namespace fleet {

namespace {

constexpr uint32_t kMiddlePartCodes[] = {317, 318, 319, 320};

uint32_t Percent(uint64_t nSent, uint64_t nLength) {
    return static_cast<uint32_t>(static_cast<double>(nSent) * 100.0 / static_cast<double>(nLength));
}

}  // namespace

std::vector<B000ffPart> PlanB000ffParts(uint64_t nImageSize) {
    std::vector<B000ffPart> parts;
    if (nImageSize == 0) {
        return parts;
    }
    parts.push_back({0, std::min(nImageSize, kBinFirstPartSize), kPdaBinFirstPart});
    if (nImageSize <= kBinFirstPartSize) {
        return parts;
    }
    const uint64_t rest = nImageSize - kBinFirstPartSize;
    const uint64_t middles = rest / kBinPartSize;
    uint64_t offset = kBinFirstPartSize;
    for (uint64_t k = 0; k < middles; ++k) {
        const uint32_t code =
            k < std::size(kMiddlePartCodes) ? kMiddlePartCodes[k] : kPdaProgramProgress;
        parts.push_back({offset, kBinPartSize, code});
        offset += kBinPartSize;
    }
    if (rest % kBinPartSize != 0) {
        parts.push_back({offset, rest % kBinPartSize, kPdaBinLastPart});
    }
    return parts;
}

namespace {

// The bytes of one part, handed out in order: from memory, or from the image
// file through a small window, so that a slot never holds a whole part.
class CPartBytes {
  public:
    virtual ~CPartBytes() = default;
    // The next n bytes (n <= kPdaPayloadSize), or null when they cannot be had.
    virtual const uint8_t* Take(size_t n) = 0;
};

class CMemoryPartBytes final : public CPartBytes {
  public:
    explicit CMemoryPartBytes(const uint8_t* p) : m_p(p) {}
    const uint8_t* Take(size_t n) override {
        const uint8_t* p = m_p;
        m_p += n;
        return p;
    }

  private:
    const uint8_t* m_p;
};

class CFilePartBytes final : public CPartBytes {
  public:
    CFilePartBytes(CImageFile& file, uint8_t* pWindow, size_t nWindow, uint64_t nLength)
        : m_file(file), m_pWindow(pWindow), m_nWindow(nWindow), m_nUnread(nLength) {}
    const uint8_t* Take(size_t n) override {
        if (m_nEnd - m_nAt < n) {
            // Keep what is left of the window and fill the rest from the file.
            std::memmove(m_pWindow, m_pWindow + m_nAt, m_nEnd - m_nAt);
            m_nEnd -= m_nAt;
            m_nAt = 0;
            const size_t want =
                static_cast<size_t>(std::min<uint64_t>(m_nWindow - m_nEnd, m_nUnread));
            if (want > 0 && !m_file.ReadExactly(m_pWindow + m_nEnd, want)) {
                return nullptr;
            }
            m_nEnd += want;
            m_nUnread -= want;
            if (m_nEnd < n) {
                return nullptr;
            }
        }
        const uint8_t* p = m_pWindow + m_nAt;
        m_nAt += n;
        return p;
    }

  private:
    CImageFile& m_file;
    uint8_t* m_pWindow;
    size_t m_nWindow;
    uint64_t m_nUnread;
    size_t m_nAt = 0;
    size_t m_nEnd = 0;
};

StepResult StreamPart(CPdaCommands& commands, CSlotReporter& report, CPartBytes& bytes,
                      uint64_t nLength, bool bFirstPart, uint32_t nProgressCode) {
    uint64_t sent = 0;
    bool bUnread = false;
    auto send = [&](uint16_t nKind, size_t n) {
        const uint8_t* p = bytes.Take(n);
        if (p == nullptr) {
            bUnread = true;
            return false;
        }
        const BinStreamPacket packet(nKind, p, n);
        if (!commands.WritePacket(packet.Data())) {
            return false;
        }
        sent += n;
        report.PdaProgress(nProgressCode, Percent(sent, nLength));
        return true;
    };
    auto failed = [&] {
        return bUnread ? StepResult::Fail(kPdaReadError, kReadErrorImageFile)
                       : StepResult::Fail(kPdaWriteFailed, 0);
    };

    if (bFirstPart && nLength > 0) {
        if (!send(kBinKindImageHeader,
                  static_cast<size_t>(std::min<uint64_t>(kBinImageHeaderSize, nLength)))) {
            return failed();
        }
        SlotPause(kStreamPacing);
    }
    unsigned packets = 0;
    while (sent < nLength) {
        if (!send(kBinKindRecordHeader,
                  static_cast<size_t>(std::min<uint64_t>(kBinRecordHeaderSize, nLength - sent)))) {
            return failed();
        }
        if (packets % 3 == 0) {
            SlotPause(kStreamPacing);
        }
        size_t recordLeft = kBinRecordDataSize;
        // Full pieces while more of the record follows in this part. A part
        // that ends inside a record ends with that record's last piece, so
        // the loop always advances and never sends an empty packet.
        while (recordLeft > kPdaPayloadSize && nLength - sent > kPdaPayloadSize) {
            if (!send(kBinKindFullPiece, kPdaPayloadSize)) {
                return failed();
            }
            recordLeft -= kPdaPayloadSize;
            if (++packets % 3 == 1) {
                SlotPause(kStreamPacing);
            }
        }
        if (sent < nLength) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(recordLeft, nLength - sent));
            if (!send(static_cast<uint16_t>(n), n)) {
                return failed();
            }
            packets = 0;
            SlotPause(kStreamPacing);
        }
    }
    return {};
}

}  // namespace

StepResult StreamB000ffPart(CPdaCommands& commands, CSlotReporter& report, const uint8_t* pPart,
                            size_t nLength, bool bFirstPart, uint32_t nProgressCode) {
    CMemoryPartBytes bytes(pPart);
    return StreamPart(commands, report, bytes, nLength, bFirstPart, nProgressCode);
}

StepResult StreamB000ffImage(CPdaCommands& commands, CSlotReporter& report, CImageFile& file,
                             int64_t nOffset, const std::vector<B000ffPart>& parts) {
    std::unique_ptr<uint8_t[]> window(new (std::nothrow) uint8_t[kB000ffReadWindow]);
    if (!window) {
        platform::Diag("pda", "no memory for the B000FF read window");
        return StepResult::Fail(kPdaReadError, kReadErrorImageFile);
    }
    const int64_t fileLength = file.Length();
    for (size_t i = 0; i < parts.size(); ++i) {
        const B000ffPart& part = parts[i];
        const int64_t at = nOffset + static_cast<int64_t>(part.nOffset);
        // A part the file does not hold whole is not begun: the handset gets
        // whole parts or, at a read error, the file's bytes up to it.
        if (at < 0 || fileLength < at || static_cast<uint64_t>(fileLength - at) < part.nLength ||
            file.Seek(at) != at) {
            return StepResult::Fail(kPdaReadError, kReadErrorImageFile);
        }
        CFilePartBytes bytes(file, window.get(), kB000ffReadWindow, part.nLength);
        const StepResult result =
            StreamPart(commands, report, bytes, part.nLength, i == 0, part.nProgressCode);
        if (!result.Ok()) {
            return result;
        }
    }
    return {};
}

}  // namespace fleet
