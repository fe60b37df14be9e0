#pragma once
// The command line's view of a session: the log on stdout as it grows (plain
// line ends), an optional log file with a timestamp per line, and progress on
// stderr: a live bar with rate and ETA on a terminal, one summary line per
// operation otherwise.

#include <chrono>
#include <cstdio>
#include <string>

#include "oriel/engine/console_view.h"

namespace orielcli {

class CCliConsole : public oriel::CRecordingConsole {
  public:
    CCliConsole(std::FILE* out, std::FILE* err, bool bQuiet);
    ~CCliConsole() override;

    bool OpenLogFile(const std::string& path, std::string& error);
    // Lines that are not the log (messages, results) into the log file too.
    void Note(const std::string& line);

    // What the progress counts: bytes per unit (1 for bytes, 1024 for KB, 0
    // for a count of sectors) and the operation's name.
    void BeginProgress(const std::string& name, int nBytesPerUnit);
    void EndProgress(bool bCompleted);

    void AppendLog(const std::string& text) override;
    void ReplaceLog(const std::string& text) override;
    void SetProgressRange(int32_t nMax) override;
    void SetProgressPos(int32_t nPos) override;

    std::string LastLogLine() const;

  private:
    using Clock = std::chrono::steady_clock;
    void Echo(const std::string& text);
    void DrawBar(bool bFinal);
    void WriteLogLines(const std::string& text);

    std::FILE* m_out;
    std::FILE* m_err;
    bool m_bQuiet;
    bool m_bTty;
    std::FILE* m_pLog = nullptr;
    std::string m_strLogPending;
    std::string m_strOp;
    int m_nUnit = 1;
    bool m_bProgressActive = false;
    Clock::time_point m_tBegin{};
    Clock::time_point m_tLastDraw{};
};

}  // namespace orielcli
