#pragma once
// Commands to the modem's download loader travel in HDLC-style frames: a
// 0x7E flag, the payload and its FCS-16 (low byte first) with 0x7D, 0x7E and
// 0x7F escaped as 0x7D, byte ^ 0x20, a closing flag, and one 0x00 after a
// frame whose length is a multiple of 64 so that the USB transfer does not
// end on a packet boundary. Image data goes unframed in 1024-byte blocks.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fleet {

constexpr uint8_t kHdlcFlag = 0x7E;
constexpr uint8_t kHdlcEscape = 0x7D;
constexpr uint8_t kHdlcEscapeXor = 0x20;
constexpr size_t kHdlcUsbPacket = 64;

// Frame command bytes.
enum HdlcCommand : uint8_t {
    kHdlcGreeting = 0xA0,
    kHdlcLaunch = 0xC0,
    kHdlcEfsErase = 0xE0,
    kHdlcAreaOpen = 0xEF,
    kHdlcParameterBlock = 0xFF,
};

constexpr uint8_t kHdlcAck = 0x02;
// What an exchange returns when the frame could not be written.
constexpr int kHdlcWriteFailed = 0xA1;
constexpr int kHdlcAcknowledged = 2;

constexpr size_t kPhoneDataBlockSize = 1024;
constexpr size_t kParameterBlockSize = 512;
constexpr size_t kParameterBlockSent = 24;  // bytes of it the 0xFF frame carries

// FCS-16 of RFC 1662 (CRC-16/X-25): reflected 0x1021, initial 0xFFFF, complemented.
uint16_t Fcs16(const uint8_t* pData, size_t nLength);

// Builds the frames of the phone phase. The launch payload alternates
// between 0x1010 and 0x0000 from one build to the next on the same object.
class HdlcFrame {
  public:
    static std::vector<uint8_t> Build(const uint8_t* pPayload, size_t nLength);

    std::vector<uint8_t> Greeting() const;
    std::vector<uint8_t> Launch();
    std::vector<uint8_t> EfsErase() const;
    std::vector<uint8_t> AreaOpen(uint32_t nStart, uint32_t nLength) const;
    std::vector<uint8_t> ParameterBlock(uint32_t nAddress,
                                        const uint8_t (&first)[kParameterBlockSent]) const;
    // The image bytes as they are: no flag, no escaping, no FCS, no 0x00.
    static std::vector<uint8_t> DataBlock(const uint8_t* pBlock);

  private:
    bool m_bLaunchBuilt = false;
};

// The response code of an answer: its second byte when it starts with 0x7E
// or 0x7F, else its first; 0 when the answer is too short to hold one.
uint8_t ResponseCode(const uint8_t* pAnswer, size_t nLength);
// 0x02 as the response code, or an answer starting with "OK".
bool IsAcknowledgement(const uint8_t* pAnswer, size_t nLength);
// Whether enough of an answer is in to judge it: a framed answer (0x7E) up
// to its closing flag, two bytes after 0x7F or 'O', else one byte.
bool IsAnswerComplete(const uint8_t* pAnswer, size_t nLength);

}  // namespace fleet
