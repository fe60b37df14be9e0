// Why a port could not be opened: missing, held by a process (found through
// /proc), not permitted (checked in a child that has dropped root's rights),
// no terminal.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/port_open_failure.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using platform::ExplainPortOpenFailure;
using platform::PortProblem;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class PortOpenFailureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Others must reach what is inside: the permission cases run as nobody.
        fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }
    testsupport::CScratchDir scratch{"port_failure"};
    const fs::path root = scratch.Path();
};

TEST_F(PortOpenFailureTest, AMissingDeviceOrADanglingLinkIsMissing) {
    const std::string path = (root / "ttyUSB7").string();
    const platform::PortOpenFailure missing = ExplainPortOpenFailure(path, ENOENT);
    EXPECT_EQ(missing.problem, PortProblem::Missing);
    EXPECT_EQ(missing.strCause, path + ": missing: no such device");
    EXPECT_FALSE(missing.strHint.empty());
    EXPECT_EQ(missing.Text(), missing.strCause + "\n" + missing.strHint);

    const fs::path link = root / "usb-Gone-if00";
    fs::create_symlink("../../ttyACM3", link);
    const platform::PortOpenFailure dangling = ExplainPortOpenFailure(link.string(), ENOENT);
    EXPECT_EQ(dangling.problem, PortProblem::Missing);
    EXPECT_TRUE(Contains(dangling.strCause, "leads to ../../ttyACM3, which is not there"))
        << dangling.strCause;

    EXPECT_EQ(ExplainPortOpenFailure(path, ENXIO).problem, PortProblem::Missing);
    EXPECT_EQ(ExplainPortOpenFailure(path, EIO).problem, PortProblem::Missing);
}

// A child process holds the pseudo-terminal with the lock both programs take.
TEST_F(PortOpenFailureTest, ABusyPortNamesTheProcessThatHoldsIt) {
    testsupport::CPtyPair pty;
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        const char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
        (void)!write(ready[1], &ok, 1);
        char c = 0;
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    ASSERT_GT(child, 0);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');

    const int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
    const int error = errno;
    close(fd);
    const platform::PortOpenFailure busy = ExplainPortOpenFailure(pty.SlavePath(), error);
    EXPECT_EQ(busy.problem, PortProblem::Busy);
    ASSERT_FALSE(busy.holders.empty());
    bool bChildFound = false;
    for (const platform::PortHolder& h : busy.holders) {
        bChildFound = bChildFound || h.nPid == child;
    }
    EXPECT_TRUE(bChildFound);
    EXPECT_TRUE(Contains(busy.strCause, "busy: held by "));
    EXPECT_TRUE(Contains(busy.strCause, "process " + std::to_string(child) + " ("))
        << busy.strCause;
    // The pair's own descriptor is this process's: it is named as this program.
    EXPECT_TRUE(busy.HeldByThisProcess());
    EXPECT_TRUE(Contains(busy.strCause, "this program")) << busy.strCause;

    (void)!write(release[1], "x", 1);
    waitpid(child, nullptr, 0);
    for (int f : {ready[0], ready[1], release[0], release[1]}) {
        close(f);
    }
}

TEST_F(PortOpenFailureTest, NoHolderFoundStillSaysBusy) {
    const fs::path plain = root / "plain";
    std::ofstream(plain.string()) << "x";
    const fs::path emptyProc = root / "proc";
    fs::create_directories(emptyProc);
    const platform::PortOpenFailure busy =
        ExplainPortOpenFailure(plain.string(), EBUSY, emptyProc.string());
    EXPECT_EQ(busy.problem, PortProblem::Busy);
    EXPECT_TRUE(busy.holders.empty());
    EXPECT_EQ(busy.strCause, plain.string() + ": busy: another program holds it");
    EXPECT_FALSE(busy.HeldByThisProcess());
}

// Runs the open as an unprivileged user (nobody, when the test runs as root)
// and returns the problem code and the text.
std::pair<int, std::string> OpenAsUnprivileged(const std::string& path) {
    int out[2];
    if (pipe(out) != 0) {
        return {-1, "pipe"};
    }
    const pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        if (geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
                _exit(2);
            }
        }
        std::string text;
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            text = "opened";
        } else {
            const platform::PortOpenFailure f = ExplainPortOpenFailure(path, errno);
            text = std::to_string(static_cast<int>(f.problem)) + "|" + f.Text();
        }
        (void)!write(out[1], text.data(), text.size());
        _exit(0);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    ssize_t n = 0;
    while ((n = read(out[0], buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    const size_t bar = text.find('|');
    if (bar == std::string::npos) {
        return {-1, text};
    }
    return {std::stoi(text.substr(0, bar)), text.substr(bar + 1)};
}

TEST_F(PortOpenFailureTest, PermissionDeniedSaysHowToGetAccess) {
    const fs::path file = root / "ttyUSB0";
    std::ofstream(file.string()) << "";
    ASSERT_EQ(chmod(file.c_str(), 0), 0);
    const fs::path fifo = root / "ttyACM0";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0), 0);
    for (const fs::path& p : {file, fifo}) {
        const auto [nProblem, text] = OpenAsUnprivileged(p.string());
        ASSERT_EQ(nProblem, static_cast<int>(PortProblem::PermissionDenied)) << text;
        EXPECT_TRUE(text.starts_with(p.string() + ": permission denied\n")) << text;
        EXPECT_TRUE(Contains(text, "udev rules")) << text;
    }
}

// The usual case: a device of group dialout, open to its group only.
TEST_F(PortOpenFailureTest, ADeviceOfAGroupNamesTheGroupToJoin) {
    const group* dialout = getgrnam("dialout");
    if (geteuid() != 0 || dialout == nullptr) {
        GTEST_SKIP() << "needs root (to hand the file to group dialout) and a dialout group";
    }
    const fs::path fifo = root / "ttyS4";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0660), 0);
    ASSERT_EQ(chown(fifo.c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(fifo.c_str(), 0660), 0);
    const auto [nProblem, text] = OpenAsUnprivileged(fifo.string());
    ASSERT_EQ(nProblem, static_cast<int>(PortProblem::PermissionDenied)) << text;
    EXPECT_TRUE(Contains(text, "belongs to group 'dialout'")) << text;
    EXPECT_TRUE(Contains(text, "sudo usermod -aG dialout $USER")) << text;
}

TEST_F(PortOpenFailureTest, SomethingThatIsNoTerminalIsSaid) {
    const std::string path = (root / "file").string();
    EXPECT_EQ(ExplainPortOpenFailure(path, ENOTTY).problem, PortProblem::NotATerminal);
    EXPECT_EQ(ExplainPortOpenFailure(path, EISDIR).problem, PortProblem::NotATerminal);
    EXPECT_EQ(platform::NotATerminal(path).strCause,
              path + ": not a serial port (no terminal device)");
    const platform::PortOpenFailure other = ExplainPortOpenFailure(path, ENOMEM);
    EXPECT_EQ(other.problem, PortProblem::Other);
    EXPECT_TRUE(other.strHint.empty());
    EXPECT_EQ(other.Text(), other.strCause);
}

}  // namespace
