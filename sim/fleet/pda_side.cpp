#include "sim/fleet/pda_side.h"

#include <algorithm>
#include <cstring>

#include "sim/fleet/sim_sums.h"
#include "sim/fleet/sim_types.h"

namespace fleetsim {

namespace {

enum : uint32_t {
    kWriteRam = 1,
    kLaunch = 2,
    kProgram = 4,
    kErase = 6,
    kVerifyChecksum = 10,
    kSwitchPrepare = 11,
    kProgramRaw = 12,
    kAttached = 13,
    kSwitchToPhone = 15,
    kProgramBin = 16,
    kBacklightOff = 36,
    kHandover = 37,
    kCheckSignature = 38,
    kHandover50 = 50,
    kHandover51 = 51,
    kFinish = 99,
};

struct CommandInfo {
    uint32_t nCode;
    const char* pName;
    bool bReply;
    // Arguments that must be zero: bit 0 = argument 1, bit 1 = 2, bit 2 = 3.
    unsigned zeroArgs;
};

constexpr CommandInfo kCommands[] = {
    {kWriteRam, "PDA_WRITE_RAM", false, 0},
    {kLaunch, "PDA_LAUNCH", false, 6},
    {kProgram, "PDA_PROGRAM", false, 0},
    {kErase, "PDA_ERASE", true, 4},
    {kVerifyChecksum, "PDA_VERIFY_CHECKSUM", true, 4},
    {kSwitchPrepare, "PDA_SWITCH_PREPARE", true, 7},
    {kProgramRaw, "PDA_PROGRAM_RAW", false, 0},
    {kAttached, "PDA_ATTACHED", false, 7},
    {kSwitchToPhone, "PDA_SWITCH_TO_PHONE", true, 6},
    {kProgramBin, "PDA_PROGRAM_BIN", false, 0},
    {kBacklightOff, "PDA_BACKLIGHT_OFF", true, 7},
    {kHandover, "PDA_HANDOVER", true, 6},
    {kCheckSignature, "PDA_CHECK_SIGNATURE", true, 4},
    {kHandover50, "PDA_HANDOVER_50", true, 6},
    {kHandover51, "PDA_HANDOVER_51", true, 6},
    {kFinish, "PDA_FINISH", false, 6},
};

const CommandInfo* FindCommand(uint32_t nCode) {
    for (const CommandInfo& c : kCommands) {
        if (c.nCode == nCode) {
            return &c;
        }
    }
    return nullptr;
}

constexpr uint8_t kHandshakeRequest[4] = {'A', 'T', 'U', 'D'};
constexpr uint8_t kHandshakeAnswer[4] = {'O', 'K', 'U', 'D'};
constexpr uint8_t kWrongHandshakeAnswer[4] = {'O', 'K', 'U', 'X'};
constexpr uint8_t kAck[4] = {'O', 'K', 'U', 'P'};
constexpr uint8_t kAckFailed[4] = {'F', 'A', 'I', 'L'};
constexpr uint32_t kRefusedReply = 0xFFFFFFFF;

bool AllZero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

}  // namespace

std::string Hex32(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%08llX", static_cast<unsigned long long>(v));
    return buf;
}

CPdaSide::CPdaSide(ISideHost& host, CByteStore& ram, CPdaFlash& flash)
    : m_host(host), m_ram(ram), m_flash(flash), m_stream(host, flash) {}

void CPdaSide::OnHostOpened() {
    m_in.clear();
    m_nInPos = 0;
}

void CPdaSide::OnHostClosed() {
    const size_t partial = m_in.size() - m_nInPos;
    if (partial != 0 && !m_host.Halted()) {
        m_host.Notice("the port closed with " + std::to_string(partial) +
                      " bytes of an incomplete packet; dropped");
    }
    m_in.clear();
    m_nInPos = 0;
    m_stream.End("the host closed the port");
    CloseTransfer();
    // Replies still being worked out have nobody to go to.
    m_delayed.clear();
}

void CPdaSide::OnBytes(const uint8_t* p, size_t n, TimePoint now) {
    if (m_host.Halted()) {
        return;
    }
    m_in.insert(m_in.end(), p, p + n);
    while (!m_host.Halted()) {
        const size_t avail = m_in.size() - m_nInPos;
        const uint8_t* at = m_in.data() + m_nInPos;
        // The handshake is 4 raw bytes, not a packet; no packet starts with
        // them (no command or stream kind has that code).
        if (avail >= 4 && std::memcmp(at, kHandshakeRequest, 4) == 0) {
            m_nInPos += 4;
            Handshake();
            continue;
        }
        if (avail >= kPacketSize) {
            m_nInPos += kPacketSize;
            TakePacket(at, now);
            continue;
        }
        break;
    }
    if (m_host.Halted()) {
        m_in.clear();
        m_nInPos = 0;
        return;
    }
    if (m_nInPos > 0 && m_nInPos * 2 >= m_in.size()) {
        m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(m_nInPos));
        m_nInPos = 0;
    }
}

