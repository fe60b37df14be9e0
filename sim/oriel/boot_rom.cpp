#include "sim/oriel/boot_rom.h"

#include <algorithm>
#include <cstring>

#include "oriel/boot/loader_images.h"

namespace orielsim {

namespace {

constexpr uint8_t kConnectRequest = 0x81;
constexpr uint8_t kConnect = 0x44;
constexpr uint8_t kQuery = 0x51;
constexpr uint8_t kCmdTimeout = 'T';
constexpr uint8_t kCmdSetAddress = 'S';
constexpr uint8_t kCmdLoad = 'L';
constexpr uint8_t kCmdJump = 'J';
constexpr uint8_t kPreloaderReady = 0xAB;

}  // namespace

CBootRom::CBootRom(CHandsetContext& ctx) : m_ctx(ctx), m_random(std::random_device{}()) {}

void CBootRom::Boot(TimePoint now) {
    m_state = State::Connect;
    m_nIdBytes = 0;
    m_args.Cancel();
    m_address.reset();
    m_nWords = 0;
    m_bLoadedSinceAddress = false;
    m_scram.fill(0);
    m_ctx.SendRaw(kConnectRequest);
    m_nextConnect = now + std::chrono::milliseconds(m_ctx.Options().nConnectIntervalMs);
}

void CBootRom::OnTimer(TimePoint now) {
    if ((m_state != State::Connect && m_state != State::WaitQuery) || now < m_nextConnect) {
        return;
    }
    // A grant the host missed (it took a late repeat of 0x81 for a bad reply)
    // is not waited on for ever: the ROM asks again.
    m_state = State::Connect;
    m_ctx.SendRaw(kConnectRequest);
    m_nextConnect = now + std::chrono::milliseconds(m_ctx.Options().nConnectIntervalMs);
}

std::optional<TimePoint> CBootRom::NextDeadline() const {
    if (m_state == State::Connect || m_state == State::WaitQuery) {
        return m_nextConnect;
    }
    return std::nullopt;
}

CBootRom::Result CBootRom::OnByte(uint8_t b) {
    switch (m_state) {
        case State::Connect:
            // Anything but the host's connect byte is line noise to the ROM.
            if (b == kConnect) {
                m_ctx.Record(HandsetStage::BootRom, b);
                m_state = State::WaitQuery;
                m_nextConnect = Clock::now() + std::chrono::milliseconds(kQueryWaitMs);
                m_ctx.Answer(Step::Grant, 0, kConnect);
            }
            return Result::Stay;
        case State::WaitQuery:
            if (b == kConnect) {
                // The host answered a repeated request: grant once more.
                m_nextConnect = Clock::now() + std::chrono::milliseconds(kQueryWaitMs);
                m_ctx.SendRaw(kConnect);
            } else if (b == kQuery) {
                m_ctx.Record(HandsetStage::BootRom, b);
                for (uint8_t& c : m_challenge) {
                    c = static_cast<uint8_t>(m_random() & 0xFFu);
                }
                m_nIdBytes = 0;
                m_state = State::CollectId;
                m_ctx.AnswerBytes(Step::Challenge, 0, {m_challenge.begin(), m_challenge.end()}, 0);
            } else {
                m_ctx.Trace("boot ROM: ignored " + Hex8(b) + " while waiting for 0x51");
            }
            return Result::Stay;
        case State::CollectId:
            m_id[m_nIdBytes++] = b;
            if (m_nIdBytes == m_id.size()) {
                CheckId();
            }
            return Result::Stay;
        case State::Commands:
            return OnCommandByte(b);
        case State::Locked:
            return Result::Stay;
    }
    return Result::Stay;
}

void CBootRom::CheckId() {
    const std::array<uint8_t, 4> customer = oriel::CustomerId();
    const bool bHead = m_id[0] == kConnect;
    const bool bCustomer = std::equal(customer.begin(), customer.end(), m_id.begin() + 1);
    const bool bEcho = std::equal(m_challenge.begin(), m_challenge.end(), m_id.begin() + 5);
    m_ctx.Record(HandsetStage::BootRom, m_id[0]);
    if (bHead && bCustomer && bEcho) {
        m_state = State::Commands;
        m_ctx.Answer(Step::IdAck, 0, kOk);
        return;
    }
    m_ctx.Notice(std::string("boot ROM: identification refused (") +
                 (!bHead       ? "first byte not 0x44"
                  : !bCustomer ? "wrong customer ID"
                               : "challenge not echoed") +
                 "); locked until power-off");
    m_state = State::Locked;
    m_ctx.SendRaw(kRefused);
}

CBootRom::Result CBootRom::OnCommandByte(uint8_t b) {
    if (m_args.Active()) {
        if (m_args.Add(b)) {
            return OnCommandComplete();
        }
        return Result::Stay;
    }
    switch (b) {
        case kCmdTimeout:
            m_args.Begin(b, 1);
            return Result::Stay;
        case kCmdSetAddress:
            m_args.Begin(b, 4);
            return Result::Stay;
        case kCmdLoad:
            m_args.Begin(b, 5);
            return Result::Stay;
        case kCmdJump:
            m_ctx.Record(HandsetStage::BootRom, b);
            return Jump();
        default:
            m_ctx.Notice("boot ROM: unknown command " + Hex8(b) + " refused");
            m_ctx.SendRaw(kRefused);
            return Result::Stay;
    }
}

CBootRom::Result CBootRom::OnCommandComplete() {
    const uint8_t* a = m_args.Bytes();
    switch (m_args.Command()) {
        case kCmdTimeout:
            m_ctx.Record(HandsetStage::BootRom, kCmdTimeout, a[0]);
            m_ctx.Rec().byRomTimeout = a[0];
            m_ctx.Answer(Step::TimeoutAck, 0, kOk);
            break;
        case kCmdSetAddress: {
            // The two 'S' addresses are the only little-endian values on the line.
            const uint32_t addr = LittleEndian32(a);
            m_ctx.Record(HandsetStage::BootRom, kCmdSetAddress, addr);
            const bool bFirst = m_nWords == 0;
            if (addr < kScramBase || addr >= kScramBase + kScramSize || addr % 4 != 0) {
                m_ctx.Notice("boot ROM: address " + Hex32(addr) + " is not in SCRAM; refused");
                m_ctx.SendRaw(kRefused);
                break;
            }
            m_address = addr;
            m_bLoadedSinceAddress = false;
            m_ctx.Answer(bFirst ? Step::LoadAddrAck : Step::StartAddrAck, 0, kOk);
            break;
        }
        case kCmdLoad: {
            const uint32_t word = BigEndian32(a + 1);
            m_ctx.Record(HandsetStage::BootRom, kCmdLoad, word);
            ++m_ctx.Rec().nPreloaderWords;
            if (!m_address) {
                m_ctx.Notice("boot ROM: 'L' before any load address; refused");
                m_ctx.SendRaw(kRefused);
                break;
            }
            if (a[0] != 0x00 || *m_address + 4 > kScramBase + kScramSize) {
                m_ctx.Notice("boot ROM: 'L' with " +
                             std::string(a[0] != 0 ? "a non-zero second byte" : "SCRAM full") +
                             "; refused");
                m_ctx.SendRaw(kRefused);
                break;
            }
            std::memcpy(m_scram.data() + (*m_address - kScramBase), a + 1, 4);
            *m_address += 4;
            m_bLoadedSinceAddress = true;
            const int index = m_nWords++;
            m_ctx.Answer(Step::PreloaderWord, index, kOk);
            break;
        }
        default:
            break;
    }
    return Result::Stay;
}

CBootRom::Result CBootRom::Jump() {
    // 'J' jumps to the address register. After the words it points past the
    // image, so the host must set the start address again first.
    const oriel::LoaderImage image = oriel::PreloaderImage();
    std::string why;
    if (!m_address || m_bLoadedSinceAddress || *m_address != kScramBase) {
        why = "start address not set to " + Hex32(kScramBase);
    } else if (m_nWords != oriel::kPreloaderWords) {
        why = std::to_string(m_nWords) + " words loaded, not " +
              std::to_string(oriel::kPreloaderWords);
    } else if (!std::equal(image.pData, image.pData + image.nLength, m_scram.begin())) {
        why = "SCRAM does not hold the pre-loader image";
    }
    if (!why.empty()) {
        m_ctx.Notice("boot ROM: pre-loader not started: " + why);
        m_ctx.SendRaw(kRefused);
        return Result::Stay;
    }
    m_ctx.Answer(Step::PreloaderReady, 0, kPreloaderReady);
    return Result::StartPreloader;
}

}  // namespace orielsim
