#pragma once
// The two 1024-byte packets of the PDA link: the command packet every
// command is written as, and the packet a B000FF image is streamed in. All
// fields little-endian; every packet is written whole.

#include <array>
#include <cstddef>
#include <cstdint>

namespace fleet {

enum PdaCommandCode : uint32_t {
    PDA_WRITE_RAM = 1,
    PDA_LAUNCH = 2,
    PDA_PROGRAM = 4,
    PDA_ERASE = 6,
    PDA_VERIFY_CHECKSUM = 10,
    PDA_SWITCH_PREPARE = 11,
    PDA_PROGRAM_RAW = 12,
    PDA_ATTACHED = 13,
    PDA_SWITCH_TO_PHONE = 15,
    PDA_PROGRAM_BIN = 16,
    PDA_BACKLIGHT_OFF = 36,
    PDA_HANDOVER = 37,
    PDA_CHECK_SIGNATURE = 38,
    PDA_HANDOVER_50 = 50,
    PDA_HANDOVER_51 = 51,
    PDA_FINISH = 99,
};

constexpr size_t kPdaPacketSize = 1024;
constexpr size_t kPdaPacketHeaderSize = 16;
constexpr size_t kPdaPayloadSize = kPdaPacketSize - kPdaPacketHeaderSize;  // 1008
constexpr size_t kPdaReplySize = 4;

// What the device sends as it programs each acknowledgement block.
constexpr std::array<uint8_t, kPdaReplySize> kFlashAck = {'O', 'K', 'U', 'P'};

class PdaCommandPacket {
  public:
    PdaCommandPacket(uint32_t nCommand, uint32_t nArg1, uint32_t nArg2, uint32_t nArg3);
    // PDA_WRITE_RAM: address, the payload's length (1..1008) and its byte sum.
    static PdaCommandPacket WriteRam(uint32_t nAddress, const uint8_t* pPayload, size_t nLength);

    const uint8_t* Data() const { return m_bytes.data(); }
    static constexpr size_t Size() { return kPdaPacketSize; }
    const std::array<uint8_t, kPdaPacketSize>& Bytes() const { return m_bytes; }

  private:
    std::array<uint8_t, kPdaPacketSize> m_bytes{};
};

// Kinds of a B000FF stream packet (its first two bytes); any other value n
// (1..1008) marks the last piece of a record, n bytes long.
enum BinStreamKind : uint16_t {
    kBinKindImageHeader = 15,
    kBinKindRecordHeader = 12,
    kBinKindFullPiece = 1024,  // 1008 record bytes, more of the record follows
};

constexpr size_t kBinPacketSumOffset = 12;

class BinStreamPacket {
  public:
    // nLength payload bytes (at most 1008); the sum covers exactly those.
    BinStreamPacket(uint16_t nKind, const uint8_t* pPayload, size_t nLength);

    const uint8_t* Data() const { return m_bytes.data(); }
    static constexpr size_t Size() { return kPdaPacketSize; }
    const std::array<uint8_t, kPdaPacketSize>& Bytes() const { return m_bytes; }

  private:
    std::array<uint8_t, kPdaPacketSize> m_bytes{};
};

void PutLe32(uint8_t* p, uint32_t v);
uint32_t GetLe32(const uint8_t* p);

}  // namespace fleet
