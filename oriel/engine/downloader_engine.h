#pragma once
// The byte-driven engine behind every boot-loader conversation. It is entered
// once per WM_COMM_RXCHAR, drains the receive ring one byte at a time and hands
// each byte to the handshake (until the flash is identified) or to the handler
// of the current state. Operations plug their state handlers in; the engine
// owns what they share: the start pattern, the reply collector, the open
// files, the times and FinishOperation. Runs on the UI thread only.

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "oriel/engine/engine_states.h"
#include "oriel/engine/file_object.h"
#include "oriel/engine/operation_observer.h"
#include "oriel/engine/output_file.h"
#include "platform/prompts.h"
#include "platform/window_message.h"

namespace platform {
class ITimerService;
}  // namespace platform

namespace oriel {

class CSerialPort;
class IConsoleView;

// Receives the bytes while the flash is not yet identified.
class IHandshake {
  public:
    virtual ~IHandshake() = default;
    virtual void HandshakeByte(uint8_t by) = 0;
};

class CDownloaderEngine {
  public:
    using ByteHandler = std::function<void(uint8_t)>;
    using Action = std::function<void()>;

    CDownloaderEngine(CSerialPort& port, IConsoleView& console, platform::IPrompts& prompts);

    // --- wiring ---
    void SetHandshake(IHandshake* pHandshake) { m_pHandshake = pHandshake; }
    void SetTimers(platform::ITimerService* pTimers);
    void RegisterStateHandler(int32_t nState, ByteHandler handler);
    // The operation's first real command, sent on the boot-loader's answer to 0xD9.
    void RegisterSyncHandler(int32_t nOperation, Action handler);
    // State WAIT_DUMP_BLOCK of an operation: called once per wake-up while bytes are queued.
    void RegisterBlockHandler(int32_t nOperation, Action handler);
    void RegisterTimerHandler(uint32_t nId, Action handler);
    // Extra work of FinishOperation (owners of operation state reset here).
    void SetFinishHook(Action hook) { m_fnFinishHook = std::move(hook); }
    // Told of each operation's start, boxes and end (nullptr: nobody).
    void SetObserver(IOperationObserver* pObserver) { m_pObserver = pObserver; }
    // The clock; tests step it by hand.
    void SetClock(std::function<std::time_t()> clock) { m_fnNow = std::move(clock); }

    // --- entries from the message loop ---
    void OnMessage(const platform::WindowMessage& msg);
    void OnCommRxChar(uintptr_t wParam, intptr_t lParam);
    void OnTimer(uint32_t nId);

    // --- what operations use ---
    // Start pattern: operation code, start time, WAIT_SYNC, 0xD9, controls locked.
    // The caller has already prepared its fields, progress and log heading.
    void StartOperation(int32_t nOperation);
    void FinishOperation();
    void Send(const uint8_t* pData, size_t n);
    void SendByte(uint8_t by);
    void SendBe32(uint32_t v);  // returns nothing; m_byExpected is the caller's
    void Log(const std::string& text);
    void Message(const std::string& text, platform::MsgIcon icon = platform::MsgIcon::None);
    // Collects a fixed-length reply across wake-ups; true when n bytes are in.
    bool CollectReply(uint8_t by, int32_t n);
    void ResetReply() { m_nReplyCount = 0; }
    const uint8_t* Reply() const { return m_abReply.data(); }
    int32_t ReplyCount() const { return m_nReplyCount; }
    std::time_t Now() const { return m_fnNow(); }
    // Sets m_tEnd and m_tsElapsed and logs the three time lines.
    void LogTimes(const char* startFmt, const char* endFmt, const char* spanFmt);

    CSerialPort& Port() { return m_port; }
    IConsoleView& Console() { return m_console; }
    platform::IPrompts& Prompts() { return m_prompts; }
    platform::ITimerService* Timers() { return m_pTimers; }

    // --- engine fields ---
    int32_t m_nState = STATE_NONE;
    int32_t m_nOperation = 0;
    int32_t m_bIdentified = 0;
    uint8_t m_byExpected = 0;
    std::time_t m_tStart = 0;
    std::time_t m_tEnd = 0;
    int64_t m_tsElapsed = 0;
    int32_t m_nProgress = 0;
    // The state the last reply byte was taken in (never IDLE): which step a
    // failure happened at, for reports.
    int32_t m_nLastWaitState = STATE_NONE;

    static constexpr size_t kReplyMax = 44;

    // The three files operations keep open; FinishOperation closes them.
    CFileObject m_fileBin;
    CFileObject m_fileMfx;
    COutputFile m_fileDump;  // whole under its name only when complete
    int32_t m_bBinFileOpen = 0;
    int32_t m_bMfxFileOpen = 0;
    int32_t m_bDumpFileOpen = 0;
    void CloseOpenFiles();

  private:
    void HandleByte(uint8_t by);

    CSerialPort& m_port;
    IConsoleView& m_console;
    platform::IPrompts& m_prompts;
    platform::ITimerService* m_pTimers = nullptr;
    IHandshake* m_pHandshake = nullptr;
    IOperationObserver* m_pObserver = nullptr;

    std::array<ByteHandler, kStateCount> m_afnState{};
    std::array<Action, kOperationCount> m_afnSync{};
    std::array<Action, kOperationCount> m_afnBlock{};
    Action m_fnFinishHook;
    std::array<Action, 8> m_afnTimer{};
    std::function<std::time_t()> m_fnNow;

    std::array<uint8_t, kReplyMax> m_abReply{};
    int32_t m_nReplyCount = 0;
};

}  // namespace oriel
