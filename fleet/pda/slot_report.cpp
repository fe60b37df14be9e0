#include "fleet/pda/slot_report.h"

#include "fleet/transport/slot_context.h"
#include "fleet/transport/slot_messages.h"

namespace fleet {

CSlotReporter::CSlotReporter(platform::IMessageSink* pWindow, int nSlot)
    : m_pWindow(pWindow), m_nSlot(nSlot) {}

CSlotReporter::CSlotReporter(const SlotContext& ctx) : CSlotReporter(ctx.pWindow, ctx.nSlot) {}

void CSlotReporter::Post(uint32_t nMsg, uint32_t nCode, uint32_t nArgument) {
    PostSlotMessage(m_pWindow, nMsg, nCode, MakeSlotLParam(m_nSlot, nArgument));
    m_nLastMsg = nMsg;
    m_nLastCode = nCode;
    m_nLastArgument = nArgument;
}

void CSlotReporter::Pda(uint32_t nCode, uint32_t nArgument) {
    Post(WM_PDA_PROGRESS, nCode, nArgument);
}

void CSlotReporter::PdaProgress(uint32_t nCode, uint32_t nPercent) {
    if (m_nLastMsg == WM_PDA_PROGRESS && m_nLastCode == nCode && m_nLastArgument == nPercent) {
        return;
    }
    Post(WM_PDA_PROGRESS, nCode, nPercent);
}

void CSlotReporter::Phone(uint32_t nCode, uint32_t nArgument) {
    Post(WM_PHONE_PROGRESS, nCode, nArgument);
}

void CSlotReporter::PhoneProgress(uint32_t nPercent) {
    if (m_nLastMsg == WM_PHONE_PROGRESS && m_nLastCode == kPhoneWriteProgress &&
        m_nLastArgument == nPercent) {
        return;
    }
    Post(WM_PHONE_PROGRESS, kPhoneWriteProgress, nPercent);
}

void CSlotReporter::Log(const std::string& text) {
    PostSlotLog(m_pWindow, m_nSlot, text);
    m_nLastMsg = WM_SLOT_LOG;
}

void CSlotReporter::MainLog(const std::string& text) {
    PostWindowText(m_pWindow, m_nSlot, kWindowTextLog, text);
    m_nLastMsg = WM_WINDOW_TEXT;
}

void CSlotReporter::MessageBox(const std::string& text) {
    PostWindowText(m_pWindow, m_nSlot, kWindowTextBox, text);
    m_nLastMsg = WM_WINDOW_TEXT;
}

}  // namespace fleet