void CPdaSide::OnTimer(TimePoint now) {
    while (!m_delayed.empty() && m_delayed.front().due <= now && !m_host.Halted()) {
        const uint32_t word = m_delayed.front().nWord;
        m_delayed.pop_front();
        Reply(word);
    }
}

std::optional<TimePoint> CPdaSide::NextDeadline() const {
    if (m_delayed.empty()) {
        return std::nullopt;
    }
    return m_delayed.front().due;
}

void CPdaSide::Handshake() {
    m_host.Received().Add("pda A T U D");
    const int index = m_rec.nHandshakes++;
    const CFaultPlan::Decision d = m_host.Consult(Step::Okud, index);
    if (m_host.Halted()) {
        return;
    }
    m_host.Send(d.bWrong ? kWrongHandshakeAnswer : kHandshakeAnswer, 4);
    m_host.Log(std::string("handshake ") + std::to_string(index) + ": A T U D answered " +
               (d.bWrong ? "O K U X (fault)" : "O K U D"));
}

void CPdaSide::TakePacket(const uint8_t* p, TimePoint now) {
    if (m_rec.bSwitched) {
        m_host.Received().AddToRun("pda packet after the switch", {});
        if (!m_bIgnoredAfterSwitch) {
            m_bIgnoredAfterSwitch = true;
            m_host.Notice("packet after the switch to the modem; ignored");
        }
        return;
    }
    if (m_stream.Claims(p)) {
        m_host.Received().AddToRun("pda stream", {});
        // Only silence or an unplug can strike a stream packet: it has no answer.
        m_host.Consult(Step::Stream, m_stream.Record().nPackets);
        if (m_host.Halted()) {
            return;
        }
        m_stream.Take(p);
        return;
    }
    m_stream.End("a command came");
    Command(p, now);
}

void CPdaSide::Refuse(const std::string& why) {
    ++m_rec.nRefused;
    m_host.Notice("refused " + why);
}

void CPdaSide::Reply(uint32_t nWord) {
    uint8_t b[4];
    PutLe32(b, nWord);
    m_host.Send(b, 4);
}

void CPdaSide::ReplyLater(uint32_t nWord, TimePoint due) {
    m_delayed.push_back({due, nWord});
}

void CPdaSide::FlushDelayed() {
    if (m_delayed.empty()) {
        return;
    }
    // The host sent on before the device finished: the result goes first,
    // so replies keep their order.
    m_host.Notice("a command came before a pending result was sent; sending it now");
    while (!m_delayed.empty()) {
        Reply(m_delayed.front().nWord);
        m_delayed.pop_front();
    }
}

