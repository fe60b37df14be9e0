#pragma once
// The handset's own check values: the 32-bit byte sum of the PDA link and the
// FCS-16 of the modem's frames. Written here, not borrowed from the host, so a
// wrong sum on one side cannot be matched by the same mistake on the other.

#include <cstddef>
#include <cstdint>

namespace fleetsim {

// Wrap-around sum of the bytes taken as unsigned 8-bit values.
uint32_t ByteSum32(const uint8_t* p, size_t n);

// CRC-16 with the reflected polynomial 0x1021 (0x8408 shifted right), start
// 0xFFFF, complemented at the end: the frame check sequence of the modem link.
uint16_t Fcs16(const uint8_t* p, size_t n);

}  // namespace fleetsim
