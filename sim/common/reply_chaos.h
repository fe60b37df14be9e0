#pragma once
// Hostile handsets: what may happen to a simulated handset's replies on their
// way to the host, decided reply by reply. The simulators decide where it
// applies (after the flash is identified, after the detection handshake) and
// trace every fault it commits; the seeded kind makes the same faults again
// from the same seed, so a run that went wrong can be repeated.

#include <cstdint>
#include <string>
#include <vector>

namespace simchaos {

enum class Fault {
    None,
    FlipBit,  // one bit of one byte inverted
    Drop,     // the reply never leaves
    Extra,    // a byte more after it
    Cut,      // only the first bytes of a multi-byte reply
    Unplug,   // the reply never leaves, and the port goes away
};
const char* FaultName(Fault fault);

class IReplyChaos {
  public:
    virtual ~IReplyChaos() = default;
    // The fate of one reply: changes it in place (Drop and Unplug empty it)
    // and says what was done in strTrace (left empty for None).
    virtual Fault OnReply(std::vector<uint8_t>& reply, std::string& strTrace) = 0;
    // How late the modem port appears after the switch, in ms: nUsualMs, a
    // later time, or -1 for never.
    virtual int ModemPortDelay(int nUsualMs, std::string& strTrace) {
        strTrace.clear();
        return nUsualMs;
    }
};

// Each reply meets a fault with probability dRate; the modem port is late or
// missing with the same probability. The same seed gives the same faults for
// the same conversation.
class CSeededChaos : public IReplyChaos {
  public:
    CSeededChaos(uint64_t nSeed, double dRate);

    Fault OnReply(std::vector<uint8_t>& reply, std::string& strTrace) override;
    int ModemPortDelay(int nUsualMs, std::string& strTrace) override;

    // Another stream from the same seed (one per handset of a fleet).
    static uint64_t Derive(uint64_t nSeed, uint64_t nStream);

  private:
    uint64_t Next();
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(Next() % n); }

    uint64_t m_nState;
    double m_dRate;
    uint64_t m_nReplies = 0;
};

// "--chaos SEED [--chaos-rate P]" of both simulators: true when the option at
// args[i] is one of them (i is moved past its value); false with error set
// for a bad value.
struct ChaosOptions {
    bool bOn = false;
    uint64_t nSeed = 0;
    double dRate = 0.02;
};
bool ParseChaosOption(const std::vector<std::string>& args, size_t& i, ChaosOptions& options,
                      std::string& error, bool& bTaken);
// The options' lines of a usage text, a literal to go inside another.
#define SIMCHAOS_USAGE                                                                \
    "  --chaos SEED           after the connection is set up, commit seeded random\n" \
    "                         faults on replies (flipped bit, dropped reply, extra\n" \
    "                         byte, cut reply, unplug), each traced on stderr\n"      \
    "  --chaos-rate P         probability of a fault per reply (default 0.02)\n"

}  // namespace simchaos