void CPdaSide::Command(const uint8_t* p, TimePoint now) {
    const uint32_t code = Le32(p);
    const uint32_t a1 = Le32(p + 4);
    const uint32_t a2 = Le32(p + 8);
    const uint32_t a3 = Le32(p + 12);
    ++m_rec.nCommands;
    if (m_rec.commands.size() < PdaRecord::kMaxLog) {
        m_rec.commands.push_back(code);
    }
    if (code != kWriteRam) {
        CloseTransfer();
        FlushDelayed();
    }
    const bool bAfterSignature = m_signatureRam.has_value();
    const uint64_t nSignatureRam = m_signatureRam.value_or(0);
    m_signatureRam.reset();

    const CommandInfo* info = FindCommand(code);
    if (info == nullptr) {
        m_host.Received().Add("pda unknown command " + Hex32(code));
        Refuse("unknown command " + std::to_string(code) + " (" + Hex32(code) + ")");
        return;
    }
    if (code != kWriteRam) {
        m_host.Received().Add(std::string("pda ") + info->pName + " " + Hex32(a1) + " " +
                              Hex32(a2) + " " + Hex32(a3));
        const uint32_t args[3] = {a1, a2, a3};
        std::string bad;
        for (int i = 0; i < 3; ++i) {
            if ((info->zeroArgs & (1u << i)) != 0 && args[i] != 0) {
                bad = "argument " + std::to_string(i + 1) + " is " + Hex32(args[i]) + ", not 0";
            }
        }
        if (bad.empty() && !AllZero(p + kPacketHeader, kPayloadMax)) {
            bad = "its payload is not zero";
        }
        if (!bad.empty()) {
            Refuse(std::string(info->pName) + ": " + bad);
            if (info->bReply) {
                Reply(kRefusedReply);
                if (code == kVerifyChecksum) {
                    Reply(kRefusedReply);
                } else if (code == kCheckSignature) {
                    Reply(0);
                }
            }
            return;
        }
    }

    switch (code) {
        case kWriteRam:
            WriteRam(p);
            return;
        case kLaunch:
        case kFinish:
            m_rec.nFinalCommand = code;
            m_rec.nFinalAddress = a1;
            m_host.Log(
                std::string(info->pName) + " at " + Hex32(a1) +
                (code == kLaunch ? ": the PDA side starts its image" : ": done, not launched"));
            return;
        case kProgram: {
            m_host.Log("PDA_PROGRAM: " + std::to_string(a2) + " bytes from RAM " + Hex32(a1) +
                       " to flash " + Hex32(a3));
            StartRun(code, a3, a2, false);
            std::string why;
            if (!m_ram.Contains(a1, a2)) {
                FailRun("RAM " + Hex32(a1) + "+" + std::to_string(a2) + " is outside RAM");
            } else if (!m_flash.Contains(a3, a2)) {
                FailRun("flash " + Hex32(a3) + "+" + std::to_string(a2) + " is outside the flash");
            } else if (!LastTransferHolds(a1, a2, why)) {
                FailRun(why);
            } else {
                ProgramFromRam(a1);
            }
            // This programming is not acknowledged.
            m_run.bStopped = true;
            FinishRun();
            return;
        }
        case kErase: {
            m_host.Log("PDA_ERASE: flash " + Hex32(a1) + "+" + std::to_string(a2));
            StartRun(code, a1, a2, !bAfterSignature);
            if (!m_flash.Contains(a1, a2) || a2 == 0) {
                Reply(kRefusedReply);
                FailRun("erase of flash " + Hex32(a1) + "+" + std::to_string(a2) +
                        (a2 == 0 ? ": nothing to erase" : ": outside the flash"));
                EmitAcks();
                return;
            }
            m_flash.Erase(a1, a2);
            Reply(code);
            if (bAfterSignature) {
                // The data was checked in RAM before the erase: program it now.
                std::string why;
                if (!m_ram.Contains(nSignatureRam, a2) ||
                    !LastTransferHolds(nSignatureRam, a2, why)) {
                    FailRun(why.empty() ? "the checked RAM does not hold the erased length" : why);
                } else {
                    ProgramFromRam(nSignatureRam);
                }
            }
            EmitAcks();
            return;
        }
        case kVerifyChecksum: {
            const int index = m_rec.nChecksumReplies++;
            uint32_t sum = kRefusedReply;
            if (m_flash.Contains(a1, a2)) {
                sum = m_flash.Sum32(a1, a2);
            } else {
                Refuse("checksum of flash " + Hex32(a1) + "+" + std::to_string(a2) +
                       ": outside the flash");
            }
            const CFaultPlan::Decision d = m_host.Consult(Step::Checksum, index);
            if (m_host.Halted()) {
                return;
            }
            if (d.bWrong) {
                sum += 1;
            }
            m_rec.lastChecksum = sum;
            m_host.Log("PDA_VERIFY_CHECKSUM: flash " + Hex32(a1) + "+" + std::to_string(a2) +
                       " sums to " + Hex32(sum) + (d.bWrong ? " (wrong, fault)" : ""));
            Reply(code);
            ReplyLater(sum, now + std::chrono::milliseconds(m_host.Settings().nVerifyDelayMs));
            return;
        }
        case kCheckSignature: {
            const int index = m_rec.nSignatureReplies++;
            std::string why;
            uint32_t result = a2;
            if (a2 == 0 || !m_ram.Contains(a1, a2) || !LastTransferHolds(a1, a2, why)) {
                result = 0;
            }
            const CFaultPlan::Decision d = m_host.Consult(Step::Signature, index);
            if (m_host.Halted()) {
                return;
            }
            if (d.bWrong) {
                result = 0;
            }
            m_host.Log("PDA_CHECK_SIGNATURE: RAM " + Hex32(a1) + "+" + std::to_string(a2) + ": " +
                       (result != 0 ? "accepted" : "mismatch") + (d.bWrong ? " (fault)" : "") +
                       (why.empty() ? "" : " (" + why + ")"));
            Reply(code);
            ReplyLater(result,
                       now + std::chrono::milliseconds(m_host.Settings().nSignatureDelayMs));
            m_signatureRam = a1;
            return;
        }
        case kSwitchPrepare:
            m_rec.bSwitchPrepared = true;
            m_host.Log("PDA_SWITCH_PREPARE");
            Reply(code);
            return;
        case kProgramRaw: {
            const uint64_t dest = uint64_t{a3} + kBootPartitionSize;
            m_host.Log("PDA_PROGRAM_RAW: RAM " + Hex32(a1) + ", data end " + std::to_string(a2) +
                       ", flash base " + Hex32(a3) + ": the image goes to " + Hex32(dest));
            const uint64_t length =
                m_transfer.bValid && a1 >= m_transfer.t.nStart && a1 < m_transfer.t.nEnd
                    ? m_transfer.t.nEnd - a1
                    : 0;
            StartRun(code, dest, length, false);
            std::string why;
            if (length == 0) {
                FailRun("no RAM transfer holds " + Hex32(a1));
            } else if (!m_flash.Contains(dest, length)) {
                FailRun("flash " + Hex32(dest) + "+" + std::to_string(length) +
                        " is outside the flash");
            } else if (!LastTransferHolds(a1, length, why)) {
                FailRun(why);
            } else {
                ProgramFromRam(a1);
            }
            EmitAcks();
            return;
        }
        case kAttached:
            m_rec.bAttached = true;
            m_host.Log("PDA_ATTACHED");
            return;
        case kSwitchToPhone:
            m_host.Log("PDA_SWITCH_TO_PHONE at " + Hex32(a1) +
                       (m_rec.bSwitchPrepared ? "" : " (without PDA_SWITCH_PREPARE)"));
            Reply(code);
            m_rec.bSwitched = true;
            m_host.SwitchToModem();
            return;
        case kProgramBin: {
            const uint64_t dest = uint64_t{a3} + kBootPartitionSize;
            m_host.Log("PDA_PROGRAM_BIN: RAM " + Hex32(a1) + ", data end " + std::to_string(a2) +
                       ", flash base " + Hex32(a3) + ": a B000FF stream to " + Hex32(dest));
            m_stream.Begin(dest);
            return;
        }
        case kBacklightOff:
            m_rec.bBacklightOff = true;
            m_host.Log("PDA_BACKLIGHT_OFF");
            Reply(code);
            return;
        case kHandover:
        case kHandover50:
        case kHandover51:
            m_rec.handovers.push_back(code);
            m_host.Log(std::string(info->pName) + " at " + Hex32(a1));
            Reply(code);
            return;
        default:
            return;
    }
}

