#pragma once
// Runs one command-line job on the same session the dialog uses: START, the
// handshake, the commands in order, Stop. The log goes to stdout (with plain
// line ends), message boxes and failures to stderr, and the exit status says
// how it ended.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "cli/oriel/cli_options.h"
#include "platform/event_loop.h"

namespace oriel {
class CDownloaderSession;
class CDownloaderEngine;
}  // namespace oriel
namespace platform {
class CScriptedPrompts;
}
namespace history {
class CHistoryRecorder;
}

namespace orielcli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimeout = 3;
constexpr int kExitInterrupted = 4;

class CCliConsole;

class CCliRunner {
  public:
    CCliRunner(const CliOptions& options, std::FILE* out, std::FILE* err);
    int Run();
    // From any thread (a signal watcher): end the run as interrupted.
    void Interrupt();
    // Where the run's jobs are recorded (nullptr: nowhere), under which station.
    void SetHistory(history::CHistoryRecorder* pRecorder, std::string strStation) {
        m_pRecorder = pRecorder;
        m_strStation = std::move(strStation);
    }

  private:
    enum class Wait { Done, Timeout, Interrupted };
    // Runs the loop until pred() holds, the handset stays silent for the
    // timeout, or the run is interrupted.
    Wait WaitFor(const std::function<bool()>& pred);
    int RunCommand(oriel::CDownloaderSession& session, CCliConsole& console,
                   const CliCommand& command, bool bLast);
    int RunExplorerCommand(oriel::CDownloaderSession& session, CCliConsole& console,
                           const CliCommand& command);
    // nState: the engine's state; the explorer passes its own state's text.
    int Failed(CCliConsole& console, const std::string& what, int32_t nState);
    int Failed(CCliConsole& console, const std::string& what, const std::string& state);
    int Ended(Wait wait, const std::string& what, int32_t nState);
    int Ended(Wait wait, const std::string& what, const std::string& state);
    // Says on stderr where an unfinished transfer's bytes are (nothing when none).
    void NoteKept(const std::string& strPath);

    const CliOptions& m_options;
    std::FILE* m_out;
    std::FILE* m_err;
    platform::CStdEventLoop m_loop;
    std::atomic<bool> m_bInterrupted{false};
    std::chrono::steady_clock::time_point m_tLastHeard{};
    platform::CScriptedPrompts* m_pPrompts = nullptr;
    oriel::CDownloaderEngine* m_pEngine = nullptr;
    history::CHistoryRecorder* m_pRecorder = nullptr;
    std::string m_strStation;
};

// The log's "\r\n" line ends as a terminal or a log file wants them.
std::string PlainLineEnds(const std::string& text);

}  // namespace orielcli
