#pragma once
// A program run as a child process, stdin from /dev/null and stdout and
// stderr into files; however the owner ends, the child is killed and reaped.

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class CChildProcess {
  public:
    CChildProcess(const std::vector<std::string>& argv, const std::string& strOut,
                  const std::string& strErr);
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }

    struct Ended {
        bool bExited = false;  // by exit(), with nStatus
        int nStatus = -1;
        int nSignal = 0;         // the signal that ended it, when it did not exit
        bool bTimedOut = false;  // killed for running past the timeout
        double dSeconds = 0;     // from the start to the end
    };
    // Waits for the end; past the timeout the child is killed.
    Ended Wait(std::chrono::milliseconds timeout);
    // SIGTERM, then the wait.
    Ended Stop(std::chrono::milliseconds timeout);

  private:
    pid_t m_pid = -1;
    std::chrono::steady_clock::time_point m_started;
};

// Held while a child is started. A thread that writes a program file it will
// run holds it too: a child started meanwhile would inherit the open file and
// keep it busy for exec.
std::mutex& SpawnLock();

// The command line as a shell would take it, for reproduction lines.
std::string ShellLine(const std::vector<std::string>& argv);

}  // namespace testsupport
