#include "oriel/ui/downloader_session.h"

#include "oriel/engine/console_view.h"
#include "oriel/engine/nor_sectors.h"
#include "oriel/link/serial_port.h"
#include "platform/prompts.h"
#include "platform/timer_service.h"

namespace oriel {

CDownloaderSession::CDownloaderSession(CSerialPort& port, IConsoleView& console,
                                       platform::IPrompts& prompts,
                                       platform::ITimerService* pTimers)
    : m_port(port),
      m_journal(console),
      m_console(m_journal),
      m_pTimers(pTimers),
      m_prompts(prompts),
      m_engine(port, m_journal, m_prompts),
      m_handshake(m_engine),
      m_download(m_engine),
      m_erase(m_engine),
      m_dump(m_engine),
      m_verify(m_engine),
      m_package(m_engine),
      m_mfx(m_engine, m_package),
      m_nand(m_engine) {
    BuildNorSectorMap();
    m_journal.Attach(*this);
    m_engine.SetObserver(&m_journal);
    m_prompts.SetRelease([this] {
        m_port.PostWakeUp();
        if (m_bPortGoneHeld) {
            m_bPortGoneHeld = false;
            m_port.PostNotice(kNoticePortGone);
        }
    });
    m_engine.SetTimers(pTimers);
    m_handshake.SetStopAction([this] { Stop(); });
    m_handshake.SetAllDownloadAction([this] { m_download.DownloadAll(); });
    m_download.SetStopAction([this] { Stop(); });
    m_download.SetVerifyAction([this](std::vector<VerifyItem> items, bool bPowerOn) {
        m_verify.Start(std::move(items), bPowerOn);
    });
    m_verify.SetStopAction([this] { Stop(); });
    m_download.SetMfxFollowUp([this] { m_mfx.FollowBinary(m_download.m_nFileSize); });
    m_mfx.SetStopAction([this] { Stop(); });
    m_mfx.SetPowerOnQuery([this] { return m_download.m_controls.bPowerOn; });
}

void CDownloaderSession::OnMessage(const platform::WindowMessage& msg) {
    if (msg.nMsg == WM_COMM_NOTICE && msg.lParam == kNoticePortGone) {
        // Stopping inside a prompt would pull the connection from under the
        // handler that asked; it waits, like the bytes, for the prompt.
        if (m_prompts.HoldWakeUp()) {
            m_bPortGoneHeld = true;
            return;
        }
        PortGone();
        return;
    }
    if (msg.nMsg == WM_COMM_RXCHAR) {
        if (m_prompts.HoldWakeUp()) {
            return;
        }
        if (m_fnRxOverride) {
            m_fnRxOverride();
            return;
        }
    }
    m_engine.OnMessage(msg);
    m_journal.AfterWakeUp();
}

bool CDownloaderSession::IsConnected() const {
    return m_port.IsOpen() || (m_pTimers != nullptr && m_pTimers->IsRunning(kBaudTimerId));
}

bool CDownloaderSession::Start(const HandshakeSettings& settings) {
    m_console.SetFlashId("");
    if (IsConnected()) {
        m_engine.Message("Port already opened!");
        return false;
    }
    // A new connection starts clean: a dump stopped mid-block must not leave
    // the port waking only for whole blocks, nor its bytes for the handshake.
    m_port.m_bBlockMode = 0;
    uint8_t stale = 0;
    while (m_port.Pop(stale)) {
    }
    const auto nPort = static_cast<uint16_t>(settings.nComIndex + 1);
    if (!m_port.Open(nPort, kBaudTable[0], false)) {
        // The log says why (missing, held by whom, not permitted and how to
        // get access) before the box, which keeps its own text.
        const platform::PortOpenFailure& why = m_port.OpenFailure();
        if (why.problem != platform::PortProblem::None) {
            m_engine.Log("\r\n** " + m_port.PortName() + ": " + why.Text("\r\n** ") + "\r\n");
        }
        m_engine.Message("Port Initialization Failed!");
        return false;
    }
    if (!m_port.SetLineFormat(kBaudTable[0], 8, Parity::Even, StopBits::One)) {
        m_engine.Message("DCB Creation Failed!");
        m_port.Close();
        return false;
    }
    m_download.OnStart();
    if (m_fnStartHook) {
        m_fnStartHook();
    }
    m_console.ReplaceLog(
        "** Wait for Connect Request from Mobile...\r\n** (POWER ON the PHONE!)\r\n");
    m_handshake.Start(settings);
    m_console.ConnectionStarted();
    m_console.DisableControls();
    return true;
}

void CDownloaderSession::PortGone() {
    if (!IsConnected()) {
        return;
    }
    const std::string path = m_port.DevicePath();
    // A copy: the hook may give the wake-ups back, which clears it.
    const Action lost = m_fnLostOverride;
    if (lost) {
        lost();
    }
    m_dump.OnPortGone();
    m_journal.SetEndReason("The handset's port went away (" + path + ")");
    Stop();
    m_engine.Log("\r\n** The handset's port went away (" + path + ") **\r\n");
    m_engine.Message(CSerialPort::NoticeText(kNoticePortGone, m_port.PortName()),
                     platform::MsgIcon::Error);
}

void CDownloaderSession::Stop() {
    // An abandoned All Download must not chain on from a later single download.
    m_download.OnStop();
    m_dump.OnStop();
    m_package.Release();
    if (m_fnStopHook) {
        m_fnStopHook();
    }
    if (!IsConnected()) {
        return;
    }
    // A pending re-open of the rate change would bring the port back after Stop.
    if (m_pTimers != nullptr) {
        m_pTimers->KillTimer(kBaudTimerId);
    }
    m_port.Close();
    m_port.m_bBlockMode = 0;
    m_engine.CloseOpenFiles();
    m_console.SetFlashId("");
    m_engine.m_bIdentified = 0;
    m_engine.Log("\r\n** Close COM port\r\n");
    m_journal.SetEndReason("Stop");
    m_console.SetProgressPos(0);
    m_engine.FinishOperation();
    m_engine.m_nState = STATE_NONE;
    m_console.ConnectionStopped();
}

}  // namespace oriel
