#pragma once
// What the handset's stages (boot ROM, pre-loader, boot-loader) share: the
// wire they answer on, the fault plan that may spoil or end an answer, the
// NOR, the NAND file system, and the record that tests read back.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/common/reply_chaos.h"
#include "sim/oriel/handset_options.h"

namespace orielsim {

class CNandStore;
class CNorFlash;

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

enum class HandsetStage {
    Off,         // no host on the port (powered off)
    BootRom,     // the baseband chip's boot ROM
    Preloader,   // the pre-loader in SCRAM
    BootLoader,  // the boot-loader in RAM
    Silent,      // a stop fault fired; nothing more until power-off
    Released,    // told to power on (0xFD); loaders gone until the next power-on
};
const char* StageName(HandsetStage stage);

// One command the handset took from the host. Data bytes (pre-loader words
// excepted) are not logged one by one.
struct CommandRecord {
    HandsetStage stage = HandsetStage::Off;
    uint8_t byCommand = 0;
    bool bHasValue = false;
    uint32_t nValue = 0;  // the 4-byte argument as the handset read it
};

// The line as a stage sees it.
class IHandsetWire {
  public:
    virtual ~IHandsetWire() = default;
    virtual void Send(const uint8_t* p, size_t n) = 0;
    // The handset's UART: rate and bit times per byte (11 at 8E1, 10 at 8N1).
    virtual void SetUart(uint32_t nBaud, int nBitsPerByte) = 0;
    // The rate the host's end of the line is set to; 0 when unknown.
    virtual uint32_t HostBaud() const = 0;
};

// Counters and logs kept for inspection.
struct HandsetRecord {
    static constexpr size_t kMaxCommands = 1u << 16;
    static constexpr size_t kMaxNotices = 1024;

    int nPowerOns = 0;
    int nBoots = 0;           // ROM boots (two per power-on in the host's Mode "Normal")
    int nPreloaderWords = 0;  // 'L' commands taken
    int nLastRateIndex = -1;  // SPEED index last agreed
    int nFaultsFired = 0;
    uint8_t byRomTimeout = 0;              // argument of the last 'T'
    size_t nBootloaderLength = 0;          // announced length of the last boot-loader
    std::vector<size_t> bootloaderBlocks;  // block lengths of the last boot-loader transfer
    bool bBootloaderVerified = false;
    std::optional<uint32_t> lastCrcAnnounced;
    std::optional<uint32_t> lastCrcComputed;  // over the data written since that 0xC8
    bool bMfxMounted = false;
    std::optional<uint32_t> lastMfxCrcAnnounced;  // by the last 0xC9
    std::optional<uint32_t> lastMfxCrcComputed;   // over the file data since it, at 0xC5
    int nMfxFilesWritten = 0;                     // files whose last chunk arrived
    int nNandDumpBlocks = 0;                      // blocks sent by the last NAND dump
    std::deque<CommandRecord> commands;
    std::deque<std::string> notices;
};

class CFaultPlan {
  public:
    explicit CFaultPlan(std::vector<Fault> faults);

    struct Decision {
        bool bSpoil = false;
        bool bStopAfter = false;
    };
    // Decides the fate of one answer. For indexed steps nIndex is the item's
    // index; for the others the plan counts the step's occurrences itself.
    // Each fault fires once.
    Decision Consult(Step step, int nIndex);
    int Fired() const { return m_nFired; }

  private:
    struct Armed {
        Fault fault;
        bool bFired = false;
    };
    std::vector<Armed> m_armed;
    std::map<Step, int> m_occurrences;
    int m_nFired = 0;
};

class CHandsetContext {
  public:
    CHandsetContext(IHandsetWire& wire, CFaultPlan& faults, CNorFlash& nor, CNandStore& nand,
                    HandsetRecord& record, const HandsetOptions& options);

    // Sends the answer of a step, spoiled if a fault says so; a stop fault
    // silences the handset after it.
    void Answer(Step step, int nIndex, uint8_t byCorrect);
    // The same for a multi-byte answer; a spoil fault changes the byte at
    // nSpoilAt.
    void AnswerBytes(Step step, int nIndex, std::vector<uint8_t> bytes, size_t nSpoilAt);
    // For a step whose failure is an answer of its own (an error reply, not
    // a spoiled byte): the plan is asked first, so the caller can leave undone
    // what the failure says failed, then sends what it chose with Deliver.
    CFaultPlan::Decision Decide(Step step, int nIndex);
    void Deliver(Step step, const CFaultPlan::Decision& d, const std::vector<uint8_t>& bytes);
    // Bytes that are no step's answer (connect requests, refusals).
    void SendRaw(const uint8_t* p, size_t n);
    void SendRaw(uint8_t b) { SendRaw(&b, 1); }

    void Record(HandsetStage stage, uint8_t byCommand);
    void Record(HandsetStage stage, uint8_t byCommand, uint32_t nValue);
    void Notice(const std::string& text);
    void Trace(const std::string& text);

    bool TakeSilenceRequest();

    // Hostile mode: the replies after the flash ID go through pChaos (not
    // owned; null for none). A new boot disarms it.
    void SetChaos(simchaos::IReplyChaos* pChaos) { m_pChaos = pChaos; }
    void DisarmChaos() { m_bChaosArmed = false; }
    // The chaos unplugged the handset: its port must go, and nothing more is sent.
    bool Unplugged() const { return m_bUnplug; }

    IHandsetWire& Wire() { return m_wire; }
    CNorFlash& Nor() { return m_nor; }
    CNandStore& Nand() { return m_nand; }
    HandsetRecord& Rec() { return m_record; }
    const HandsetOptions& Options() const { return m_options; }

  private:
    void Apply(Step step, const CFaultPlan::Decision& d);
    // Every reply leaves through here; the chaos, when armed, may spoil it.
    void Emit(const uint8_t* p, size_t n, const char* pWhat);

    IHandsetWire& m_wire;
    CFaultPlan& m_faults;
    CNorFlash& m_nor;
    CNandStore& m_nand;
    HandsetRecord& m_record;
    const HandsetOptions& m_options;
    bool m_bSilence = false;
    simchaos::IReplyChaos* m_pChaos = nullptr;
    bool m_bChaosArmed = false;
    bool m_bUnplug = false;
};

// A wrong byte for a right one: never equal to it.
inline uint8_t Spoil(uint8_t b) {
    return static_cast<uint8_t>(b ^ 0xFFu);
}

inline uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline uint32_t LittleEndian32(const uint8_t* p) {
    return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

// Collects the argument bytes that follow a command byte.
class CArgCollector {
  public:
    void Begin(uint8_t byCommand, size_t nNeed) {
        m_byCommand = byCommand;
        m_nNeed = nNeed < sizeof m_buf ? nNeed : sizeof m_buf;
        m_nHave = 0;
        m_bActive = true;
    }
    bool Active() const { return m_bActive; }
    // True when this byte completed the argument.
    bool Add(uint8_t b) {
        m_buf[m_nHave++] = b;
        if (m_nHave == m_nNeed) {
            m_bActive = false;
            return true;
        }
        return false;
    }
    void Cancel() { m_bActive = false; }
    uint8_t Command() const { return m_byCommand; }
    const uint8_t* Bytes() const { return m_buf; }

  private:
    uint8_t m_buf[24] = {};
    uint8_t m_byCommand = 0;
    size_t m_nNeed = 0;
    size_t m_nHave = 0;
    bool m_bActive = false;
};

std::string Hex8(uint8_t b);
std::string Hex32(uint32_t v);

}  // namespace orielsim
