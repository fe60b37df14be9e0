#pragma once
// What every part of the simulated fleet handset shares: the clock, the
// handset's memory map, the fixed sizes of its two links and little-endian
// field access.

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace fleetsim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// The PDA side's memory map. RAM takes the host's transfers; flash begins
// with the 512 KB the boot-loader keeps for itself (EBOOT), and the
// operating-system image lives right after it, at the launch address.
constexpr uint64_t kRamBase = 0x80000000;
constexpr uint64_t kRamSize = 0x08000000;
constexpr uint64_t kFlashBase = 0x9CA00000;
constexpr uint64_t kBootPartitionSize = 0x00080000;
constexpr uint64_t kOsPartitionBase = kFlashBase + kBootPartitionSize;
constexpr uint64_t kFlashSize = 0x08000000;
// The modem's flash, addressed from 0, and the file-system (EFS) partition
// at its top that an EFS erase clears.
constexpr uint64_t kModemFlashSize = 0x08000000;
constexpr uint64_t kModemEfsStart = 0x01700000;
constexpr uint64_t kModemEfsLength = kModemFlashSize - kModemEfsStart;

// PDA link: every command and stream packet is this long.
constexpr size_t kPacketSize = 1024;
constexpr size_t kPacketHeader = 16;
constexpr size_t kPayloadMax = kPacketSize - kPacketHeader;  // 1008
// Bytes of flash programming per acknowledgement unless told otherwise.
constexpr uint32_t kDefaultAckBlock = 520;
// Data bytes the host streams for every record of a B000FF image.
constexpr uint32_t kRecordData = 0x20200;

// Modem link: image data comes in plain blocks of this size.
constexpr size_t kModemBlock = 1024;

inline uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace fleetsim
