#include "sim/fleet/modem_side.h"

#include <algorithm>

#include "sim/fleet/sim_sums.h"
#include "sim/fleet/sim_types.h"

namespace fleetsim {

namespace {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;
constexpr uint8_t kAckCode = 0x02;
constexpr uint8_t kNakCode = 0x03;

constexpr uint8_t kGreeting = 0xA0;
constexpr uint8_t kLaunchCmd = 0xC0;
constexpr uint8_t kEfsErase = 0xE0;
constexpr uint8_t kAreaOpen = 0xEF;
constexpr uint8_t kParamBlock = 0xFF;
constexpr size_t kParamBlockLength = 512;
constexpr size_t kParamBytesInFrame = 24;

// The longest command frame on the wire: the parameter block, 31 payload
// bytes and the FCS, every byte escaped, and both flags.
constexpr size_t kLongestCommandFrame = 2 * (31 + 2) + 2;
// Frame mode: anything longer without a closing flag is refused.
constexpr size_t kMaxFrameRaw = 1100;
// Input that stops short of a whole block or frame for this long is refused.
constexpr auto kIncompleteTimeout = std::chrono::milliseconds(200);

bool IsCommand(uint8_t b) {
    return b == kGreeting || b == kLaunchCmd || b == kEfsErase || b == kAreaOpen ||
           b == kParamBlock;
}

std::string AreaFileName(uint64_t nStart) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%08llX.bin", static_cast<unsigned long long>(nStart));
    return buf;
}

bool AllZero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

std::string Hex8(uint8_t b) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", b);
    return buf;
}

// How a received frame is kept in the record: its command byte and what
// tells one frame of that kind from another.
std::string FrameEntry(const std::vector<uint8_t>& payload) {
    const size_t n = payload.size();
    std::string entry = "modem " + Hex8(payload[0]);
    if (payload[0] == kAreaOpen && n == 13) {
        return entry + " " + Hex32(Le32(&payload[9])) + "+" + std::to_string(Le32(&payload[5]));
    }
    if (payload[0] == kParamBlock && n == 31) {
        return entry + " " + Hex32(Le32(&payload[1]));
    }
    if (payload[0] == kLaunchCmd && n == 5) {
        return entry + " " + Hex8(payload[1]) + " " + Hex8(payload[2]) + " " + Hex8(payload[3]) +
               " " + Hex8(payload[4]);
    }
    const bool bShaped =
        (payload[0] == kGreeting && n == 1) || (payload[0] == kEfsErase && n == 13);
    return bShaped ? entry : entry + " (" + std::to_string(n) + " bytes)";
}

}  // namespace

CModemSide::CModemSide(ISideHost& host, CByteStore& flash, std::string strAreaDir)
    : m_host(host), m_flash(flash), m_strAreaDir(std::move(strAreaDir)) {}

CModemSide::~CModemSide() = default;

void CModemSide::OnHostOpened() {
    m_in.clear();
    m_nPos = 0;
    m_bAfterFrame = false;
}

void CModemSide::OnHostClosed() {
    const size_t partial = m_in.size() - m_nPos;
    if (partial != 0 && !m_host.Halted()) {
        m_host.Notice("the modem port closed with " + std::to_string(partial) +
                      " bytes of an incomplete block or frame; dropped");
    }
    m_in.clear();
    m_nPos = 0;
    CloseArea();
    m_rec.bClosedAfterLaunch = m_rec.bLaunched;
}

void CModemSide::OnBytes(const uint8_t* p, size_t n, TimePoint now) {
    if (m_host.Halted() || n == 0) {
        return;
    }
    m_in.insert(m_in.end(), p, p + n);
    m_lastByte = now;
    Process(now);
}

void CModemSide::OnTimer(TimePoint now) {
    if (m_host.Halted() || m_nPos >= m_in.size() || now - m_lastByte < kIncompleteTimeout) {
        return;
    }
    const size_t partial = m_in.size() - m_nPos;
    m_in.clear();
    m_nPos = 0;
    BadFrame(std::to_string(partial) + " bytes that make neither a whole " +
             (m_area ? "block nor a frame" : "frame"));
}

std::optional<TimePoint> CModemSide::NextDeadline() const {
    if (m_nPos >= m_in.size()) {
        return std::nullopt;
    }
    return m_lastByte + kIncompleteTimeout;
}

