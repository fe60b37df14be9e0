#pragma once
// Configuration of the simulated fleet handsets: where their ports appear,
// where their stores go, how fast they talk, how they answer and which faults
// they commit. Shared by the program's command line and the in-process API.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/common/reply_chaos.h"
#include "sim/fleet/fault_plan.h"
#include "sim/fleet/sim_types.h"

namespace fleetsim {

// How the modem acknowledges: a frame 7E 02 FCS 7E, the bare byte 02, or the
// letters "OK". Refusals are 7E 03 FCS 7E, or the bare byte 03 in bare style.
enum class AnswerStyle { Framed, Bare, Ok };

struct HandsetSettings {
    // Bytes per second each port takes in and sends; 0: as fast as the host.
    uint64_t nPaceBytesPerSecond = 0;
    // Flash bytes programmed per O K U P.
    uint32_t nAckBlock = kDefaultAckBlock;
    // From PDA_SWITCH_TO_PHONE until the modem port's link appears.
    int nModemDelayMs = 500;
    bool bNoModem = false;
    // The device works this long before the second reply of a checksum
    // verification or a signature check.
    int nVerifyDelayMs = 500;
    int nSignatureDelayMs = 500;
    AnswerStyle answers = AnswerStyle::Framed;
};

struct FleetOptions {
    // Folder the port links appear in (created if missing).
    std::string strDir;
    // Per-handset stores go to strStoreDir/<SERIAL>/ (created if missing).
    std::string strStoreDir;
    int nCount = 1;
    // Serials are the prefix and a 4-digit handset number: FSIM0001, ...
    std::string strSerialPrefix = "FSIM";
    HandsetSettings settings;
    std::vector<Fault> faults;
    // Hostile handsets: seeded random faults on each handset's replies after
    // its detection handshake (a stream of its own per handset), and a late
    // or missing modem port.
    simchaos::ChaosOptions chaos;
    // Every log line of every handset (handset numbers from 1), on the
    // handset's thread; bNotice marks refusals, faults and link changes.
    std::function<void(int nHandset, const std::string& line, bool bNotice)> fnLog;
};

constexpr int kMaxHandsets = 64;
// Slower than this, a block would trickle in with gaps the modem takes for
// the end of the host's input.
constexpr uint64_t kMinPaceBytesPerSecond = 1000;

// The link names of handset nHandset (from 1).
std::string HandsetSerial(const std::string& strPrefix, int nHandset);
std::string PdaLinkName(const std::string& strSerial);
std::string ModemLinkName(const std::string& strSerial);

struct FleetCommandLine {
    FleetOptions options;
    bool bVerbose = false;
    bool bHelp = false;
};

// False with a message on anything it does not understand.
bool ParseFleetCommandLine(const std::vector<std::string>& args, FleetCommandLine& out,
                           std::string& error);
const char* FleetUsage();

}  // namespace fleetsim