void CPdaSide::WriteRam(const uint8_t* p) {
    const uint32_t address = Le32(p + 4);
    const uint32_t length = Le32(p + 8);
    const uint32_t sum = Le32(p + 12);
    const uint8_t* payload = p + kPacketHeader;
    // One entry per transfer: packets that each start where the last ended.
    const bool bContinues =
        m_transfer.bOpen && m_transfer.bCanContinue && address == m_transfer.t.nEnd;
    const uint64_t start = bContinues ? m_transfer.t.nStart : address;
    m_host.Received().AddToRun(
        "pda PDA_WRITE_RAM",
        Hex32(start) + "+" + std::to_string(uint64_t{address} + length - start), bContinues);
    const int index = m_rec.nRamPackets++;
    m_host.Consult(Step::Ram, index);
    if (m_host.Halted()) {
        return;
    }
    if (!m_transfer.bOpen || !m_transfer.bCanContinue || address != m_transfer.t.nEnd) {
        CloseTransfer();
        m_transfer.t = RamTransfer{address, address, 0, 0};
        m_transfer.bValid = true;
        m_transfer.bOpen = true;
        m_transfer.bCanContinue = true;
    }
    ++m_transfer.t.nPackets;
    std::string bad;
    if (length == 0 || length > kPayloadMax) {
        bad = "length " + std::to_string(length) + " (1..1008)";
    } else if (!m_ram.Contains(address, length)) {
        bad = "RAM " + Hex32(address) + "+" + std::to_string(length) + " is outside RAM";
    } else if (ByteSum32(payload, length) != sum) {
        bad = "sum " + Hex32(sum) + ", the payload sums to " + Hex32(ByteSum32(payload, length));
    }
    if (length <= kPayloadMax) {
        // Keep the transfer's position so the packets after a refused one
        // still belong to it.
        m_transfer.t.nEnd += length;
    } else {
        m_transfer.bCanContinue = false;
    }
    if (!bad.empty()) {
        ++m_transfer.t.nRefused;
        Refuse("PDA_WRITE_RAM packet " + std::to_string(index) + " at " + Hex32(address) + ": " +
               bad);
        if (m_run.bActive && m_run.bFromErase) {
            FailRun("RAM packet " + std::to_string(index) + " was refused");
            EmitAcks();
        }
        return;
    }
    m_ram.Write(address, payload, length);

    if (m_run.bActive && m_run.bFromErase) {
        ProgramRun& run = CurrentRun();
        if (!m_run.ramBase) {
            m_run.ramBase = address;
        }
        const uint64_t offset = uint64_t{address} - *m_run.ramBase;
        if (address < *m_run.ramBase || offset != run.nDone) {
            FailRun("RAM packet at " + Hex32(address) + " is not the next " +
                    std::to_string(run.nDone) + " bytes after " + Hex32(*m_run.ramBase));
        } else {
            // Bytes past the erased length (the last packet may carry some)
            // are not programmed.
            const uint64_t take = std::min<uint64_t>(length, run.nLength - run.nDone);
            m_flash.Write(run.nFlash + run.nDone, payload, static_cast<size_t>(take));
            run.nDone += take;
        }
        EmitAcks();
    }
}

