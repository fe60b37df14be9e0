#pragma once
// The PDA side of a simulated handset: the download-mode boot loader behind the
// USB interface. It answers the detection handshake, takes 1024-byte command
// packets, keeps RAM and flash, programs flash from RAM with O K U P
// acknowledgements, receives B000FF streams, verifies checksums, and hands the
// USB connection over to the modem.
//
// Replies the host reads and ignores carry the command's code (06 00 00 00
// for an erase), so a host that takes one for an acknowledgement fails; a
// refused command replies FF FF FF FF.

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/fleet/bin_stream.h"
#include "sim/fleet/byte_store.h"
#include "sim/fleet/pda_flash.h"
#include "sim/fleet/side_host.h"

namespace fleetsim {

// Consecutive PDA_WRITE_RAM packets, each starting where the last ended.
struct RamTransfer {
    uint64_t nStart = 0;
    uint64_t nEnd = 0;
    int nPackets = 0;
    int nRefused = 0;  // packets of it that were refused (and not written)
};

// One programming of flash: by PDA_PROGRAM (4, no acknowledgements), by
// PDA_PROGRAM_RAW (12) from the last transfer, or after PDA_ERASE (6) from the
// transfer that follows it.
struct ProgramRun {
    uint32_t nCommand = 0;
    uint64_t nFlash = 0;
    uint64_t nLength = 0;
    uint64_t nDone = 0;  // bytes programmed
    int nAcks = 0;       // O K U P sent
    bool bFailed = false;
    std::string strFailure;
};

struct PdaRecord {
    int nHandshakes = 0;
    int nCommands = 0;  // command packets (stream packets not counted)
    int nRamPackets = 0;
    int nRefused = 0;  // packets or commands refused
    int nAcks = 0;     // O K U P sent, all runs
    int nFailAcks = 0;
    int nChecksumReplies = 0;
    int nSignatureReplies = 0;
    std::optional<uint32_t> lastChecksum;  // as sent
    bool bAttached = false;
    bool bBacklightOff = false;
    bool bSwitchPrepared = false;
    bool bSwitched = false;
    std::vector<uint32_t> handovers;  // 37, 50, 51 as they came
    uint32_t nFinalCommand = 0;       // 2 or 99 once one came
    uint32_t nFinalAddress = 0;
    std::vector<uint32_t> commands;  // codes in arrival order (the first kMaxLog)
    std::vector<RamTransfer> transfers;
    std::vector<ProgramRun> programs;
    static constexpr size_t kMaxLog = 8192;
};

class CPdaSide {
  public:
    CPdaSide(ISideHost& host, CByteStore& ram, CPdaFlash& flash);

    void OnHostOpened();
    void OnHostClosed();
    void OnBytes(const uint8_t* p, size_t n, TimePoint now);
    void OnTimer(TimePoint now);
    std::optional<TimePoint> NextDeadline() const;

    const PdaRecord& Record() const { return m_rec; }
    const StreamRecord& Stream() const { return m_stream.Record(); }

  private:
    struct Delayed {
        TimePoint due;
        uint32_t nWord;
    };
    struct Transfer {
        RamTransfer t;
        bool bValid = false;        // there has been a transfer
        bool bOpen = false;         // not yet logged
        bool bCanContinue = false;  // the next packet at t.nEnd extends it
    };
    struct Run {
        size_t nRecord = 0;  // index into m_rec.programs
        bool bActive = false;
        bool bFromErase = false;  // fed by the RAM packets that follow
        std::optional<uint64_t> ramBase;
        bool bStopped = false;  // a FAIL went out, no more acknowledgements
    };

    void Handshake();
    void TakePacket(const uint8_t* p, TimePoint now);
    void Command(const uint8_t* p, TimePoint now);
    void WriteRam(const uint8_t* p);
    void CloseTransfer();
    bool LastTransferHolds(uint64_t nRam, uint64_t n, std::string& why) const;

    void StartRun(uint32_t nCommand, uint64_t nFlash, uint64_t nLength, bool bFromErase);
    void FailRun(const std::string& why);
    void ProgramFromRam(uint64_t nRam);
    void EmitAcks();
    void FinishRun();

    void Reply(uint32_t nWord);
    void ReplyLater(uint32_t nWord, TimePoint due);
    void FlushDelayed();
    void Refuse(const std::string& why);
    ProgramRun& CurrentRun() { return m_rec.programs[m_run.nRecord]; }

    ISideHost& m_host;
    CByteStore& m_ram;
    CPdaFlash& m_flash;
    CBinStream m_stream;
    PdaRecord m_rec;
    std::vector<uint8_t> m_in;
    size_t m_nInPos = 0;
    std::deque<Delayed> m_delayed;
    Transfer m_transfer;
    Run m_run;
    std::optional<uint64_t> m_signatureRam;  // set by a signature check, for the erase after it
    bool m_bIgnoredAfterSwitch = false;
};

}  // namespace fleetsim
