#pragma once
// The commands of the PDA link, one function each, on the slot's port. A
// command is one 1024-byte packet; some read a 4-byte reply. The commands
// that change or read the device's flash (2, 4, 6, 10, 12, 16, 36, 38, 99)
// send nothing while the port's opened flag is clear; the others are sent
// regardless (the write then fails on a closed port).

#include <array>
#include <chrono>
#include <cstdint>

#include "fleet/pda/pda_packet.h"

namespace fleet {

class UsbDevicePort;
struct PlatformProfile;

// The device works out a checksum or a signature before it answers.
constexpr std::chrono::milliseconds kVerifyChecksumPause{10000};
constexpr std::chrono::milliseconds kCheckSignaturePause{15000};

enum class PdaSend {
    Sent,         // the packet went out whole
    NotOpen,      // the opened flag was clear: nothing sent
    WriteFailed,  // the port took less than the whole packet
};

enum class ChecksumResult { Match, Mismatch, NoReply, NotSent };

class CPdaCommands {
  public:
    explicit CPdaCommands(UsbDevicePort& port) : m_port(port) {}

    PdaSend WriteRam(uint32_t nAddress, const uint8_t* pPayload, size_t nLength);
    PdaSend Launch(uint32_t nLaunchAddress);
    PdaSend Program(uint32_t nRamAddress, uint32_t nLength, uint32_t nFlashAddress);
    PdaSend Erase(uint32_t nFlashAddress, uint32_t nLength);
    // The device's 32-bit byte sum of the range, read 10 s after its first reply.
    ChecksumResult VerifyChecksum(uint32_t nFlashAddress, uint32_t nLength, uint32_t nExpected,
                                  uint32_t& nDevice);
    PdaSend SwitchPrepare();
    PdaSend ProgramRaw(uint32_t nRamAddress, uint32_t nDataEnd, uint32_t nFlashAddress);
    PdaSend Attached();
    // Closes the port afterwards: the handset's USB connection goes to the modem.
    PdaSend SwitchToPhone(uint32_t nLaunchAddress);
    PdaSend ProgramBin(uint32_t nRamAddress, uint32_t nDataEnd, uint32_t nFlashAddress);
    PdaSend BacklightOff();
    // 37, 50 or 51 (HandoverCommand).
    PdaSend Handover(uint32_t nCommand, uint32_t nLaunchAddress);
    // 0: mismatch (or no answer); otherwise the length the device accepted.
    uint32_t CheckSignature(uint32_t nRamAddress, uint32_t nLength);
    PdaSend Finish(uint32_t nLaunchAddress);

    // One flash-programming acknowledgement: true only for O K U P.
    bool ReadFlashAck();
    // A 4-byte reply, gathered across reads when the device's answer arrives
    // split; false when the port gives nothing within its blocking bound.
    bool ReadReply(std::array<uint8_t, kPdaReplySize>& reply);

    // Writes any 1024-byte packet whole.
    bool WritePacket(const uint8_t* pPacket);

  private:
    PdaSend Send(const PdaCommandPacket& packet);
    PdaSend SendChecked(const PdaCommandPacket& packet);

    UsbDevicePort& m_port;
};

// The hand-over command the profile chooses: 50 with a launch variant, else
// 51 with a hand-over variant, else 37.
uint32_t HandoverCommand(const PlatformProfile& profile);

}  // namespace fleet
