#pragma once
// What the handset gives each of its two sides (PDA, modem): the port to
// answer on, the log, the fault plan and the switch between the two.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/fleet/fault_plan.h"
#include "sim/fleet/fleet_options.h"
#include "sim/fleet/received_log.h"

namespace fleetsim {

class ISideHost {
  public:
    virtual ~ISideHost() = default;
    virtual void Send(const uint8_t* p, size_t n) = 0;
    void Send(const std::vector<uint8_t>& bytes) { Send(bytes.data(), bytes.size()); }
    // Progress and decisions worth keeping.
    virtual void Log(const std::string& text) = 0;
    // Refusals of bad input, faults: always reported.
    virtual void Notice(const std::string& text) = 0;
    // The fate of item nIndex of the step. A silent or unplug decision has
    // taken effect when this returns: the side must drop the item and stop.
    virtual CFaultPlan::Decision Consult(Step step, int nIndex) = 0;
    virtual bool Halted() const = 0;
    // The PDA side was told to switch the USB connection to the modem.
    virtual void SwitchToModem() = 0;
    virtual const HandsetSettings& Settings() const = 0;
    // Everything the handset received, in order; each side adds to it.
    virtual CReceivedLog& Received() = 0;
};

std::string Hex32(uint64_t v);

}  // namespace fleetsim
