#pragma once
// Configuration of the simulated oriel handset: where its port appears, where
// its NOR and its NAND file system live, which flash it reports, line pacing
// and the faults it is told to commit. Shared by the program's command line and the in-process API.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/common/reply_chaos.h"

namespace orielsim {

using FlashId = std::array<uint8_t, 8>;

// The two parts the downloader recognises (manufacturer, DevID1..3, each high
// byte first).
constexpr FlashId kFlashIdNC0{0x00, 0x01, 0x22, 0x7E, 0x22, 0x31, 0x22, 0x00};
constexpr FlashId kFlashIdPC0{0x00, 0x01, 0x22, 0x7E, 0x22, 0x44, 0x22, 0x00};

// Every step at which the handset answers the host. A fault names one of them.
enum class Step {
    Grant,            // 0x44 answering the host's 0x44
    Challenge,        // the 16 challenge bytes answering 0x51
    IdAck,            // 'O' answering the 21-byte customer-ID message
    TimeoutAck,       // 'O' answering 'T'
    LoadAddrAck,      // 'O' answering the 'S' before the pre-loader words
    PreloaderWord,    // 'O' answering an 'L' word            (index: word 0..464)
    StartAddrAck,     // 'O' answering the 'S' after the words
    PreloaderReady,   // 0xAB once the pre-loader runs
    RateSync,         // the SPEED index answering 0xD9 after the rate change
    LengthSum,        // sum answering the pre-loader's 0xD4
    DmaReady,         // 0xF7 answering 0xF7                  (index: block)
    BlockSum,         // sum of a boot-loader block           (index: block)
    BootloaderReady,  // 0xAB once the boot-loader runs
    Cs0Sum,           // sum answering 0xD0
    FlashIdReply,     // the 8 flash-ID bytes answering 0xD1
    Sync,             // the byte answering the boot-loader's 0xD9
    CrcSum,           // sum answering 0xC8
    OffsetSum,        // sum answering 0xD3
    NorLengthSum,     // sum answering the boot-loader's 0xD4
    ChunkAck,         // the byte acknowledging a 2048-byte chunk (index: chunk in its sector)
    SectorSum,        // sum of a written sector              (index: sector 0..133)
    DownloadEnd,      // 0xC6 answering 0xC6
    EraseSum,         // sum answering 0xD5                   (index: sector 0..133)
    DumpSum,          // check byte of a dump block           (index: block since boot-loader start)
    // The NAND file system. "Since the mount" counts from the last 0xDA.
    MountAck,       // 0xDA answering 0xDA (wrong: the mount is refused)
    MfxCrcSum,      // sum answering 0xC9
    TimeSum,        // sum answering the time record
    DirSum,         // sum of a directory request        (index: directory since the mount)
    DirAck,         // 0xDC once the directory exists     (index: directory since the mount)
    VersionAck,     // 0xE3 answering the project version
    ReleaseAck,     // 0xE3 answering 0xF5 or 0xF6
    FileHeaderSum,  // sum of a file header               (index: file since the mount)
    MfxChunkSum,    // sum of a file's data chunk          (index: chunk since the mount)
    FileAck,        // 0xDF after a file's last chunk      (index: file since the mount)
    CompleteAck,    // 0xC5 answering 0xC5
    UnmountAck,     // 0xE4 answering 0xE4
    FormatResult,   // 0xE1 after 0xE0 (wrong: the error reply 0xF2 and the 5 error bytes)
    StatusResult,   // 0xED and the status record (wrong: 0xF3 and the 5 error bytes)
    ListEnd,        // 0xE7 ending a listing (wrong: 0xE6, the listing failed)
    ReadSize,       // 0xE9 and the size answering 0xE8
    ReadChunkSum,   // check byte of a file chunk read back (index: chunk within the file)
    DeleteAck,      // 0xEE answering 0xEE
    FileStatus,     // 0xF1 and the 28-byte record answering 0xF0
    NandDumpStart,  // 0xC1 answering 0xC0
    NandDumpSum,    // check byte of a NAND dump block    (index: block 0..64063)
    NandDumpEnd,    // 0xC3 after the last NAND dump block
};

// Name used on the command line ("block-sum"), and its inverse.
const char* StepName(Step step);
std::optional<Step> StepFromName(const std::string& name);
// Whether the index of a fault on this step is the item's own index (word,
// block, sector) rather than the step's occurrence since the start.
bool StepIsIndexed(Step step);
// All steps, in protocol order.
const std::vector<Step>& AllSteps();

struct Fault {
    enum class Kind {
        WrongReply,  // the answer of that step is replaced by a wrong byte
        StopAfter,   // after answering that step the handset goes silent until power-off
    };
    Kind kind = Kind::WrongReply;
    Step step = Step::Grant;
    // Which one: for indexed steps the word/block/sector index, otherwise the
    // step's occurrence counted from 0 since the simulator started. Each fault
    // fires once.
    int nIndex = 0;
};

// Parses "STEP" or "STEP:N" (e.g. "block-sum:3"). False with a message when
// the step is unknown, N is not a number, or the fault makes no sense
// (a wrong challenge cannot be told from a right one).
bool ParseFault(Fault::Kind kind, const std::string& text, Fault& fault, std::string& error);

// "NC0", "PC0" or 16 hex digits (first byte first).
bool ParseFlashId(const std::string& text, FlashId& id, std::string& error);

struct HandsetOptions {
    // Symbolic link made to the pseudo-terminal's slave side; empty for none
    // (tests then use SlavePath()). An existing symbolic link is replaced, any
    // other file is refused.
    std::string strLinkPath;
    // NOR contents: a 16 MB file (created 0xFF-filled if missing or empty,
    // written through), or an in-memory NOR when empty.
    std::string strNorFile;
    // The NAND file system: its directories and files are kept under this
    // directory (created if missing), with the metadata file ".mfx-meta" in
    // it. Empty: a fresh temporary directory, removed at Stop.
    std::string strNandDir;
    FlashId flashId = kFlashIdNC0;
    // Send no faster than the line rate allows, and take in the host's bytes
    // no faster than they would arrive on the wire.
    bool bPace = true;
    std::vector<Fault> faults;
    // Hostile mode: seeded random faults on the replies once the flash is
    // identified (until the next boot), each one a notice.
    simchaos::ChaosOptions chaos;

    // Boot ROM: interval of the connect request 0x81 until the host answers.
    int nConnectIntervalMs = 50;
    // Pre-loader on the first boot of a power-on: how long it waits for the
    // rate byte before the chip reboots (the host in Mode "Normal" sends none).
    int nRateByteWaitMs = 300;
    // Longest time the port may stay closed around a rate change before the
    // handset counts it as powered off.
    int nRateChangeWindowMs = 10000;

    // Notable events (refusals, checksum or CRC mismatches, power changes).
    // Always also sent to the diagnostics logger under "sim".
    std::function<void(const std::string&)> fnNotice;
};

}  // namespace orielsim
