#pragma once
// How a worker tells the window what its slot is doing: PDA and phone codes
// with their argument, and slot-log texts, all through PostSlotMessage.
// Progress codes repeat their percentage for every packet or block; a value
// already shown is not posted again, so a 64 MB transfer does not flood the
// window with tens of thousands of identical messages.

#include <cstdint>
#include <string>

namespace platform {
class IMessageSink;
}  // namespace platform

namespace fleet {

struct SlotContext;

class CSlotReporter {
  public:
    CSlotReporter(platform::IMessageSink* pWindow, int nSlot);
    explicit CSlotReporter(const SlotContext& ctx);

    void Pda(uint32_t nCode, uint32_t nArgument = 0);
    void PdaProgress(uint32_t nCode, uint32_t nPercent);
    void Phone(uint32_t nCode, uint32_t nArgument = 0);
    void PhoneProgress(uint32_t nPercent);
    // WM_SLOT_LOG with a copy of the text.
    void Log(const std::string& text);
    // A line of the window's shared log; a message box for the operator.
    void MainLog(const std::string& text);
    void MessageBox(const std::string& text);

    int Slot() const { return m_nSlot; }

  private:
    void Post(uint32_t nMsg, uint32_t nCode, uint32_t nArgument);

    platform::IMessageSink* m_pWindow;
    int m_nSlot;
    // The last message posted, to drop an identical progress message.
    uint32_t m_nLastMsg = 0;
    uint32_t m_nLastCode = 0;
    uint32_t m_nLastArgument = 0;
};

}  // namespace fleet
