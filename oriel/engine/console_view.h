#pragma once
// What the engine shows: the log, the progress bar, the FLASH ID box and the
// enabling of the operation controls. The dialog, the command line and the
// tests each implement it.

#include <cstdint>
#include <string>

namespace oriel {

class IConsoleView {
  public:
    virtual ~IConsoleView() = default;
    virtual void AppendLog(const std::string& text) = 0;
    virtual void ReplaceLog(const std::string& text) = 0;
    virtual void SetProgressRange(int32_t nMax) = 0;
    virtual void SetProgressPos(int32_t nPos) = 0;
    virtual void SetFlashId(const std::string& text) = 0;
    // Operation start: lock the operation controls.
    virtual void DisableControls() = 0;
    // End of an operation: enable them again as the tab and download type allow.
    virtual void EnableOperationControls() = 0;
    // START and Stop: the connection controls (port, speed, mode lists, START,
    // Stop, the tab and the two check boxes) change sides.
    virtual void ConnectionStarted() {}
    virtual void ConnectionStopped() {}
};

// A console that keeps what it was told: the command line and the tests use it.
class CRecordingConsole : public IConsoleView {
  public:
    void AppendLog(const std::string& text) override;
    void ReplaceLog(const std::string& text) override;
    void SetProgressRange(int32_t nMax) override { m_nProgressMax = nMax; }
    void SetProgressPos(int32_t nPos) override;
    void SetFlashId(const std::string& text) override { m_strFlashId = text; }
    void DisableControls() override {
        m_bControlsEnabled = false;
        ++m_nDisableCount;
    }
    void EnableOperationControls() override {
        m_bControlsEnabled = true;
        ++m_nEnableCount;
    }
    void ConnectionStarted() override { m_bConnected = true; }
    void ConnectionStopped() override {
        m_bConnected = false;
        m_bControlsEnabled = false;
    }

    // Optional echo of every appended text (e.g. to stdout).
    void (*m_pfnEcho)(const std::string& text, void* ctx) = nullptr;
    void* m_pEchoCtx = nullptr;

    std::string m_strLog;
    int32_t m_nProgressMax = 0;
    int32_t m_nProgressPos = 0;
    int32_t m_nProgressUpdates = 0;
    std::string m_strFlashId;
    bool m_bControlsEnabled = true;
    int m_nDisableCount = 0;
    int m_nEnableCount = 0;
    bool m_bConnected = false;
};

}  // namespace oriel