CModemSide::Scan CModemSide::ScanFrame(size_t nLimit, size_t& nRawLength,
                                       std::vector<uint8_t>& payload, bool& bValid) const {
    const size_t avail = m_in.size() - m_nPos;
    const uint8_t* p = m_in.data() + m_nPos;
    const size_t end = std::min(avail, nLimit);
    size_t close = 0;
    for (size_t i = 1; i < end; ++i) {
        if (p[i] == kFlag) {
            close = i;
            break;
        }
    }
    if (close == 0) {
        return avail < nLimit ? Scan::NeedMore : Scan::NotFrame;
    }
    nRawLength = close + 1;
    // Un-escape between the flags.
    std::vector<uint8_t> bytes;
    bytes.reserve(close);
    bValid = true;
    for (size_t i = 1; i < close; ++i) {
        if (p[i] == kEscape) {
            if (i + 1 >= close) {
                bValid = false;  // an escape right before the closing flag
                break;
            }
            bytes.push_back(static_cast<uint8_t>(p[++i] ^ 0x20));
        } else {
            bytes.push_back(p[i]);
        }
    }
    if (bValid && bytes.size() < 3) {
        bValid = false;
    }
    if (bValid) {
        const size_t n = bytes.size() - 2;
        const uint16_t fcs = static_cast<uint16_t>(bytes[n] | (bytes[n + 1] << 8));
        bValid = Fcs16(bytes.data(), n) == fcs;
        bytes.resize(n);
    }
    payload = std::move(bytes);
    return Scan::Frame;
}

void CModemSide::Process(TimePoint now) {
    (void)now;
    while (!m_host.Halted() && m_nPos < m_in.size()) {
        const size_t avail = m_in.size() - m_nPos;
        const uint8_t b0 = m_in[m_nPos];
        size_t raw = 0;
        std::vector<uint8_t> payload;
        bool bValid = false;
        if (m_area) {
            if (b0 == kFlag) {
                const Scan s = ScanFrame(kLongestCommandFrame, raw, payload, bValid);
                if (s == Scan::Frame && bValid && IsCommand(payload[0])) {
                    m_nPos += raw;
                    HandleFrame(payload);
                    continue;
                }
                if (s == Scan::NeedMore && avail < kModemBlock) {
                    break;
                }
            }
            if (avail < kModemBlock) {
                break;
            }
            const uint8_t* block = m_in.data() + m_nPos;
            m_nPos += kModemBlock;
            m_bAfterFrame = false;
            HandleBlock(block);
            continue;
        }
        if (b0 != kFlag) {
            size_t skip = 0;
            while (skip < avail && m_in[m_nPos + skip] != kFlag) {
                ++skip;
            }
            // One zero after a frame pads the host's transfer; it is no junk.
            const bool bPad = m_bAfterFrame && b0 == 0x00;
            const size_t junk = bPad ? skip - 1 : skip;
            if (junk != 0) {
                m_host.Received().Add("modem " + std::to_string(junk) + " bytes outside any frame");
                m_rec.nJunkBytes += junk;
                m_host.Notice("ignored " + std::to_string(junk) + " bytes outside any frame");
            }
            m_bAfterFrame = false;
            m_nPos += skip;
            continue;
        }
        const Scan s = ScanFrame(kMaxFrameRaw, raw, payload, bValid);
        if (s == Scan::NeedMore) {
            break;
        }
        if (s == Scan::NotFrame) {
            m_nPos += kMaxFrameRaw;
            BadFrame("a frame longer than " + std::to_string(kMaxFrameRaw) + " bytes");
            continue;
        }
        if (raw == 2) {
            // Two flags in a row: the second opens the frame.
            m_nPos += 1;
            continue;
        }
        m_nPos += raw;
        m_bAfterFrame = true;
        if (!bValid) {
            BadFrame("a frame with a bad FCS or escape (" + std::to_string(raw) + " bytes)");
            continue;
        }
        HandleFrame(payload);
    }
    if (m_host.Halted()) {
        m_in.clear();
        m_nPos = 0;
        return;
    }
    if (m_nPos > 0 && m_nPos * 2 >= m_in.size()) {
        m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(m_nPos));
        m_nPos = 0;
    }
}

void CModemSide::BadFrame(const std::string& why) {
    m_host.Received().Add("modem bad frame");
    ++m_rec.nBadFrames;
    m_host.Notice("refused " + why);
    Nak();
}

void CModemSide::SendFramed(uint8_t byCode) {
    const uint16_t fcs = Fcs16(&byCode, 1);
    const uint8_t body[3] = {byCode, static_cast<uint8_t>(fcs), static_cast<uint8_t>(fcs >> 8)};
    std::vector<uint8_t> out{kFlag};
    for (const uint8_t b : body) {
        if (b == kFlag || b == kEscape || b == 0x7F) {
            out.push_back(kEscape);
            out.push_back(static_cast<uint8_t>(b ^ 0x20));
        } else {
            out.push_back(b);
        }
    }
    out.push_back(kFlag);
    m_host.Send(out);
}