void CPdaSide::CloseTransfer() {
    if (!m_transfer.bValid || !m_transfer.bOpen) {
        return;
    }
    m_transfer.bOpen = false;
    const RamTransfer& t = m_transfer.t;
    if (m_rec.transfers.size() < PdaRecord::kMaxLog) {
        m_rec.transfers.push_back(t);
    }
    m_host.Log("RAM " + Hex32(t.nStart) + "+" + std::to_string(t.nEnd - t.nStart) + " in " +
               std::to_string(t.nPackets) + " packets, sum " +
               Hex32(m_ram.Sum32(
                   t.nStart, m_ram.Contains(t.nStart, t.nEnd - t.nStart) ? t.nEnd - t.nStart : 0)) +
               (t.nRefused != 0 ? ", " + std::to_string(t.nRefused) + " refused" : ""));
}

bool CPdaSide::LastTransferHolds(uint64_t nRam, uint64_t n, std::string& why) const {
    if (!m_transfer.bValid || nRam < m_transfer.t.nStart || nRam >= m_transfer.t.nEnd) {
        why = "no RAM transfer holds " + Hex32(nRam);
        return false;
    }
    if (m_transfer.t.nRefused != 0) {
        why = "the RAM transfer at " + Hex32(m_transfer.t.nStart) + " had " +
              std::to_string(m_transfer.t.nRefused) + " refused packets";
        return false;
    }
    if (nRam + n > m_transfer.t.nEnd) {
        // Legal (the host names a fixed length), but worth knowing.
        m_host.Log("note: " + std::to_string(nRam + n - m_transfer.t.nEnd) +
                   " of the bytes used were never written by the host");
    }
    return true;
}

