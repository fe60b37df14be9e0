#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace testsupport {

CChildProcess::CChildProcess(const std::vector<std::string>& argv, const std::string& strOut,
                             const std::string& strErr)
    : m_started(std::chrono::steady_clock::now()) {
    std::lock_guard<std::mutex> lock(SpawnLock());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, strOut.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, strErr.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

CChildProcess::~CChildProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

CChildProcess::Ended CChildProcess::Wait(std::chrono::milliseconds timeout) {
    Ended e;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (m_pid > 0) {
        int status = 0;
        const pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_pid = -1;
            e.bExited = WIFEXITED(status);
            e.nStatus = e.bExited ? WEXITSTATUS(status) : -1;
            e.nSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            break;
        }
        if (r < 0) {
            m_pid = -1;
            break;
        }
        if (std::chrono::steady_clock::now() > end) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
            e.bTimedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    e.dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
    return e;
}

CChildProcess::Ended CChildProcess::Stop(std::chrono::milliseconds timeout) {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
    }
    return Wait(timeout);
}

std::mutex& SpawnLock() {
    static std::mutex lock;
    return lock;
}

std::string ShellLine(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& a : argv) {
        const bool bPlain = !a.empty() && a.find_first_not_of(
                                              "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789-_./:=,+@%") == std::string::npos;
        line += (line.empty() ? "" : " ") + (bPlain ? a : "'" + a + "'");
    }
    return line;
}

}  // namespace testsupport