void CModemSide::Ack() {
    ++m_rec.nAcks;
    switch (m_host.Settings().answers) {
        case AnswerStyle::Framed:
            SendFramed(kAckCode);
            break;
        case AnswerStyle::Bare:
            m_host.Send(&kAckCode, 1);
            break;
        case AnswerStyle::Ok: {
            const uint8_t ok[2] = {'O', 'K'};
            m_host.Send(ok, 2);
            break;
        }
    }
}

void CModemSide::Nak() {
    ++m_rec.nNaks;
    if (m_host.Settings().answers == AnswerStyle::Bare) {
        m_host.Send(&kNakCode, 1);
    } else {
        SendFramed(kNakCode);
    }
}

void CModemSide::CloseArea() {
    if (!m_area) {
        return;
    }
    ModemAreaRecord& area = m_rec.areas[*m_area];
    area.nWritten = m_areaStores[*m_area]->Extent();
    m_host.Log("area " + Hex32(area.nStart) + " closed: " + std::to_string(area.nBlocks) +
               " blocks, " + std::to_string(area.nWritten) + " bytes, sum " +
               Hex32(m_flash.Sum32(area.nStart, area.nWritten)) +
               (area.nRefusedBlocks != 0
                    ? ", " + std::to_string(area.nRefusedBlocks) + " blocks refused"
                    : ""));
    m_area.reset();
}

void CModemSide::HandleFrame(const std::vector<uint8_t>& payload) {
    const uint8_t kind = payload[0];
    const size_t n = payload.size();
    m_host.Received().Add(FrameEntry(payload));
    ++m_rec.nFrames;
    if (m_rec.frameKinds.size() < 8192) {
        m_rec.frameKinds.push_back(kind);
    }
    const bool bRetry = kind == m_nLastKind;
    m_nLastKind = kind;
    if (kind != kParamBlock) {
        CloseArea();
    }

    // The shape first: a malformed command is refused whatever the plan says.
    Step step = Step::Greeting;
    int index = 0;
    std::string bad;
    switch (kind) {
        case kGreeting:
            step = Step::Greeting;
            index = m_rec.nGreetings++;
            if (n != 1) {
                bad = "greeting of " + std::to_string(n) + " bytes";
            }
            break;
        case kAreaOpen:
            step = Step::Open;
            index = m_rec.nOpens++;
            if (n != 13) {
                bad = "area open of " + std::to_string(n) + " bytes";
            } else if (Le32(&payload[1]) != 0) {
                bad = "area open whose first word is " + Hex32(Le32(&payload[1]));
            }
            break;
        case kEfsErase:
            step = Step::EfsErase;
            index = m_rec.nEfsErases++;
            if (n != 13 || !AllZero(&payload[1], 12)) {
                bad = "EFS erase that is not 0xE0 and 12 zero bytes";
            }
            break;
        case kParamBlock:
            step = Step::ParamBlock;
            index = m_rec.nParamBlocks++;
            if (n != 31) {
                bad = "parameter block frame of " + std::to_string(n) + " bytes";
            } else if (Le16(&payload[5]) != kParamBlockLength) {
                bad = "parameter block of length " + std::to_string(Le16(&payload[5]));
            }
            break;
        case kLaunchCmd:
            step = Step::Launch;
            index = m_rec.nLaunches++;
            if (n != 5 || Le16(&payload[3]) != 0 ||
                (Le16(&payload[1]) != 0x1010 && Le16(&payload[1]) != 0x0000)) {
                bad = "launch frame that is not C0 10 10 00 00 (or C0 00 00 00 00)";
            }
            break;
        default:
            bad = "unknown command " + Hex32(kind).substr(8) + " (frame of " + std::to_string(n) +
                  " bytes)";
            break;
    }
    if (!bad.empty()) {
        ++m_rec.nBadFrames;
        m_host.Notice("refused " + bad);
        Nak();
        return;
    }

    bool bSpoil = false;
    if (bRetry && m_nSpoiledKind == kind) {
        bSpoil = true;
    } else {
        m_nSpoiledKind = -1;
        const CFaultPlan::Decision d = m_host.Consult(step, index);
        if (m_host.Halted()) {
            return;
        }
        if (d.bWrong) {
            bSpoil = true;
            m_nSpoiledKind = kind;
        }
    }
    if (bSpoil) {
        m_host.Notice(std::string(StepName(step)) + " frame " + std::to_string(index) +
                      " refused (fault)");
        Nak();
        return;
    }

    switch (kind) {
        case kGreeting:
            m_host.Log("greeting " + std::to_string(index));
            Ack();
            return;
        case kEfsErase:
            m_flash.Erase(kModemEfsStart, kModemEfsLength);
            m_host.Log("EFS erase: " + Hex32(kModemEfsStart) + "+" +
                       std::to_string(kModemEfsLength) + " erased");
            Ack();
            return;
        case kLaunchCmd:
            m_rec.bLaunched = true;
            m_rec.nLaunchWord = Le16(&payload[1]);
            m_host.Log("launch " + Hex32(m_rec.nLaunchWord).substr(6) +
                       ": the modem starts its image");
            Ack();
            return;
        case kAreaOpen: {
            const uint64_t length = Le32(&payload[5]);
            const uint64_t start = Le32(&payload[9]);
            if (!m_flash.Contains(start, length)) {
                m_host.Notice("refused area open " + Hex32(start) + "+" + std::to_string(length) +
                              ": outside the modem's flash");
                Nak();
                return;
            }
            m_flash.Erase(start, length);
            size_t slot = m_rec.areas.size();
            for (size_t i = 0; i < m_rec.areas.size(); ++i) {
                if (m_rec.areas[i].nStart == start) {
                    slot = i;  // written again: the old contents are gone
                }
            }
            ModemAreaRecord area;
            area.nStart = start;
            area.nEraseLength = length;
            if (!m_strAreaDir.empty()) {
                area.strFile = m_strAreaDir + "/" + AreaFileName(start);
            }
            auto store = std::make_unique<CByteStore>(start, length, 0xFF);
            std::string error;
            if (!store->Open(area.strFile, error)) {
                m_host.Notice("area " + Hex32(start) + " kept in memory only: " + error);
                area.strFile.clear();
                store->Open("", error);
            }
            if (slot == m_rec.areas.size()) {
                m_rec.areas.push_back(area);
                m_areaStores.push_back(std::move(store));
            } else {
                m_rec.areas[slot] = area;
                m_areaStores[slot] = std::move(store);
            }
            m_area = slot;
            m_nAreaPos = start;
            m_nAreaBlockIndex = 0;
            m_host.Log("area open " + Hex32(start) + "+" + std::to_string(length) + ": erased");
            Ack();
            return;
        }
        case kParamBlock: {
            const uint64_t address = Le32(&payload[1]);
            if (!m_area) {
                m_host.Notice("refused parameter block at " + Hex32(address) + ": no area is open");
                Nak();
                return;
            }
            ModemAreaRecord& area = m_rec.areas[*m_area];
            CByteStore& store = *m_areaStores[*m_area];
            if (!store.Contains(address, kParamBlockLength)) {
                m_host.Notice("refused parameter block at " + Hex32(address) +
                              ": outside the open area " + Hex32(area.nStart) + "+" +
                              std::to_string(area.nEraseLength));
                Nak();
                return;
            }
            std::vector<uint8_t> block(kParamBlockLength, 0xFF);
            std::copy_n(payload.begin() + 7, kParamBytesInFrame, block.begin());
            store.Write(address, block.data(), block.size());
            m_flash.Write(address, block.data(), block.size());
            area.bParamBlock = true;
            m_host.Log("parameter block at " + Hex32(address));
            Ack();
            CloseArea();
            return;
        }
        default:
            return;
    }
}

