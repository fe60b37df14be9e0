#pragma once
// Simulated fleet handsets on pseudo-terminals. Each handset publishes its PDA
// interface as a by-id style link in a folder; after it is told to switch to
// the modem it removes that link and, a moment later, publishes the modem
// port's link. What the host writes is kept per handset in a store folder
// (RAM, EBOOT, the PDA image, the modem areas, a log, the record of what it
// received) for comparison with the images and the wire rules.
//
//   fleetsim::FleetOptions options;
//   options.strDir = dir;  options.strStoreDir = store;  options.nCount = 2;
//   fleetsim::CHandsetFleet fleet(options);
//   std::string error;
//   if (!fleet.Start(error)) { ... }
//   ... open fleet.Handset(0).PdaLinkPath() like the PDA interface ...
//   fleet.Stop();
//
// Each handset runs on its own thread; the accessors may be called from any
// thread while it runs. The log callback runs on the handset's thread and must
// not call back into the handset.

#include <memory>

#include <string>
#include <vector>
#include "sim/common/reply_chaos.h"

#include "sim/fleet/bin_stream.h"
#include "sim/fleet/fleet_options.h"
#include "sim/fleet/modem_side.h"
#include "sim/fleet/pda_side.h"

namespace fleetsim {

enum class HandsetStage {
    Stopped,
    Pda,        // the PDA interface is published
    Switching,  // told to switch: the PDA link is gone, the modem's is not there yet
    Modem,      // the modem port is published
    Silent,     // a silent fault fired: nothing is answered any more
    Unplugged,  // both links gone, both ports hung up
};
const char* HandsetStageName(HandsetStage stage);

class CSimHandset {
  public:
    struct Config {
        int nNumber = 1;  // from 1
        std::string strSerial;
        std::string strDir;       // where the links go
        std::string strStoreDir;  // this handset's own store folder; empty: memory only
        HandsetSettings settings;
        std::vector<Fault> faults;  // only those for this handset
        // Faults on the replies after the detection handshake; null: none.
        std::shared_ptr<simchaos::IReplyChaos> pChaos;
        std::function<void(int nHandset, const std::string& line, bool bNotice)> fnLog;
    };

    explicit CSimHandset(Config config);
    ~CSimHandset();  // stops
    CSimHandset(const CSimHandset&) = delete;
    CSimHandset& operator=(const CSimHandset&) = delete;

    // Opens the stores, publishes the PDA link and starts the thread.
    bool Start(std::string& error);
    // Stops the thread, removes the links, hangs up the ports, closes the stores.
    void Stop();

    int Number() const;
    const std::string& Serial() const;
    std::string PdaLinkPath() const;
    std::string ModemLinkPath() const;
    const std::string& StoreDir() const;
    // The pseudo-terminal slaves (/dev/pts/N); empty when the port is gone or
    // not there yet.
    std::string PdaSlavePath() const;
    std::string ModemSlavePath() const;

    // --- inspection, safe while running ------------------------------------
    HandsetStage Stage() const;
    bool PdaHostConnected() const;
    bool ModemHostConnected() const;
    PdaRecord Pda() const;
    StreamRecord Stream() const;
    ModemRecord Modem() const;
    std::vector<uint8_t> ReadRam(uint64_t nAddress, size_t n) const;
    std::vector<uint8_t> ReadFlash(uint64_t nAddress, size_t n) const;
    // The EBOOT partition and the operating-system partition, each from its
    // first byte up to the highest one programmed (what eboot.bin and
    // pda_flash.bin hold).
    std::vector<uint8_t> Eboot() const;
    std::vector<uint8_t> PdaImage() const;
    std::vector<uint8_t> ReadModem(uint64_t nAddress, size_t n) const;
    // What was written into the area opened at nStart (what modem/<START>.bin
    // holds); empty when no such area was opened.
    std::vector<uint8_t> ModemArea(uint64_t nStart) const;
    std::vector<std::string> Log() const;
    // Every handshake, PDA command and modem frame received, in order (runs
    // of RAM packets, stream packets and data blocks one entry each); the
    // store's received.txt holds them once the handset has stopped.
    std::vector<std::string> Received() const;
    int FaultsFired() const;

    // --- faults on demand --------------------------------------------------
    void AddFault(const Fault& fault);
    // Takes effect on the handset's thread; returns once it has.
    void Unplug();
    void GoSilent();

  private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

class CHandsetFleet {
  public:
    explicit CHandsetFleet(FleetOptions options);
    ~CHandsetFleet();
    CHandsetFleet(const CHandsetFleet&) = delete;
    CHandsetFleet& operator=(const CHandsetFleet&) = delete;

    // Creates the folders, starts every handset. False with a message when
    // any cannot start (none is left running then).
    bool Start(std::string& error);
    void Stop();

    int Count() const { return static_cast<int>(m_handsets.size()); }
    // i from 0.
    CSimHandset& Handset(int i) { return *m_handsets.at(static_cast<size_t>(i)); }
    const FleetOptions& Options() const { return m_options; }

  private:
    FleetOptions m_options;
    std::vector<std::unique_ptr<CSimHandset>> m_handsets;
};

}  // namespace fleetsim
