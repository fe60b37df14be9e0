#include "sim/oriel/preloader.h"

#include <algorithm>

#include "oriel/boot/loader_images.h"
#include "sim/oriel/sim_checksums.h"

namespace orielsim {

namespace {

constexpr uint8_t kCmdSync = 0xD9;
constexpr uint8_t kCmdLength = 0xD4;
constexpr uint8_t kCmdDma = 0xF7;
constexpr uint8_t kCmdJump = 0xFF;
constexpr uint8_t kBootloaderReady = 0xAB;

}  // namespace

CPreloader::CPreloader(CHandsetContext& ctx) : m_ctx(ctx) {}

void CPreloader::Start(bool bFirstBoot, TimePoint now) {
    m_state = State::WaitRate;
    m_rateByteDeadline.reset();
    if (bFirstBoot) {
        m_rateByteDeadline = now + std::chrono::milliseconds(m_ctx.Options().nRateByteWaitMs);
    }
    m_bHungUpInWindow = false;
    m_nRate = 0;
    m_args.Cancel();
    m_nLength = 0;
    m_ram.clear();
    m_nBlock = 0;
    m_bVerified = false;
    m_bJumped = false;
}

std::optional<TimePoint> CPreloader::NextDeadline() const {
    if (m_state == State::WaitRate) {
        return m_rateByteDeadline;
    }
    if (m_state == State::RateChange) {
        return m_windowEnd;
    }
    return std::nullopt;
}

CPreloader::Result CPreloader::OnTimer(TimePoint now, bool bHostOpen) {
    if (m_state == State::WaitRate && m_rateByteDeadline && now >= *m_rateByteDeadline) {
        m_ctx.Trace("pre-loader: no rate byte; the chip boots again");
        return Result::Reboot;
    }
    if (m_state == State::RateChange && now >= m_windowEnd) {
        if (!bHostOpen) {
            m_ctx.Notice("pre-loader: the host stayed away after the rate change; powered off");
            return Result::PowerOff;
        }
        // The host is back but never synced; later closes are power-offs.
        m_state = State::Commands;
    }
    return Result::Stay;
}

bool CPreloader::TakeHangup() {
    if (m_state == State::RateChange && !m_bHungUpInWindow) {
        m_bHungUpInWindow = true;
        return true;
    }
    return false;
}

CPreloader::Result CPreloader::OnByte(uint8_t b, TimePoint now) {
    switch (m_state) {
        case State::WaitRate:
            if (b < 4) {
                m_ctx.Record(HandsetStage::Preloader, b, kRateTable[b]);
                m_nRate = b;
                m_ctx.Rec().nLastRateIndex = b;
                m_ctx.Wire().SetUart(kRateTable[b], 10);  // 8N1 from here on
                m_state = State::RateChange;
                m_bHungUpInWindow = false;
                m_windowEnd = now + std::chrono::milliseconds(m_ctx.Options().nRateChangeWindowMs);
            } else {
                m_ctx.Notice("pre-loader: rate byte " + Hex8(b) + " is not a SPEED index; ignored");
            }
            return Result::Stay;
        case State::RateChange:
            // Until the host syncs, anything else is noise of the re-open.
            if (b == kCmdSync) {
                m_ctx.Record(HandsetStage::Preloader, b);
                m_state = State::Commands;
                Sync();
            }
            return Result::Stay;
        case State::Block:
            m_ram.push_back(b);
            if (--m_nBlockWant == 0) {
                m_state = State::Commands;
                OnBlockComplete();
            }
            return Result::Stay;
        case State::Commands:
            break;
    }

    if (m_args.Active()) {
        if (m_args.Add(b)) {
            OnLength(BigEndian32(m_args.Bytes()));
        }
        return Result::Stay;
    }
    switch (b) {
        case kCmdSync:
            m_ctx.Record(HandsetStage::Preloader, b);
            Sync();
            return Result::Stay;
        case kCmdLength:
            m_args.Begin(b, 4);
            return Result::Stay;
        case kCmdDma:
            m_ctx.Record(HandsetStage::Preloader, b);
            OnDmaRequest();
            return Result::Stay;
        case kCmdJump:
            m_ctx.Record(HandsetStage::Preloader, b);
            OnJump();
            return m_bJumped ? Result::StartBootLoader : Result::Stay;
        default:
            m_ctx.Notice("pre-loader: unknown command " + Hex8(b) + " ignored");
            return Result::Stay;
    }
}

void CPreloader::Sync() {
    // A pseudo-terminal carries the speed the host set (the master reports the
    // slave's termios) but no parity, so the host's 8E1 of the ROM phase and
    // its 8N1 now look the same here; only the rate can be checked.
    const uint32_t nHost = m_ctx.Wire().HostBaud();
    const auto byIndex = static_cast<uint8_t>(m_nRate);
    if (nHost != kRateTable[m_nRate]) {
        m_ctx.Notice("pre-loader: 0xD9 at " + std::to_string(nHost) + " baud, agreed " +
                     std::to_string(kRateTable[m_nRate]) + "; the byte arrives garbled");
        m_ctx.SendRaw(Spoil(byIndex));
        return;
    }
    m_ctx.Answer(Step::RateSync, 0, byIndex);
}

void CPreloader::OnLength(uint32_t nLength) {
    m_ctx.Record(HandsetStage::Preloader, kCmdLength, nLength);
    const uint8_t bySum = Sum8OfWord(nLength);
    m_ram.clear();
    m_nBlock = 0;
    m_bVerified = false;
    m_ctx.Rec().bootloaderBlocks.clear();
    m_ctx.Rec().bBootloaderVerified = false;
    if (nLength == 0 || nLength > kRamLimit) {
        m_nLength = 0;
        m_ctx.Notice("pre-loader: boot-loader length " + std::to_string(nLength) + " refused");
        m_ctx.SendRaw(Spoil(bySum));
        return;
    }
    m_nLength = nLength;
    m_ctx.Rec().nBootloaderLength = nLength;
    m_ram.reserve(nLength);
    m_ctx.Answer(Step::LengthSum, 0, bySum);
}

void CPreloader::OnDmaRequest() {
    if (m_nLength == 0 || m_ram.size() >= m_nLength) {
        m_ctx.Notice(m_nLength == 0 ? "pre-loader: 0xF7 before a length; refused"
                                    : "pre-loader: 0xF7 after the whole image; refused");
        m_ctx.SendRaw(Spoil(kCmdDma));
        return;
    }
    m_nBlockWant = std::min(kBlockSize, m_nLength - m_ram.size());
    m_nBlockLen = m_nBlockWant;
    m_state = State::Block;
    m_ctx.Answer(Step::DmaReady, m_nBlock, kCmdDma);
}

bool CPreloader::ImageVerified() const {
    if (m_nLength != oriel::kFastBootloaderSize && m_nLength != oriel::kFullBootloaderSize) {
        return false;
    }
    const oriel::LoaderImage image =
        oriel::BootloaderImage(m_nLength == oriel::kFastBootloaderSize);
    return m_ram.size() == image.nLength && std::equal(m_ram.begin(), m_ram.end(), image.pData);
}

void CPreloader::OnBlockComplete() {
    const size_t nBlockLen = m_nBlockLen;
    const uint8_t bySum = Sum8(m_ram.data() + m_ram.size() - nBlockLen, nBlockLen);
    m_ctx.Rec().bootloaderBlocks.push_back(nBlockLen);
    const int index = m_nBlock++;
    if (m_ram.size() == m_nLength) {
        // The last block: the image is whole and is checked against the one
        // this program carries. A different image is answered with a wrong
        // sum, so the host stops before jumping into it.
        m_bVerified = ImageVerified();
        m_ctx.Rec().bBootloaderVerified = m_bVerified;
        if (!m_bVerified) {
            m_ctx.Notice("pre-loader: the received boot-loader (" + std::to_string(m_nLength) +
                         " bytes) is not the embedded fast or full image; last block refused");
            m_ctx.SendRaw(Spoil(bySum));
            return;
        }
    }
    m_ctx.Answer(Step::BlockSum, index, bySum);
}

void CPreloader::OnJump() {
    if (!m_bVerified) {
        m_ctx.Notice("pre-loader: 0xFF without a verified boot-loader; not jumping");
        m_ctx.SendRaw(Spoil(kBootloaderReady));
        return;
    }
    m_bJumped = true;
    m_ctx.Answer(Step::BootloaderReady, 0, kBootloaderReady);
}

}  // namespace orielsim
