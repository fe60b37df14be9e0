#include "oriel/engine/downloader_engine.h"

#include "oriel/engine/checksum.h"
#include "oriel/engine/console_view.h"
#include "oriel/engine/crc32.h"
#include "oriel/engine/time_log.h"
#include "oriel/link/serial_port.h"
#include "platform/diag_log.h"
#include "platform/format.h"
#include "platform/prompts.h"
#include "platform/timer_service.h"

namespace oriel {

CDownloaderEngine::CDownloaderEngine(CSerialPort& port, IConsoleView& console,
                                     platform::IPrompts& prompts)
    : m_port(port),
      m_console(console),
      m_prompts(prompts),
      m_fnNow([] { return std::time(nullptr); }) {
    BuildCrc32Table();
}

void CDownloaderEngine::SetTimers(platform::ITimerService* pTimers) {
    m_pTimers = pTimers;
    if (m_pTimers != nullptr) {
        m_pTimers->SetHandler([this](uint32_t nId) { OnTimer(nId); });
    }
}

void CDownloaderEngine::RegisterStateHandler(int32_t nState, ByteHandler handler) {
    if (nState >= 0 && nState < kStateCount) {
        m_afnState[static_cast<size_t>(nState)] = std::move(handler);
    }
}

void CDownloaderEngine::RegisterSyncHandler(int32_t nOperation, Action handler) {
    if (nOperation >= 0 && nOperation < kOperationCount) {
        m_afnSync[static_cast<size_t>(nOperation)] = std::move(handler);
    }
}

void CDownloaderEngine::RegisterBlockHandler(int32_t nOperation, Action handler) {
    if (nOperation >= 0 && nOperation < kOperationCount) {
        m_afnBlock[static_cast<size_t>(nOperation)] = std::move(handler);
    }
}

void CDownloaderEngine::RegisterTimerHandler(uint32_t nId, Action handler) {
    if (nId < m_afnTimer.size()) {
        m_afnTimer[nId] = std::move(handler);
    }
}

void CDownloaderEngine::OnMessage(const platform::WindowMessage& msg) {
    if (msg.nMsg == WM_COMM_RXCHAR) {
        OnCommRxChar(msg.wParam, msg.lParam);
    } else if (msg.nMsg == WM_COMM_NOTICE) {
        Message(CSerialPort::NoticeText(static_cast<SerialNotice>(msg.lParam), m_port.PortName()));
    }
}

void CDownloaderEngine::OnTimer(uint32_t nId) {
    if (nId < m_afnTimer.size() && m_afnTimer[nId]) {
        m_afnTimer[nId]();
    }
}

void CDownloaderEngine::OnCommRxChar(uintptr_t /*wParam*/, intptr_t /*lParam*/) {
    if (m_nState == WAIT_DUMP_BLOCK) {
        // One whole block per wake-up; the receive thread woke us because it is complete.
        m_nLastWaitState = WAIT_DUMP_BLOCK;
        if (m_port.Count() > 0 && m_nOperation >= 0 && m_nOperation < kOperationCount &&
            m_afnBlock[static_cast<size_t>(m_nOperation)]) {
            m_afnBlock[static_cast<size_t>(m_nOperation)]();
        }
        return;
    }
    // Drain what was queued when the wake-up was handled. Bytes that arrive
    // meanwhile get a wake-up of their own; taking them here could swallow the
    // start of a block requested by a handler inside this very loop.
    int32_t nBatch = m_port.Count();
    uint8_t by = 0;
    while (nBatch-- > 0 && m_port.Pop(by)) {
        if (m_nState != IDLE && m_nState != STATE_NONE) {
            m_nLastWaitState = m_nState;
        }
        if (m_bIdentified == 0) {
            if (m_pHandshake != nullptr) {
                m_pHandshake->HandshakeByte(by);
            }
        } else {
            HandleByte(by);
        }
    }
}

void CDownloaderEngine::HandleByte(uint8_t by) {
    if (m_nState == WAIT_SYNC) {
        // The answer to 0xD9 is not examined; it only says the boot-loader listens.
        if (m_nOperation >= 0 && m_nOperation < kOperationCount &&
            m_afnSync[static_cast<size_t>(m_nOperation)]) {
            m_afnSync[static_cast<size_t>(m_nOperation)]();
        }
        return;
    }
    if (m_nState > 0 && m_nState < kStateCount && m_nState != IDLE &&
        m_afnState[static_cast<size_t>(m_nState)]) {
        m_afnState[static_cast<size_t>(m_nState)](by);
    }
}

void CDownloaderEngine::StartOperation(int32_t nOperation) {
    m_nOperation = nOperation;
    m_tStart = Now();
    m_nState = WAIT_SYNC;
    ResetReply();
    SendByte(CMD_SYNC);
    m_console.DisableControls();
    if (m_pObserver != nullptr) {
        m_pObserver->OperationStarted(nOperation);
    }
}

void CDownloaderEngine::CloseOpenFiles() {
    if (m_bBinFileOpen != 0) {
        m_fileBin.Close();
        m_bBinFileOpen = 0;
    }
    if (m_bMfxFileOpen != 0) {
        m_fileMfx.Close();
        m_bMfxFileOpen = 0;
    }
    if (m_bDumpFileOpen != 0) {
        // Not finished: its bytes must not pass for the dump.
        m_fileDump.KeepIncomplete();
        m_bDumpFileOpen = 0;
    }
}

void CDownloaderEngine::FinishOperation() {
    m_nState = IDLE;
    CloseOpenFiles();
    if (m_fnFinishHook) {
        m_fnFinishHook();
    }
    if (m_pObserver != nullptr) {
        m_pObserver->OperationFinished();
    }
    m_console.EnableOperationControls();
}

void CDownloaderEngine::Send(const uint8_t* pData, size_t n) {
    const size_t sent = m_port.Send(pData, n);
    if (sent != n) {
        platform::Diag("engine", platform::Format("short send: %zu of %zu bytes", sent, n));
    }
}

void CDownloaderEngine::SendByte(uint8_t by) {
    Send(&by, 1);
}

void CDownloaderEngine::SendBe32(uint32_t v) {
    const auto b = Be32(v);
    Send(b.data(), b.size());
}

void CDownloaderEngine::Log(const std::string& text) {
    m_console.AppendLog(text);
}

void CDownloaderEngine::Message(const std::string& text, platform::MsgIcon icon) {
    if (m_pObserver != nullptr) {
        m_pObserver->OperationMessage(text);
    }
    m_prompts.MessageBox(text, platform::MsgButtons::Ok, icon);
}

bool CDownloaderEngine::CollectReply(uint8_t by, int32_t n) {
    if (n <= 0 || static_cast<size_t>(n) > kReplyMax) {
        return false;
    }
    if (m_nReplyCount >= n) {
        m_nReplyCount = 0;
    }
    m_abReply[static_cast<size_t>(m_nReplyCount++)] = by;
    return m_nReplyCount == n;
}

void CDownloaderEngine::LogTimes(const char* startFmt, const char* endFmt, const char* spanFmt) {
    m_tEnd = Now();
    m_tsElapsed = static_cast<int64_t>(m_tEnd - m_tStart);
    Log(FormatCalendarTime(startFmt, m_tStart));
    Log(FormatCalendarTime(endFmt, m_tEnd));
    Log(FormatSpan(spanFmt, m_tsElapsed));
}

}  // namespace oriel