void CPdaSide::StartRun(uint32_t nCommand, uint64_t nFlash, uint64_t nLength, bool bFromErase) {
    if (m_run.bActive) {
        const ProgramRun& old = CurrentRun();
        if (!old.bFailed && old.nDone < old.nLength) {
            m_host.Notice("programming of flash " + Hex32(old.nFlash) + " abandoned after " +
                          std::to_string(old.nDone) + " of " + std::to_string(old.nLength) +
                          " bytes");
        }
    }
    ProgramRun run;
    run.nCommand = nCommand;
    run.nFlash = nFlash;
    run.nLength = nLength;
    m_rec.programs.push_back(run);
    m_run = Run{};
    m_run.nRecord = m_rec.programs.size() - 1;
    m_run.bActive = true;
    m_run.bFromErase = bFromErase;
}

void CPdaSide::FailRun(const std::string& why) {
    ProgramRun& run = CurrentRun();
    if (run.bFailed) {
        return;
    }
    run.bFailed = true;
    run.strFailure = why;
    m_host.Notice("programming of flash " + Hex32(run.nFlash) + " failed: " + why);
}

void CPdaSide::ProgramFromRam(uint64_t nRam) {
    ProgramRun& run = CurrentRun();
    const std::vector<uint8_t> bytes = m_ram.Read(nRam, static_cast<size_t>(run.nLength));
    m_flash.Write(run.nFlash, bytes.data(), bytes.size());
    run.nDone = bytes.size();
}

void CPdaSide::EmitAcks() {
    if (!m_run.bActive) {
        return;
    }
    ProgramRun& run = CurrentRun();
    const uint32_t block = m_host.Settings().nAckBlock;
    while (!m_run.bStopped) {
        if (run.bFailed) {
            m_host.Send(kAckFailed, 4);
            ++m_rec.nFailAcks;
            m_run.bStopped = true;
            break;
        }
        if (static_cast<uint64_t>(run.nAcks) >= run.nDone / block) {
            break;
        }
        const CFaultPlan::Decision d = m_host.Consult(Step::Ack, run.nAcks);
        if (m_host.Halted()) {
            return;
        }
        if (d.bWrong) {
            m_host.Send(kAckFailed, 4);
            ++m_rec.nFailAcks;
            run.bFailed = true;
            run.strFailure = "fault at acknowledgement " + std::to_string(run.nAcks);
            m_run.bStopped = true;
            m_host.Notice("acknowledgement " + std::to_string(run.nAcks) + " of flash " +
                          Hex32(run.nFlash) + " sent as F A I L (fault)");
            break;
        }
        m_host.Send(kAck, 4);
        ++run.nAcks;
        ++m_rec.nAcks;
    }
    FinishRun();
}

void CPdaSide::FinishRun() {
    if (!m_run.bActive) {
        return;
    }
    const ProgramRun& run = CurrentRun();
    if (run.bFailed) {
        if (m_run.bStopped) {
            m_run.bActive = false;
        }
        return;
    }
    if (run.nDone < run.nLength) {
        return;
    }
    m_run.bActive = false;
    m_host.Log("programmed flash " + Hex32(run.nFlash) + "+" + std::to_string(run.nLength) +
               ", sum " + Hex32(m_flash.Sum32(run.nFlash, run.nLength)) + ", " +
               std::to_string(run.nAcks) + " acknowledgements");
}

}  // namespace fleetsim
