#pragma once
// One connection to one handset, as the console runs it: START opens the port
// and starts the handshake, Stop ends everything. It owns the engine and the
// handshake; the dialog, the command line and the tests each drive one and
// give it their view, prompts and timers. No widget code here.

#include <functional>

#include "oriel/boot/boot_handshake.h"
#include "oriel/engine/downloader_engine.h"
#include "oriel/engine/nor_download.h"
#include "oriel/engine/nor_dump.h"
#include "oriel/engine/nor_erase.h"
#include "oriel/engine/nor_verify.h"
#include "oriel/link/serial_port.h"
#include "oriel/mfx/mfx_download.h"
#include "oriel/mfx/mfx_package.h"
#include "oriel/mfx/nand_ops.h"
#include "oriel/ui/operation_journal.h"
#include "platform/holding_prompts.h"

namespace oriel {

class CDownloaderSession {
  public:
    using Action = std::function<void()>;

    CDownloaderSession(CSerialPort& port, IConsoleView& console, platform::IPrompts& prompts,
                       platform::ITimerService* pTimers);
    CDownloaderSession(const CDownloaderSession&) = delete;
    CDownloaderSession& operator=(const CDownloaderSession&) = delete;

    // START: false (after its message box) when the port cannot be set up.
    bool Start(const HandshakeSettings& settings);
    // Stop: closes the connection; does nothing when there is none.
    void Stop();
    // A connection is up from START to Stop, including the moment of the rate
    // change when the port itself is closed.
    bool IsConnected() const;

    // Receive wake-ups go to the engine, or to whoever has taken them over
    // (the MFX explorer while it is open).
    // While a prompt is open they wait, and come again when it has returned.
    void OnMessage(const platform::WindowMessage& msg);
    // onLost: the port went away while taken over (before the session stops).
    void TakeOverReceive(Action onRx, Action onLost = nullptr) {
        m_fnRxOverride = std::move(onRx);
        m_fnLostOverride = std::move(onLost);
    }
    void GiveBackReceive() {
        m_fnRxOverride = nullptr;
        m_fnLostOverride = nullptr;
    }
    bool ReceiveTakenOver() const { return static_cast<bool>(m_fnRxOverride); }

    // Extra work of START (operation fields) and of Stop (held texts).
    void SetStartHook(Action hook) { m_fnStartHook = std::move(hook); }
    void SetStopHook(Action hook) { m_fnStopHook = std::move(hook); }

    // Every prompt of the connection goes through these.
    platform::CHoldingPrompts& Prompts() { return m_prompts; }
    CDownloaderEngine& Engine() { return m_engine; }
    CBootHandshake& Handshake() { return m_handshake; }
    CNorDownload& Download() { return m_download; }
    CNorErase& Erase() { return m_erase; }
    CNorDump& Dump() { return m_dump; }
    CNorVerify& Verify() { return m_verify; }
    CMfxPackage& Package() { return m_package; }
    CMfxDownload& Mfx() { return m_mfx; }
    CNandOps& Nand() { return m_nand; }
    CSerialPort& Port() { return m_port; }
    // The flash history of this connection's operations (and explorer
    // transfers: give it to the explorer as its transfer observer).
    COperationJournal& Journal() { return m_journal; }

  private:
    CSerialPort& m_port;
    COperationJournal m_journal;  // between the engine and the console
    IConsoleView& m_console;
    platform::ITimerService* m_pTimers;
    platform::CHoldingPrompts m_prompts;
    CDownloaderEngine m_engine;
    CBootHandshake m_handshake;
    CNorDownload m_download;
    CNorErase m_erase;
    CNorDump m_dump;
    CNorVerify m_verify;
    CMfxPackage m_package;
    CMfxDownload m_mfx;
    CNandOps m_nand;
    // The handset's port went away: the operation ends at once, as after Stop.
    void PortGone();

    Action m_fnRxOverride;
    Action m_fnLostOverride;
    bool m_bPortGoneHeld = false;
    Action m_fnStartHook;
    Action m_fnStopHook;
};

}  // namespace oriel
