#pragma once
// The faults a simulated handset can be told to commit, and the plan that
// decides, item by item, whether one fires.

#include <optional>
#include <string>
#include <vector>

namespace fleetsim {

// Every item a handset takes in at which a fault can strike. The index of a
// fault names which one (see StepIndexMeaning).
enum class Step {
    // PDA link
    Okud,       // the answer to a detection handshake     (index: handshake since start)
    Ram,        // a PDA_WRITE_RAM packet                  (index: packet since start)
    Ack,        // a flash-programming acknowledgement     (index: block within its run)
    Checksum,   // the result of a checksum verification   (index: verification since start)
    Signature,  // the result of a signature check         (index: check since start)
    Stream,     // a packet of a B000FF stream             (index: packet within the stream)
    // modem link
    Greeting,    // a 0xA0 frame                 (index: greeting frame since start)
    Open,        // a 0xEF area-open frame       (index: area-open frame since start)
    EfsErase,    // a 0xE0 frame                 (index: EFS-erase frame since start)
    ParamBlock,  // a 0xFF parameter-block frame (index: such frame since start)
    Block,       // a 1024-byte data block       (index: block within its area)
    Launch,      // a 0xC0 frame                 (index: launch frame since start)
};

const char* StepName(Step step);
std::optional<Step> StepFromName(const std::string& name);
const std::vector<Step>& AllSteps();
// Whether the step has an answer that can be made wrong.
bool StepHasAnswer(Step step);

struct Fault {
    enum class Kind {
        // The answer is wrong: "FAIL" for an acknowledgement, "OKUX" for the
        // handshake, checksum + 1, signature 0; on the modem link a
        // non-acknowledgement, repeated for the host's immediate retries of
        // the same frame.
        Wrong,
        // The item is dropped and the handset answers nothing more, on either
        // link, until it is stopped.
        Silent,
        // The item is dropped and the handset is unplugged: its links vanish
        // and its ports hang up.
        Unplug,
    };
    Kind kind = Kind::Wrong;
    Step step = Step::Okud;
    int nIndex = 0;
    // 1-based handset number the fault applies to; 0: every handset.
    int nHandset = 0;
};

const char* FaultKindName(Fault::Kind kind);

// "STEP", "STEP:N", "STEP@H" or "STEP:N@H". False with a message when the step
// is unknown, a number is malformed, or a wrong answer is asked of a step that
// has none.
bool ParseFault(Fault::Kind kind, const std::string& text, Fault& fault, std::string& error);
std::string DescribeFault(const Fault& fault);

class CFaultPlan {
  public:
    CFaultPlan() = default;
    explicit CFaultPlan(const std::vector<Fault>& faults);

    void Add(const Fault& fault);

    struct Decision {
        bool bWrong = false;
        bool bSilent = false;
        bool bUnplug = false;
        bool Any() const { return bWrong || bSilent || bUnplug; }
    };
    // The fate of item nIndex of the step. Each fault fires once.
    Decision Consult(Step step, int nIndex);
    int Fired() const { return m_nFired; }

  private:
    struct Armed {
        Fault fault;
        bool bFired = false;
    };
    std::vector<Armed> m_armed;
    int m_nFired = 0;
};

}  // namespace fleetsim
