#include "tests/support/run_program.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

Ran RunProgram(const std::vector<std::string>& argv) {
    Ran ran;
    int out[2];
    int err[2];
    if (pipe(out) != 0) {
        return ran;
    }
    if (pipe(err) != 0) {
        close(out[0]);
        close(out[1]);
        return ran;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(err[0]);
        ExecOrExit(argv);
    }
    close(out[1]);
    close(err[1]);
    // Both pipes at once, so a program that fills one is never stuck on it.
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&ran.out, &ran.err};
    int nOpen = 2;
    while (nOpen > 0 && poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --nOpen;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ran.nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ran;
}

void ExecOrExit(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

}  // namespace testsupport
