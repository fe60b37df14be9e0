#include "fleet/transport/slot_messages.h"

#include <cstring>
#include <new>

#include "platform/diag_log.h"

namespace fleet {

std::mutex g_postLock;

void PostSlotMessage(platform::IMessageSink* pWindow, uint32_t nMsg, uintptr_t nCode,
                     intptr_t lParam) {
    if (pWindow == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_postLock);
    pWindow->PostMessage(nMsg, nCode, lParam);
}

void PostSlotLog(platform::IMessageSink* pWindow, int nSlot, const std::string& text) {
    if (pWindow == nullptr) {
        return;
    }
    char* copy = new (std::nothrow) char[text.size() + 1];
    if (copy == nullptr) {
        platform::Diag("slot", "no memory for a slot log text");
        return;
    }
    std::memcpy(copy, text.c_str(), text.size() + 1);
    PostSlotMessage(pWindow, WM_SLOT_LOG, reinterpret_cast<uintptr_t>(copy),
                    MakeSlotLParam(nSlot, 0));
}

std::unique_ptr<char[]> AdoptSlotLogText(const platform::WindowMessage& msg) {
    if (msg.nMsg != WM_SLOT_LOG || msg.wParam == 0) {
        return nullptr;
    }
    return std::unique_ptr<char[]>(reinterpret_cast<char*>(msg.wParam));
}

}  // namespace fleet
