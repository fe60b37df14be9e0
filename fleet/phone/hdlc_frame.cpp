#include "fleet/phone/hdlc_frame.h"

#include <cstring>

namespace fleet {

namespace {

constexpr std::array<uint16_t, 256> MakeFcsTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned v = i;
        for (int bit = 0; bit < 8; ++bit) {
            v = (v & 1) != 0 ? (v >> 1) ^ 0x8408u : v >> 1;
        }
        table[i] = static_cast<uint16_t>(v);
    }
    return table;
}

constexpr std::array<uint16_t, 256> kFcsTable = MakeFcsTable();
static_assert(kFcsTable[1] == 0x1189);

bool NeedsEscape(uint8_t b) {
    return b == kHdlcEscape || b == kHdlcFlag || b == 0x7F;
}

void PutEscaped(std::vector<uint8_t>& out, uint8_t b) {
    if (NeedsEscape(b)) {
        out.push_back(kHdlcEscape);
        out.push_back(static_cast<uint8_t>(b ^ kHdlcEscapeXor));
    } else {
        out.push_back(b);
    }
}

void AppendLe(std::vector<uint8_t>& out, uint32_t v, int nBytes) {
    for (int i = 0; i < nBytes; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

}  // namespace

uint16_t Fcs16(const uint8_t* pData, size_t nLength) {
    uint16_t fcs = 0xFFFF;
    for (size_t i = 0; i < nLength; ++i) {
        fcs = static_cast<uint16_t>((fcs >> 8) ^ kFcsTable[(fcs ^ pData[i]) & 0xFF]);
    }
    return static_cast<uint16_t>(fcs ^ 0xFFFF);
}

std::vector<uint8_t> HdlcFrame::Build(const uint8_t* pPayload, size_t nLength) {
    std::vector<uint8_t> out;
    out.reserve(2 * nLength + 7);
    out.push_back(kHdlcFlag);
    for (size_t i = 0; i < nLength; ++i) {
        PutEscaped(out, pPayload[i]);
    }
    const uint16_t fcs = Fcs16(pPayload, nLength);
    PutEscaped(out, static_cast<uint8_t>(fcs & 0xFF));
    PutEscaped(out, static_cast<uint8_t>(fcs >> 8));
    out.push_back(kHdlcFlag);
    if (out.size() % kHdlcUsbPacket == 0) {
        out.push_back(0x00);
    }
    return out;
}

std::vector<uint8_t> HdlcFrame::Greeting() const {
    const uint8_t payload[] = {kHdlcGreeting};
    return Build(payload, sizeof payload);
}

std::vector<uint8_t> HdlcFrame::Launch() {
    const uint16_t word = m_bLaunchBuilt ? 0x0000 : 0x1010;
    m_bLaunchBuilt = !m_bLaunchBuilt;
    std::vector<uint8_t> payload = {kHdlcLaunch};
    AppendLe(payload, word, 2);
    AppendLe(payload, 0, 2);
    return Build(payload.data(), payload.size());
}

std::vector<uint8_t> HdlcFrame::EfsErase() const {
    std::vector<uint8_t> payload(13, 0);
    payload[0] = kHdlcEfsErase;
    return Build(payload.data(), payload.size());
}

std::vector<uint8_t> HdlcFrame::AreaOpen(uint32_t nStart, uint32_t nLength) const {
    std::vector<uint8_t> payload = {kHdlcAreaOpen};
    AppendLe(payload, 0, 4);
    AppendLe(payload, nLength, 4);
    AppendLe(payload, nStart, 4);
    return Build(payload.data(), payload.size());
}

std::vector<uint8_t> HdlcFrame::ParameterBlock(uint32_t nAddress,
                                               const uint8_t (&first)[kParameterBlockSent]) const {
    std::vector<uint8_t> payload = {kHdlcParameterBlock};
    AppendLe(payload, nAddress, 4);
    AppendLe(payload, kParameterBlockSize, 2);
    payload.insert(payload.end(), first, first + kParameterBlockSent);
    return Build(payload.data(), payload.size());
}

std::vector<uint8_t> HdlcFrame::DataBlock(const uint8_t* pBlock) {
    return std::vector<uint8_t>(pBlock, pBlock + kPhoneDataBlockSize);
}

uint8_t ResponseCode(const uint8_t* pAnswer, size_t nLength) {
    if (nLength == 0) {
        return 0;
    }
    if (pAnswer[0] == kHdlcFlag || pAnswer[0] == 0x7F) {
        return nLength >= 2 ? pAnswer[1] : 0;
    }
    return pAnswer[0];
}

bool IsAcknowledgement(const uint8_t* pAnswer, size_t nLength) {
    if (nLength >= 2 && pAnswer[0] == 'O' && pAnswer[1] == 'K') {
        return true;
    }
    return ResponseCode(pAnswer, nLength) == kHdlcAck;
}

bool IsAnswerComplete(const uint8_t* pAnswer, size_t nLength) {
    if (nLength == 0) {
        return false;
    }
    if (pAnswer[0] == kHdlcFlag) {
        return nLength >= 2 && std::memchr(pAnswer + 1, kHdlcFlag, nLength - 1) != nullptr;
    }
    if (pAnswer[0] == 0x7F || pAnswer[0] == 'O') {
        return nLength >= 2;
    }
    return true;
}

}  // namespace fleet
