// The oriel command line: what it accepts, and whole runs of the program
// against the simulator program, both as child processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/oriel/cli_options.h"
#include "cli/oriel/cli_runner.h"

namespace {

using orielcli::CliCommand;
using orielcli::CliOptions;
using orielcli::ParseCliOptions;

TEST(OrielCliOptions, ParsesAJob) {
    CliOptions o;
    std::string error;
    ASSERT_TRUE(ParseCliOptions({"--port", "/dev/x", "--com", "7", "--speed", "460800", "--mode",
                                 "tat", "--full-loader", "--timeout", "30", "--quiet", "info"},
                                o, error))
        << error;
    ASSERT_EQ(o.commands.size(), 1u);
    EXPECT_EQ(o.commands[0].kind, CliCommand::Kind::Info);
    EXPECT_EQ(o.strPortPath, "/dev/x");
    EXPECT_EQ(o.handshake.nComIndex, 6);
    EXPECT_EQ(o.handshake.nSpeedIndex, 2);
    EXPECT_EQ(o.handshake.nMode, 1);
    EXPECT_EQ(o.handshake.bFast, 0);
    EXPECT_EQ(o.nTimeoutSeconds, 30);
    EXPECT_TRUE(o.bQuiet);
}

TEST(OrielCliOptions, DefaultsAreTheDialogsOwn) {
    CliOptions o;
    std::string error;
    ASSERT_TRUE(ParseCliOptions({"info"}, o, error));
    EXPECT_EQ(o.nTimeoutSeconds, 30);
    EXPECT_FALSE(o.bPowerOn);
    EXPECT_EQ(o.handshake.nComIndex, 0);
    EXPECT_EQ(o.handshake.nSpeedIndex, 0);
    EXPECT_EQ(o.handshake.nMode, 0);
    EXPECT_EQ(o.handshake.bFast, 1);
    EXPECT_EQ(o.handshake.bAuto, 0);
}

TEST(OrielCliOptions, RefusesBadInputWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--speed", "9600", "info"},
        {"--speed"},
        {"--com", "0", "info"},
        {"--com", "21", "info"},
        {"--com", "3x", "info"},
        {"--mode", "fast", "info"},
        {"--timeout", "0", "info"},
        {"flash"},
        {"--what", "info"},
    };
    for (const auto& args : bad) {
        CliOptions o;
        std::string error;
        EXPECT_FALSE(ParseCliOptions(args, o, error)) << (args.empty() ? "" : args[0]);
        EXPECT_FALSE(error.empty());
    }
}

TEST(OrielCliOutput, LogLineEndsBecomePlain) {
    EXPECT_EQ(orielcli::PlainLineEnds("a\r\nb\r\n\r\nc"), "a\nb\n\nc");
    EXPECT_EQ(orielcli::PlainLineEnds("100%s\r"), "100%s\r");
}

// Runs a program, returning its exit status and what it printed.
struct Ran {
    int nStatus = -1;
    std::string out;
    std::string err;
};

std::string ReadAll(int fd) {
    std::string s;
    char buf[4096];
    ssize_t r = 0;
    while ((r = read(fd, buf, sizeof buf)) > 0) {
        s.append(buf, static_cast<size_t>(r));
    }
    return s;
}

Ran RunProgram(const std::vector<std::string>& argv) {
    int out[2], err[2];
    Ran ran;
    if (pipe(out) != 0 || pipe(err) != 0) {
        return ran;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(err[0]);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    // stderr is small; read stdout to its end first.
    ran.out = ReadAll(out[0]);
    ran.err = ReadAll(err[0]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ran.nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ran;
}

// The simulator program on a link in a temporary folder.
class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& extra) {
        char dir[] = "/tmp/oriel_cli_test_XXXXXX";
        if (mkdtemp(dir) == nullptr) {
            return;
        }
        m_dir = dir;
        m_link = m_dir + "/COM1";
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            std::vector<std::string> argv = {ORIEL_HANDSET_SIM_PATH, "--link", m_link};
            argv.insert(argv.end(), extra.begin(), extra.end());
            std::vector<char*> args;
            for (std::string& a : argv) {
                args.push_back(a.data());
            }
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        char ch = 0;
        while (read(out[0], &ch, 1) == 1 && ch != '\n') {
            m_ready += ch;
        }
        close(out[0]);
    }
    ~SimProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        if (!m_dir.empty()) {
            rmdir(m_dir.c_str());
        }
    }
    bool Ready() const { return m_ready == "ready " + m_link; }
    const std::string& Link() const { return m_link; }

  private:
    pid_t m_pid = -1;
    std::string m_dir;
    std::string m_link;
    std::string m_ready;
};

TEST(OrielCliProgram, IdentifiesTheSimulatedHandset) {
    SimProcess sim({"--no-pace"});
    ASSERT_TRUE(sim.Ready());
    const Ran ran = RunProgram({ORIEL_CLI_PATH, "--port", sim.Link(), "--speed", "921600", "info"});
    EXPECT_EQ(ran.nStatus, 0) << ran.out << ran.err;
    EXPECT_NE(ran.out.find("Checking FLASH ID... Detected (Spansion-S71WS128NC0)\n"),
              std::string::npos);
    EXPECT_NE(ran.out.find("flash: Spansion-S71WS128NC0\n"), std::string::npos);
    EXPECT_EQ(ran.out.find('\r'), std::string::npos);
}

TEST(OrielCliProgram, AnUnknownFlashFailsWithItsMessage) {
    SimProcess sim({"--no-pace", "--unknown-flash"});
    ASSERT_TRUE(sim.Ready());
    const Ran ran = RunProgram({ORIEL_CLI_PATH, "--port", sim.Link(), "--mode", "tat", "info"});
    EXPECT_EQ(ran.nStatus, orielcli::kExitFailed);
    EXPECT_NE(ran.err.find("message: Unknown Flash!\n"), std::string::npos) << ran.err;
}

TEST(OrielCliProgram, ASilentHandsetTimesOut) {
    SimProcess sim({"--no-pace", "--stop-after", "timeout-ack"});
    ASSERT_TRUE(sim.Ready());
    const Ran ran = RunProgram(
        {ORIEL_CLI_PATH, "--port", sim.Link(), "--mode", "tat", "--timeout", "1", "info"});
    EXPECT_EQ(ran.nStatus, orielcli::kExitTimeout);
    EXPECT_NE(ran.err.find("handshake timed out: the handset sent nothing for 1 s in state "
                           "WAIT_LOADADDR_ACK (11)"),
              std::string::npos)
        << ran.err;
    EXPECT_NE(ran.out.find("** Close COM port"), std::string::npos);
}

TEST(OrielCliProgram, AMissingPortIsReported) {
    const Ran ran = RunProgram({ORIEL_CLI_PATH, "--port", "/nonexistent/tty", "info"});
    EXPECT_EQ(ran.nStatus, orielcli::kExitFailed);
    EXPECT_NE(ran.err.find("message: Port Initialization Failed!"), std::string::npos);
}

}  // namespace
