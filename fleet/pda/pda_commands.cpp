#include "fleet/pda/pda_commands.h"

#include <algorithm>

#include "fleet/images/platform_profile.h"
#include "fleet/pda/slot_pause.h"
#include "fleet/transport/usb_device_port.h"

namespace fleet {

bool CPdaCommands::WritePacket(const uint8_t* pPacket) {
    return m_port.Write(pPacket, kPdaPacketSize) == kPdaPacketSize;
}

PdaSend CPdaCommands::Send(const PdaCommandPacket& packet) {
    return WritePacket(packet.Data()) ? PdaSend::Sent : PdaSend::WriteFailed;
}

PdaSend CPdaCommands::SendChecked(const PdaCommandPacket& packet) {
    if (m_port.OpenedFlag() == 0) {
        return PdaSend::NotOpen;
    }
    return Send(packet);
}

bool CPdaCommands::ReadReply(std::array<uint8_t, kPdaReplySize>& reply) {
    size_t got = 0;
    while (got < reply.size()) {
        const size_t n = m_port.Read(reply.data() + got, reply.size() - got);
        if (n == 0) {
            return false;
        }
        got += n;
    }
    return true;
}

bool CPdaCommands::ReadFlashAck() {
    std::array<uint8_t, kPdaReplySize> reply{};
    return ReadReply(reply) && reply == kFlashAck;
}

PdaSend CPdaCommands::WriteRam(uint32_t nAddress, const uint8_t* pPayload, size_t nLength) {
    return Send(PdaCommandPacket::WriteRam(nAddress, pPayload, nLength));
}

PdaSend CPdaCommands::Launch(uint32_t nLaunchAddress) {
    return SendChecked(PdaCommandPacket(PDA_LAUNCH, nLaunchAddress, 0, 0));
}

PdaSend CPdaCommands::Program(uint32_t nRamAddress, uint32_t nLength, uint32_t nFlashAddress) {
    return SendChecked(PdaCommandPacket(PDA_PROGRAM, nRamAddress, nLength, nFlashAddress));
}

PdaSend CPdaCommands::Erase(uint32_t nFlashAddress, uint32_t nLength) {
    const PdaSend sent = SendChecked(PdaCommandPacket(PDA_ERASE, nFlashAddress, nLength, 0));
    if (sent == PdaSend::Sent) {
        std::array<uint8_t, kPdaReplySize> ignored{};
        ReadReply(ignored);
    }
    return sent;
}

ChecksumResult CPdaCommands::VerifyChecksum(uint32_t nFlashAddress, uint32_t nLength,
                                            uint32_t nExpected, uint32_t& nDevice) {
    nDevice = 0;
    const PdaSend sent =
        SendChecked(PdaCommandPacket(PDA_VERIFY_CHECKSUM, nFlashAddress, nLength, 0));
    if (sent != PdaSend::Sent) {
        return ChecksumResult::NotSent;
    }
    std::array<uint8_t, kPdaReplySize> reply{};
    if (!ReadReply(reply)) {
        return ChecksumResult::NoReply;
    }
    SlotPause(kVerifyChecksumPause);
    if (!ReadReply(reply)) {
        return ChecksumResult::NoReply;
    }
    nDevice = GetLe32(reply.data());
    return nDevice == nExpected ? ChecksumResult::Match : ChecksumResult::Mismatch;
}

PdaSend CPdaCommands::SwitchPrepare() {
    const PdaSend sent = Send(PdaCommandPacket(PDA_SWITCH_PREPARE, 0, 0, 0));
    if (sent == PdaSend::Sent) {
        std::array<uint8_t, kPdaReplySize> ignored{};
        ReadReply(ignored);
    }
    return sent;
}

PdaSend CPdaCommands::ProgramRaw(uint32_t nRamAddress, uint32_t nDataEnd, uint32_t nFlashAddress) {
    return SendChecked(PdaCommandPacket(PDA_PROGRAM_RAW, nRamAddress, nDataEnd, nFlashAddress));
}

PdaSend CPdaCommands::Attached() {
    return Send(PdaCommandPacket(PDA_ATTACHED, 0, 0, 0));
}

PdaSend CPdaCommands::SwitchToPhone(uint32_t nLaunchAddress) {
    const PdaSend sent = Send(PdaCommandPacket(PDA_SWITCH_TO_PHONE, nLaunchAddress, 0, 0));
    if (sent == PdaSend::Sent) {
        std::array<uint8_t, kPdaReplySize> ignored{};
        ReadReply(ignored);
    }
    m_port.Close();
    return sent;
}

PdaSend CPdaCommands::ProgramBin(uint32_t nRamAddress, uint32_t nDataEnd, uint32_t nFlashAddress) {
    return SendChecked(PdaCommandPacket(PDA_PROGRAM_BIN, nRamAddress, nDataEnd, nFlashAddress));
}

PdaSend CPdaCommands::BacklightOff() {
    const PdaSend sent = SendChecked(PdaCommandPacket(PDA_BACKLIGHT_OFF, 0, 0, 0));
    if (sent == PdaSend::Sent) {
        std::array<uint8_t, kPdaReplySize> ignored{};
        ReadReply(ignored);
    }
    return sent;
}

PdaSend CPdaCommands::Handover(uint32_t nCommand, uint32_t nLaunchAddress) {
    const PdaSend sent = Send(PdaCommandPacket(nCommand, nLaunchAddress, 0, 0));
    if (sent == PdaSend::Sent) {
        std::array<uint8_t, kPdaReplySize> ignored{};
        ReadReply(ignored);
    }
    return sent;
}

uint32_t CPdaCommands::CheckSignature(uint32_t nRamAddress, uint32_t nLength) {
    if (SendChecked(PdaCommandPacket(PDA_CHECK_SIGNATURE, nRamAddress, nLength, 0)) !=
        PdaSend::Sent) {
        return 0;
    }
    std::array<uint8_t, kPdaReplySize> reply{};
    if (!ReadReply(reply)) {
        return 0;
    }
    SlotPause(kCheckSignaturePause);
    return ReadReply(reply) ? GetLe32(reply.data()) : 0;
}

PdaSend CPdaCommands::Finish(uint32_t nLaunchAddress) {
    return SendChecked(PdaCommandPacket(PDA_FINISH, nLaunchAddress, 0, 0));
}

uint32_t HandoverCommand(const PlatformProfile& profile) {
    if (profile.launchVariant != 0) {
        return PDA_HANDOVER_50;
    }
    return profile.handOverVariant != 0 ? PDA_HANDOVER_51 : PDA_HANDOVER;
}

}  // namespace fleet
