#pragma once
// Runs one command-line job on the same session the dialog uses: START, the
// handshake, the operation, Stop. The log goes to stdout (with plain line
// ends), message boxes to stderr, and the exit status says how it ended.

#include <atomic>
#include <cstdio>
#include <string>

#include "cli/oriel/cli_options.h"
#include "platform/event_loop.h"

namespace orielcli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimeout = 3;
constexpr int kExitInterrupted = 4;

class CCliRunner {
  public:
    CCliRunner(const CliOptions& options, std::FILE* out, std::FILE* err);
    int Run();
    // From any thread (a signal watcher): end the run as interrupted.
    void Interrupt();

  private:
    const CliOptions& m_options;
    std::FILE* m_out;
    std::FILE* m_err;
    platform::CStdEventLoop m_loop;
    std::atomic<bool> m_bInterrupted{false};
};

// The log's "\r\n" line ends as a terminal or a log file wants them.
std::string PlainLineEnds(const std::string& text);

}  // namespace orielcli
