#include "cli/oriel/cli_console.h"

#include <unistd.h>

#include <ctime>

#include "cli/oriel/cli_runner.h"
#include "platform/format.h"

namespace orielcli {

CCliConsole::CCliConsole(std::FILE* out, std::FILE* err, bool bQuiet)
    : m_out(out), m_err(err), m_bQuiet(bQuiet), m_bTty(isatty(fileno(err)) != 0) {}

CCliConsole::~CCliConsole() {
    if (m_pLog != nullptr) {
        if (!m_strLogPending.empty()) {
            WriteLogLines("\n");
        }
        std::fclose(m_pLog);
    }
}

bool CCliConsole::OpenLogFile(const std::string& path, std::string& error) {
    m_pLog = std::fopen(path.c_str(), "a");
    if (m_pLog == nullptr) {
        error = "cannot open the log file " + path;
        return false;
    }
    return true;
}

void CCliConsole::WriteLogLines(const std::string& text) {
    if (m_pLog == nullptr) {
        return;
    }
    m_strLogPending += PlainLineEnds(text);
    size_t nl = 0;
    while ((nl = m_strLogPending.find('\n')) != std::string::npos) {
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::tm tmNow{};
        localtime_r(&now, &tmNow);
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmNow);
        std::fprintf(m_pLog, "%s %s\n", stamp, m_strLogPending.substr(0, nl).c_str());
        m_strLogPending.erase(0, nl + 1);
    }
    std::fflush(m_pLog);
}

void CCliConsole::Note(const std::string& line) {
    if (!m_strLogPending.empty()) {
        WriteLogLines("\n");
    }
    WriteLogLines(line + "\n");
}

void CCliConsole::Echo(const std::string& text) {
    WriteLogLines(text);
    if (!m_bQuiet) {
        std::fputs(PlainLineEnds(text).c_str(), m_out);
        std::fflush(m_out);
    }
}

void CCliConsole::AppendLog(const std::string& text) {
    CRecordingConsole::AppendLog(text);
    Echo(text);
}

void CCliConsole::ReplaceLog(const std::string& text) {
    // The dialog clears its log here; a stream keeps what it printed.
    CRecordingConsole::ReplaceLog(text);
    Echo(text);
}

std::string CCliConsole::LastLogLine() const {
    const std::string plain = PlainLineEnds(m_strLog);
    size_t end = plain.find_last_not_of("\n ");
    if (end == std::string::npos) {
        return "";
    }
    const size_t start = plain.rfind('\n', end);
    return plain.substr(start == std::string::npos ? 0 : start + 1,
                        end - (start == std::string::npos ? 0 : start + 1) + 1);
}

void CCliConsole::BeginProgress(const std::string& name, int nBytesPerUnit) {
    m_strOp = name;
    m_nUnit = nBytesPerUnit;
    m_bProgressActive = true;
    m_tBegin = Clock::now();
    m_tLastDraw = {};
}

void CCliConsole::SetProgressRange(int32_t nMax) {
    CRecordingConsole::SetProgressRange(nMax);
}

void CCliConsole::SetProgressPos(int32_t nPos) {
    CRecordingConsole::SetProgressPos(nPos);
    if (m_bProgressActive && m_bTty && !m_bQuiet &&
        Clock::now() - m_tLastDraw > std::chrono::milliseconds(100)) {
        DrawBar(false);
    }
}

void CCliConsole::DrawBar(bool bFinal) {
    m_tLastDraw = Clock::now();
    const double seconds = std::chrono::duration<double>(m_tLastDraw - m_tBegin).count();
    const int32_t nMax = m_nProgressMax > 0 ? m_nProgressMax : 1;
    const double frac = std::min(1.0, static_cast<double>(m_nProgressPos) / nMax);
    const int nFill = static_cast<int>(frac * 30);
    std::string bar(static_cast<size_t>(nFill), '#');
    bar.resize(30, '.');
    std::string rate;
    if (m_nUnit > 0 && seconds > 0.05) {
        const double bps = static_cast<double>(m_nProgressPos) * m_nUnit / seconds;
        const double eta =
            bps > 0 ? (static_cast<double>(nMax - m_nProgressPos) * m_nUnit) / bps : 0;
        rate = platform::Format("  %.0f bytes/s  ETA %d:%02d", bps, static_cast<int>(eta) / 60,
                                static_cast<int>(eta) % 60);
    }
    std::fprintf(m_err, "\r%-14s [%s] %3d%%%s%s", m_strOp.c_str(), bar.c_str(),
                 static_cast<int>(frac * 100), rate.c_str(), bFinal ? "\n" : "   ");
    std::fflush(m_err);
}

void CCliConsole::EndProgress(bool bCompleted) {
    if (!m_bProgressActive) {
        return;
    }
    m_bProgressActive = false;
    // A completed operation did all of it (a download's bar stops at its last
    // whole sector).
    if (bCompleted) {
        m_nProgressPos = m_nProgressMax;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - m_tBegin).count();
    std::string summary;
    if (m_nUnit > 0) {
        const double bytes = static_cast<double>(m_nProgressPos) * m_nUnit;
        summary = platform::Format("%s: %s, %.0f bytes in %.1f s (%.0f bytes/s)", m_strOp.c_str(),
                                   bCompleted ? "done" : "FAILED", bytes, seconds,
                                   seconds > 0 ? bytes / seconds : 0.0);
    } else {
        summary = platform::Format("%s: %s, %d of %d in %.1f s", m_strOp.c_str(),
                                   bCompleted ? "done" : "FAILED", m_nProgressPos, m_nProgressMax,
                                   seconds);
    }
    Note(summary);
    if (m_bQuiet) {
        return;
    }
    if (m_bTty) {
        DrawBar(true);
    }
    std::fprintf(m_err, "%s\n", summary.c_str());
    std::fflush(m_err);
}

}  // namespace orielcli
