#include "platform/diag_log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace platform {

namespace {
std::atomic<int> g_nDiag{-1};  // -1: not yet read from the environment
std::mutex g_diagLock;
}  // namespace

void DiagEnable(bool bOn) {
    g_nDiag = bOn ? 1 : 0;
}

bool DiagEnabled() {
    int v = g_nDiag.load();
    if (v < 0) {
        const char* env = std::getenv("ORIEL_TRACE");
        v = (env != nullptr && *env != '\0' && *env != '0') ? 1 : 0;
        g_nDiag = v;
    }
    return v == 1;
}

void Diag(const char* subsystem, const std::string& text) {
    if (!DiagEnabled()) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_diagLock);
    std::fprintf(stderr, "[%s] %s\n", subsystem, text.c_str());
}

}  // namespace platform