void CModemSide::HandleBlock(const uint8_t* p) {
    ModemAreaRecord& area = m_rec.areas[*m_area];
    CByteStore& store = *m_areaStores[*m_area];
    const int index = m_nAreaBlockIndex++;
    m_host.Received().AddToRun("modem data", {});
    ++m_rec.nBlocks;
    const CFaultPlan::Decision d = m_host.Consult(Step::Block, index);
    if (m_host.Halted()) {
        return;
    }
    if (d.bWrong) {
        ++area.nRefusedBlocks;
        m_host.Notice("block " + std::to_string(index) + " of area " + Hex32(area.nStart) +
                      " refused (fault)");
        Nak();
        return;
    }
    const uint64_t end = area.nStart + area.nEraseLength;
    if (m_nAreaPos >= end) {
        ++area.nRefusedBlocks;
        m_host.Notice("refused block " + std::to_string(index) + ": area " + Hex32(area.nStart) +
                      "+" + std::to_string(area.nEraseLength) + " is full");
        Nak();
        return;
    }
    // A last block may reach past the area (the image is padded to whole
    // blocks): what lies outside is not written.
    const size_t take = static_cast<size_t>(std::min<uint64_t>(kModemBlock, end - m_nAreaPos));
    if (take < kModemBlock &&
        !std::all_of(p + take, p + kModemBlock, [](uint8_t b) { return b == 0xFF; })) {
        m_host.Notice("block " + std::to_string(index) + " reaches " +
                      std::to_string(kModemBlock - take) +
                      " bytes past its area; they are not written");
    }
    store.Write(m_nAreaPos, p, take);
    m_flash.Write(m_nAreaPos, p, take);
    m_nAreaPos += kModemBlock;
    ++area.nBlocks;
    area.nWritten = store.Extent();
    Ack();
}

}  // namespace fleetsim
