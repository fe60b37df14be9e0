#include "fleet/pda/pda_packet.h"

#include <algorithm>
#include <cstring>

#include "fleet/images/image_checksum.h"

namespace fleet {

void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

PdaCommandPacket::PdaCommandPacket(uint32_t nCommand, uint32_t nArg1, uint32_t nArg2,
                                   uint32_t nArg3) {
    PutLe32(&m_bytes[0], nCommand);
    PutLe32(&m_bytes[4], nArg1);
    PutLe32(&m_bytes[8], nArg2);
    PutLe32(&m_bytes[12], nArg3);
}

PdaCommandPacket PdaCommandPacket::WriteRam(uint32_t nAddress, const uint8_t* pPayload,
                                            size_t nLength) {
    const size_t n = std::min(nLength, kPdaPayloadSize);
    PdaCommandPacket packet(PDA_WRITE_RAM, nAddress, static_cast<uint32_t>(n),
                            ImageByteSum(pPayload, n));
    if (n > 0) {
        std::memcpy(&packet.m_bytes[kPdaPacketHeaderSize], pPayload, n);
    }
    return packet;
}

BinStreamPacket::BinStreamPacket(uint16_t nKind, const uint8_t* pPayload, size_t nLength) {
    const size_t n = std::min(nLength, kPdaPayloadSize);
    m_bytes[0] = static_cast<uint8_t>(nKind);
    m_bytes[1] = static_cast<uint8_t>(nKind >> 8);
    PutLe32(&m_bytes[kBinPacketSumOffset], ImageByteSum(pPayload, n));
    if (n > 0) {
        std::memcpy(&m_bytes[kPdaPacketHeaderSize], pPayload, n);
    }
}

}  // namespace fleet
