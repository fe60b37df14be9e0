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

namespace {

void PostText(platform::IMessageSink* pWindow, uint32_t nMsg, int nSlot, uint32_t nArgument,
              const std::string& text) {
    if (pWindow == nullptr) {
        return;
    }
    char* copy = new (std::nothrow) char[text.size() + 1];
    if (copy == nullptr) {
        platform::Diag("slot", "no memory for a slot log text");
        return;
    }
    std::memcpy(copy, text.c_str(), text.size() + 1);
    PostSlotMessage(pWindow, nMsg, reinterpret_cast<uintptr_t>(copy),
                    MakeSlotLParam(nSlot, nArgument));
}

}  // namespace

void PostSlotLog(platform::IMessageSink* pWindow, int nSlot, const std::string& text) {
    PostText(pWindow, WM_SLOT_LOG, nSlot, 0, text);
}

void PostWindowText(platform::IMessageSink* pWindow, int nSlot, uint32_t nKind,
                    const std::string& text) {
    PostText(pWindow, WM_WINDOW_TEXT, nSlot, nKind, text);
}

std::unique_ptr<char[]> AdoptSlotLogText(const platform::WindowMessage& msg) {
    if ((msg.nMsg != WM_SLOT_LOG && msg.nMsg != WM_WINDOW_TEXT) || msg.wParam == 0) {
        return nullptr;
    }
    return std::unique_ptr<char[]>(reinterpret_cast<char*>(msg.wParam));
}

}  // namespace fleet
