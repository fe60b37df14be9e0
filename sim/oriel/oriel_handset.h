#pragma once
// A simulated oriel handset on a pseudo-terminal: the baseband boot ROM, the
// pre-loader and the boot-loader with its 16 MB NOR and its NAND file system,
// as the host sees them on the wire. The host opens the slave side like a serial port; opening it
// powers the handset on, closing it (outside the rate change) powers it off.
//
//   orielsim::HandsetOptions options;
//   options.bPace = false;
//   orielsim::COrielHandset handset(options);
//   std::string error;
//   if (!handset.Start(error)) { ... }
//   ... open handset.SlavePath() (or options.strLinkPath) as the port ...
//   handset.Stop();
//
// The handset runs on its own thread; the accessors below may be called from
// any thread while it runs. fnNotice is called on the handset's thread and
// must not call back into the handset.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/oriel/handset_context.h"
#include "sim/oriel/handset_options.h"

namespace orielsim {

class COrielHandset {
  public:
    explicit COrielHandset(HandsetOptions options);
    ~COrielHandset();  // stops
    COrielHandset(const COrielHandset&) = delete;
    COrielHandset& operator=(const COrielHandset&) = delete;

    // Opens the NOR, the pseudo-terminal and the link, and starts the
    // handset's thread. False with a message on any failure (nothing left
    // behind then).
    bool Start(std::string& error);
    // Stops the thread (promptly), writes the NOR back, removes the link and
    // a temporary NAND directory.
    void Stop();
    bool Running() const;

    // The slave side (/dev/pts/N); empty before Start.
    const std::string& SlavePath() const;

    // --- inspection, safe while running ------------------------------------
    HandsetStage Stage() const;
    bool HostConnected() const;
    int PowerOnCount() const;
    int BootCount() const;           // ROM boots since Start (two per power-on in "Normal")
    int PreloaderWordCount() const;  // 'L' commands taken since Start
    int LastRateIndex() const;       // SPEED index last agreed, -1 before any
    int FaultsFired() const;
    uint8_t RomTimeoutArgument() const;
    size_t BootloaderLength() const;               // announced by the last pre-loader 0xD4
    std::vector<size_t> BootloaderBlocks() const;  // block lengths of that transfer
    bool BootloaderVerified() const;               // the received image was the embedded one
    std::optional<uint32_t> LastCrcAnnounced() const;
    std::optional<uint32_t> LastCrcComputed() const;
    std::vector<CommandRecord> Commands() const;
    void ClearCommands();
    std::vector<std::string> Notices() const;

    // NOR contents from the offset (clamped to the flash).
    std::vector<uint8_t> ReadNor(uint32_t offset, size_t n) const;
    // The directory holding the NAND file system (the temporary one when no
    // directory was given); its metadata file is NandDir() + "/.mfx-meta".
    std::string NandDir() const;
    bool MfxMounted() const;
    std::optional<uint32_t> LastMfxCrcAnnounced() const;  // by the last 0xC9
    std::optional<uint32_t> LastMfxCrcComputed() const;   // over the file data since, at 0xC5
    int MfxFilesWritten() const;
    int NandDumpBlocks() const;  // blocks sent by the last full dump
    // The raw NAND image a full dump would send now, from the offset
    // (clamped to the 0x7D20000 bytes).
    std::vector<uint8_t> NandImage(uint32_t offset, size_t n) const;

    // Test set-up: stores bytes in the NOR as they are.
    bool WriteNor(uint32_t offset, const std::vector<uint8_t>& bytes);

  private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

}  // namespace orielsim
