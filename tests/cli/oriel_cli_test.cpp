// The oriel command line: what it accepts, and whole runs of the program
// against the simulator program, both as child processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli/oriel/cli_options.h"
#include "cli/oriel/cli_runner.h"
#include "tests/support/run_program.h"

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

TEST(OrielCliOptions, ParsesTheOperationsInOrder) {
    char path[] = "/tmp/oriel_cli_img_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "image", 5), 5);
    close(fd);
    CliOptions o;
    std::string error;
    ASSERT_TRUE(ParseCliOptions(
        {"download", "main", path, "--address", "0x10040000", "erase", "2,5,133", "dump", "4-6",
         "/tmp/out.hex", "download-all", path, path, path, "--power-on", "info"},
        o, error))
        << error;
    ASSERT_EQ(o.commands.size(), 5u);
    EXPECT_EQ(o.commands[0].Name(), "download main");
    EXPECT_EQ(o.commands[0].strAddress, "0x10040000");
    EXPECT_EQ(o.commands[1].sectors, (std::vector<int>{2, 5, 133}));
    EXPECT_EQ(o.commands[2].sectors, (std::vector<int>{4, 5, 6}));
    EXPECT_EQ(o.commands[2].strOutPath, "/tmp/out.hex");
    EXPECT_EQ(o.commands[3].files.size(), 3u);
    EXPECT_TRUE(o.bPowerOn);
    unlink(path);
}

TEST(OrielCliOptions, RefusesJobsThatCannotRunWithTheConsolesTexts) {
    char path[] = "/tmp/oriel_cli_img_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, std::string(40000, 'x').data(), 40000), 40000);
    close(fd);
    char empty[] = "/tmp/oriel_cli_empty_XXXXXX";
    const int fdEmpty = mkstemp(empty);
    ASSERT_GE(fdEmpty, 0);
    close(fdEmpty);
    struct Case {
        std::vector<std::string> args;
        std::string strError;
    };
    const std::vector<Case> cases = {
        {{"download", "main", "/nonexistent/file.bin"}, "Fail to open bin file!"},
        {{"download", "main", path, "--address", "10030000"},
         "Not Sector Begin Address(0x00030000) Error!"},
        {{"download", "main", path, "--address", "18000000"}, "Not defined Address Error"},
        {{"download", "kernel", path}, "not boot, main or bp"},
        {{"erase", "134"}, "not a sector"},
        {{"erase", "4-6,5"}, "named twice"},
        {{"dump", "4"}, "missing operand"},
        {{"--address", "10020000", "info"}, "--address belongs after"},
        {{"download-all", path, path}, "missing operand"},
        {{"download", "main", empty}, "download main: The image file is empty!"},
        {{"download-all", path, empty, path}, "download-all: The image file is empty!"},
        {{"download", "bp", path, "--address", "10FF8000"},
         "does not fit in the NOR flash! (" + std::string(path) +
             ": 40000 bytes from 0x10FF8000, 32768 bytes to the end)"},
        {{"dump", "4", "/nonexistent/out.hex"},
         "dump: cannot write /nonexistent/out.hex: the folder '/nonexistent' does not exist"},
        {{"nand-dump", "/tmp"}, "nand-dump: cannot write /tmp: '/tmp' is not a regular file"},
        {{"get", "/a.txt", "/nonexistent/a.txt"}, "get: cannot write /nonexistent/a.txt"},
    };
    for (const Case& c : cases) {
        CliOptions o;
        std::string error;
        EXPECT_FALSE(ParseCliOptions(c.args, o, error)) << c.strError;
        EXPECT_NE(error.find(c.strError), std::string::npos) << error;
    }
    unlink(path);
    unlink(empty);
}

TEST(OrielCliOptions, ParsesTheFileSystemCommands) {
    char dir[] = "/tmp/oriel_cli_pkg_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string mfx = std::string(dir) + "/pkg.mfx";
    const std::string cfg = std::string(dir) + "/pkg.cfg";
    FILE* f = std::fopen(mfx.c_str(), "w");
    std::fputs("data", f);  // also the image of bin-mfx-download below
    std::fclose(f);
    CliOptions o;
    std::string error;
    // The description must be there too.
    EXPECT_FALSE(ParseCliOptions({"mfx-download", mfx}, o, error));
    EXPECT_NE(error.find("Fail to open " + cfg), std::string::npos) << error;
    f = std::fopen(cfg.c_str(), "w");
    std::fclose(f);
    ASSERT_TRUE(ParseCliOptions(
        {"mfx-download", mfx,         "bin-mfx-download", "main",        mfx,     mfx,
         "nand-format",  "--yes",     "nand-status",      "ls",          "ls",    "/sys",
         "get",          "/sys/a",    "/tmp/a",           "rm",          "/b",    "stat",
         "/sys/c",       "nand-dump", "/tmp/n.hex",       "--code-page", "CP1252"},
        o, error))
        << error;
    ASSERT_EQ(o.commands.size(), 10u);
    EXPECT_EQ(o.commands[1].Name(), "bin-mfx-download main");
    EXPECT_TRUE(o.commands[2].bConfirmed);
    EXPECT_EQ(o.commands[4].strHandsetPath, "/");
    EXPECT_EQ(o.commands[5].strHandsetPath, "/sys");
    EXPECT_EQ(o.commands[6].strOutPath, "/tmp/a");
    EXPECT_TRUE(o.commands[6].UsesExplorer());
    EXPECT_FALSE(o.commands[3].UsesExplorer());
    EXPECT_EQ(o.strCodePage, "CP1252");
    // Formatting wipes the file system: it must be confirmed.
    EXPECT_FALSE(ParseCliOptions({"nand-format"}, o, error));
    EXPECT_NE(error.find("nand-format --yes"), std::string::npos);
    EXPECT_FALSE(ParseCliOptions({"get", "relative/a", "/tmp/a"}, o, error));
    EXPECT_FALSE(ParseCliOptions({"rm", "/sys/"}, o, error));
    EXPECT_FALSE(ParseCliOptions({"--yes", "info"}, o, error));
    unlink(mfx.c_str());
    unlink(cfg.c_str());
    rmdir(dir);
}

TEST(OrielCliOutput, LogLineEndsBecomePlain) {
    EXPECT_EQ(orielcli::PlainLineEnds("a\r\nb\r\n\r\nc"), "a\nb\n\nc");
    EXPECT_EQ(orielcli::PlainLineEnds("100%s\r"), "100%s\r");
}

using testsupport::Ran;
using testsupport::RunProgram;

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
            testsupport::ExecOrExit(argv);
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

std::string TempDir() {
    char dir[] = "/tmp/oriel_cli_run_XXXXXX";
    return mkdtemp(dir) != nullptr ? dir : "";
}

std::string Slurp(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    std::string s;
    if (f != nullptr) {
        char buf[65536];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
            s.append(buf, n);
        }
        std::fclose(f);
    }
    return s;
}

void Spill(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

TEST(OrielCliProgram, DownloadsErasesAndDumpsOnOneConnection) {
    const std::string dir = TempDir();
    std::string image(300000, '\0');
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>((i * 7919) >> 5);
    }
    Spill(dir + "/main.bin", image);
    {
        SimProcess sim({"--no-pace", "--nor", dir + "/nor.bin"});
        ASSERT_TRUE(sim.Ready());
        const Ran ran =
            RunProgram({ORIEL_CLI_PATH, "--port", sim.Link(), "--mode", "tat", "--speed", "921600",
                        "--log", dir + "/run.log", "download", "main", dir + "/main.bin", "erase",
                        "6", "dump", "4-6", dir + "/dump.hex"});
        EXPECT_EQ(ran.nStatus, 0) << ran.err;
        EXPECT_NE(ran.err.find("download main: done, 300000 bytes"), std::string::npos) << ran.err;
        EXPECT_NE(ran.err.find("erase: done, 1 of 1"), std::string::npos) << ran.err;
        EXPECT_NE(ran.err.find("dump: done, 393216 bytes"), std::string::npos) << ran.err;
    }
    // Sectors 4 and 5 hold the image; sector 6 was erased after it.
    const std::string dump = Slurp(dir + "/dump.hex");
    ASSERT_EQ(dump.size(), 393216u);
    EXPECT_EQ(dump.substr(0, 262144), image.substr(0, 262144));
    EXPECT_EQ(dump.substr(262144), std::string(131072, '\xFF'));
    const std::string nor = Slurp(dir + "/nor.bin");
    ASSERT_EQ(nor.size(), 16u * 1024 * 1024);
    EXPECT_EQ(nor.substr(0x20000, 262144), image.substr(0, 262144));
    // The log file: every line stamped, the run's messages in it.
    const std::string log = Slurp(dir + "/run.log");
    EXPECT_NE(log.find(" message: Download completed!\n"), std::string::npos);
    EXPECT_NE(log.find(" ** Erasing NOR-Flash **\n"), std::string::npos);
    size_t lines = 0;
    for (size_t p = 0; p < log.size(); p = log.find('\n', p) + 1) {
        EXPECT_EQ(log[p + 4], '-') << log.substr(p, 40);
        EXPECT_EQ(log[p + 13], ':') << log.substr(p, 40);
        ++lines;
    }
    EXPECT_GT(lines, 20u);
    for (const char* name : {"/main.bin", "/nor.bin", "/dump.hex", "/run.log"}) {
        unlink((dir + name).c_str());
    }
    rmdir(dir.c_str());
}

TEST(OrielCliProgram, DownloadVerifyAndAStandaloneVerifyThatDiffers) {
    const std::string dir = TempDir();
    std::string image(150000, '\0');
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>((i * 31) >> 3);
    }
    Spill(dir + "/main.bin", image);
    image[140000] = static_cast<char>(image[140000] ^ 0x40);
    Spill(dir + "/other.bin", image);
    SimProcess sim({"--no-pace"});
    ASSERT_TRUE(sim.Ready());
    Ran ran = RunProgram({ORIEL_CLI_PATH, "--port", sim.Link(), "--mode", "tat", "--speed",
                          "921600", "download", "main", dir + "/main.bin", "--verify"});
    EXPECT_EQ(ran.nStatus, 0) << ran.err << ran.out;
    EXPECT_NE(ran.err.find("message: Verify completed!"), std::string::npos) << ran.err;
    EXPECT_NE(ran.out.find("Verifying 0x10020000 (150000 bytes)... OK!"), std::string::npos)
        << ran.out;
    ran = RunProgram({ORIEL_CLI_PATH, "--port", sim.Link(), "--mode", "tat", "--speed", "921600",
                      "verify", "main", dir + "/other.bin"});
    EXPECT_EQ(ran.nStatus, orielcli::kExitFailed) << ran.err;
    EXPECT_NE(ran.err.find("verify main failed in state WAIT_DUMP_BLOCK (24): ** Verify FAILED: "
                           "first difference at 0x100422E0"),
              std::string::npos)
        << ran.err;
    std::filesystem::remove_all(dir);
}

TEST(OrielCliProgram, AFailedStepEndsTheRunAndIsNamed) {
    const std::string dir = TempDir();
    Spill(dir + "/main.bin", std::string(200000, 'x'));
    SimProcess sim({"--no-pace", "--wrong", "sector-sum:5"});
    ASSERT_TRUE(sim.Ready());
    const Ran ran = RunProgram({ORIEL_CLI_PATH, "--port", sim.Link(), "--mode", "tat", "download",
                                "main", dir + "/main.bin", "erase", "7"});
    EXPECT_EQ(ran.nStatus, orielcli::kExitFailed);
    EXPECT_NE(ran.err.find("oriel_cli: download main failed in state WAIT_SECTOR_SUM (50): "
                           "Address 0x10040000... Last size(1344)Fail to download sector("),
              std::string::npos)
        << ran.err;
    EXPECT_EQ(ran.out.find("Erasing NOR-Flash"), std::string::npos);  // the run stopped there
    unlink((dir + "/main.bin").c_str());
    rmdir(dir.c_str());
}

TEST(OrielCliProgram, SilenceMidSectorTimesOutWithTheState) {
    const std::string dir = TempDir();
    Spill(dir + "/main.bin", std::string(200000, 'x'));
    SimProcess sim({"--no-pace", "--stop-after", "chunk-ack:3"});
    ASSERT_TRUE(sim.Ready());
    const Ran ran = RunProgram({ORIEL_CLI_PATH, "--port", sim.Link(), "--mode", "tat", "--timeout",
                                "1", "--quiet", "download", "main", dir + "/main.bin"});
    EXPECT_EQ(ran.nStatus, orielcli::kExitTimeout);
    EXPECT_NE(ran.err.find("download main timed out: the handset sent nothing for 1 s in state "
                           "WAIT_CHUNK_ACK (49)"),
              std::string::npos)
        << ran.err;
    EXPECT_TRUE(ran.out.empty()) << ran.out;
    unlink((dir + "/main.bin").c_str());
    rmdir(dir.c_str());
}

// A two-file package in a temporary folder.
std::string MakePackage(const std::string& dir) {
    Spill(dir + "/pkg.mfx", std::string(5000, 'a') + std::string(9000, 'b'));
    Spill(dir + "/pkg.cfg",
          "MFXVERSION : 0123456789ABCDEF\r\nDIR_NAME : /sys\r\nDIR_NAME : /sys/data\r\n"
          "FILE_NAME : /sys/a.txt\r\nFILE_SIZE : 5000\r\n"
          "FILE_NAME : /sys/data/b.bin\r\nFILE_SIZE : 9000\r\n");
    return dir + "/pkg.mfx";
}

TEST(OrielCliProgram, FillsBrowsesAndEmptiesTheFileSystem) {
    const std::string dir = TempDir();
    const std::string pkg = MakePackage(dir);
    SimProcess sim({"--no-pace", "--nand", dir + "/nand"});
    ASSERT_TRUE(sim.Ready());
    const Ran ran = RunProgram({ORIEL_CLI_PATH,
                                "--port",
                                sim.Link(),
                                "--mode",
                                "tat",
                                "--speed",
                                "921600",
                                "mfx-download",
                                pkg,
                                "ls",
                                "/sys",
                                "get",
                                "/sys/data/b.bin",
                                dir + "/b.got",
                                "stat",
                                "/sys/a.txt",
                                "rm",
                                "/sys/a.txt",
                                "ls",
                                "/sys",
                                "nand-status"});
    EXPECT_EQ(ran.nStatus, 0) << ran.err << ran.out;
    EXPECT_EQ(Slurp(dir + "/b.got"), std::string(9000, 'b'));
    EXPECT_NE(ran.out.find("dir  data\nfile a.txt\n"), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find("*File size : 5000 byte"), std::string::npos);
    // After the delete, the second listing has no a.txt.
    const size_t second = ran.out.rfind("dir  data\n");
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(ran.out.find("file a.txt", second), std::string::npos);
    EXPECT_NE(ran.out.find("< Result >"), std::string::npos);
    EXPECT_EQ(Slurp(dir + "/nand/sys/data/b.bin"), std::string(9000, 'b'));
    std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(OrielCliProgram, AHandsetThatNeverCompletesTheWritingTimesOut) {
    const std::string dir = TempDir();
    const std::string pkg = MakePackage(dir);
    SimProcess sim({"--no-pace", "--wrong", "complete-ack"});
    ASSERT_TRUE(sim.Ready());
    const Ran ran = RunProgram({ORIEL_CLI_PATH, "--port", sim.Link(), "--mode", "tat", "--timeout",
                                "1", "mfx-download", pkg});
    EXPECT_EQ(ran.nStatus, orielcli::kExitTimeout) << ran.err;
    EXPECT_NE(ran.out.find("Writing NAND Fail! "), std::string::npos);
    EXPECT_NE(ran.err.find("in state WAIT_COMPLETE_ACK (58)"), std::string::npos) << ran.err;
    std::system(("rm -rf '" + dir + "'").c_str());
}

// A run in the background, stdout and stderr read as they come.
class Background {
  public:
    explicit Background(const std::vector<std::string>& argv) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            close(out[0]);
            testsupport::ExecOrExit(argv);
        }
        close(out[1]);
        m_fd = out[0];
    }
    ~Background() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    // Reads until the text has appeared; false at the end of the output.
    bool WaitFor(const std::string& text) {
        char buf[4096];
        while (m_out.find(text) == std::string::npos) {
            const ssize_t r = read(m_fd, buf, sizeof buf);
            if (r <= 0) {
                return false;
            }
            m_out.append(buf, static_cast<size_t>(r));
        }
        return true;
    }
    // Sends the signal and waits; the exit status, or -signal when killed.
    int Signal(int nSignal) {
        kill(m_pid, nSignal);
        return Finish();
    }
    // Reads what is left of the output and waits for the end.
    int Finish() {
        char buf[4096];
        ssize_t r = 0;
        while ((r = read(m_fd, buf, sizeof buf)) > 0) {
            m_out.append(buf, static_cast<size_t>(r));
        }
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    const std::string& Output() const { return m_out; }

  private:
    pid_t m_pid = -1;
    int m_fd = -1;
    std::string m_out;
};

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Interrupted, killed or timed out: whatever is under the chosen name is
// either what was there before or a whole transfer.
TEST(OrielCliProgram, AnInterruptedDumpLeavesTheChosenNameAlone) {
    const std::string dir = TempDir();
    const std::string out = dir + "/dump.hex";
    Spill(out, "the previous dump");
    {
        SimProcess sim({});  // paced: the dump takes seconds
        ASSERT_TRUE(sim.Ready());
        Background run({ORIEL_CLI_PATH, "--port", sim.Link(), "--mode", "tat", "--speed", "921600",
                        "dump", "4-20", out});
        ASSERT_TRUE(run.WaitFor("Dumping sector (0x10040000)"));
        EXPECT_EQ(run.Signal(SIGINT), orielcli::kExitInterrupted);
    }
    EXPECT_EQ(Slurp(out), "the previous dump");
    const std::string kept = Slurp(out + ".incomplete");
    EXPECT_GE(kept.size(), 131072u);
    EXPECT_EQ(kept.size() % 8192, 0u);
    EXPECT_EQ(FilesIn(dir), (std::vector<std::string>{"dump.hex", "dump.hex.incomplete"}));
    {
        SimProcess sim({});
        ASSERT_TRUE(sim.Ready());
        Background run({ORIEL_CLI_PATH, "--port", sim.Link(), "--mode", "tat", "--speed", "921600",
                        "dump", "4-20", out});
        ASSERT_TRUE(run.WaitFor("Dumping sector (0x10040000)"));
        EXPECT_EQ(run.Signal(SIGKILL), -SIGKILL);
    }
    // A kill leaves only the temporary file beside it.
    EXPECT_EQ(Slurp(out), "the previous dump");
    EXPECT_EQ(Slurp(out + ".incomplete").size(), kept.size());
    const std::vector<std::string> names = FilesIn(dir);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_TRUE(names[1].starts_with("dump.hex.") && names[1].ends_with(".part")) << names[1];
    std::filesystem::remove_all(dir);
}

// The handset's side going away ends the run at once, not after the time-out.
TEST(OrielCliProgram, AVanishedHandsetEndsTheRunAtOnce) {
    const std::string dir = TempDir();
    const std::string out = dir + "/dump.hex";
    auto sim = std::make_unique<SimProcess>(std::vector<std::string>{});
    ASSERT_TRUE(sim->Ready());
    Background run({ORIEL_CLI_PATH, "--port", sim->Link(), "--mode", "tat", "--speed", "921600",
                    "--timeout", "60", "dump", "4-20", out});
    ASSERT_TRUE(run.WaitFor("Dumping sector (0x10040000)"));
    sim.reset();
    const auto t0 = std::chrono::steady_clock::now();
    const int nStatus = run.Finish();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    const std::string& errText = run.Output();
    EXPECT_EQ(nStatus, orielcli::kExitFailed) << errText;
    EXPECT_NE(errText.find("message: The handset's port went away!"), std::string::npos) << errText;
    EXPECT_NE(errText.find("dump failed in state WAIT_DUMP_BLOCK (24): ** The handset's port went "
                           "away ("),
              std::string::npos)
        << errText;
    EXPECT_NE(errText.find("kept in " + out + ".incomplete"), std::string::npos) << errText;
    EXPECT_EQ(access(out.c_str(), F_OK), -1);
    std::filesystem::remove_all(dir);
}

// A NAND in DIR/nand holding the package of MakePackage.
bool FillNand(const std::string& dir) {
    const std::string pkg = MakePackage(dir);
    SimProcess sim({"--no-pace", "--nand", dir + "/nand"});
    return sim.Ready() &&
           RunProgram({ORIEL_CLI_PATH, "--port", sim.Link(), "--mode", "tat", "mfx-download", pkg})
                   .nStatus == 0;
}

TEST(OrielCliProgram, ATimedOutGetKeepsItsBytesBesideAnEarlierIncompleteOne) {
    const std::string dir = TempDir();
    ASSERT_TRUE(FillNand(dir));
    Spill(dir + "/b.got.incomplete", "an earlier failure");
    SimProcess sim({"--no-pace", "--nand", dir + "/nand", "--stop-after", "read-chunk-sum:0"});
    ASSERT_TRUE(sim.Ready());
    const Ran ran = RunProgram({ORIEL_CLI_PATH, "--port", sim.Link(), "--mode", "tat", "--timeout",
                                "1", "get", "/sys/data/b.bin", dir + "/b.got"});
    EXPECT_EQ(ran.nStatus, orielcli::kExitTimeout) << ran.err;
    EXPECT_NE(ran.err.find("get timed out: the handset sent nothing for 1 s in state "
                           "EXP_FILE_DATA (39)"),
              std::string::npos)
        << ran.err;
    EXPECT_NE(ran.err.find("kept in " + dir + "/b.got.2.incomplete"), std::string::npos) << ran.err;
    EXPECT_NE(ran.out.find("** Transfer FAILED (timed out): 8192 bytes kept in " + dir +
                           "/b.got.2.incomplete **"),
              std::string::npos)
        << ran.out;
    EXPECT_EQ(access((dir + "/b.got").c_str(), F_OK), -1);
    EXPECT_EQ(Slurp(dir + "/b.got.incomplete"), "an earlier failure");
    EXPECT_EQ(Slurp(dir + "/b.got.2.incomplete"), std::string(8192, 'b'));
    std::filesystem::remove_all(dir);
}

// The explorer's failures name its own states, and an unmount answered
// wrongly fails every explorer command the same way.
TEST(OrielCliProgram, ExplorerFailuresNameTheExplorersStateAndAWrongUnmountFailsAlike) {
    const std::string dir = TempDir();
    ASSERT_TRUE(FillNand(dir));
    {
        SimProcess sim({"--no-pace", "--nand", dir + "/nand", "--wrong", "read-size"});
        ASSERT_TRUE(sim.Ready());
        const Ran ran = RunProgram({ORIEL_CLI_PATH, "--port", sim.Link(), "--mode", "tat", "get",
                                    "/sys/a.txt", dir + "/a.got"});
        EXPECT_EQ(ran.nStatus, orielcli::kExitFailed);
        EXPECT_NE(ran.err.find("get failed in state EXP_FILE_FOUND (37)"), std::string::npos)
            << ran.err;
    }
    const std::vector<std::vector<std::string>> commands = {
        {"ls", "/sys"}, {"stat", "/sys/a.txt"}, {"get", "/sys/a.txt", dir + "/a.got"}};
    for (const auto& command : commands) {
        SimProcess sim({"--no-pace", "--nand", dir + "/nand", "--wrong", "unmount-ack"});
        ASSERT_TRUE(sim.Ready());
        std::vector<std::string> argv = {ORIEL_CLI_PATH, "--port", sim.Link(), "--mode", "tat"};
        argv.insert(argv.end(), command.begin(), command.end());
        const Ran ran = RunProgram(argv);
        EXPECT_EQ(ran.nStatus, orielcli::kExitFailed) << command[0] << ": " << ran.err;
        EXPECT_NE(ran.err.find(command[0] + " (unmount) failed in state EXP_UNMOUNT (34)"),
                  std::string::npos)
            << ran.err;
    }
    std::filesystem::remove_all(dir);
}

TEST(OrielCliProgram, BadArgumentsAreRefusedBeforeThePortIsOpened) {
    // The port does not exist: the argument error must come first.
    const Ran ran = RunProgram({ORIEL_CLI_PATH, "--port", "/nonexistent/tty", "erase", "2,2"});
    EXPECT_EQ(ran.nStatus, orielcli::kExitUsage);
    EXPECT_NE(ran.err.find("sector 2 is named twice"), std::string::npos) << ran.err;
    EXPECT_EQ(ran.err.find("Port Initialization Failed!"), std::string::npos);
    // So is an output file that could not be made.
    const Ran dump = RunProgram(
        {ORIEL_CLI_PATH, "--port", "/nonexistent/tty", "dump", "4", "/nonexistent/d.hex"});
    EXPECT_EQ(dump.nStatus, orielcli::kExitUsage);
    EXPECT_NE(dump.err.find("the folder '/nonexistent' does not exist"), std::string::npos)
        << dump.err;
    EXPECT_EQ(dump.err.find("Port Initialization Failed!"), std::string::npos);
}

TEST(OrielCliProgram, AMissingPortIsReported) {
    const Ran ran = RunProgram({ORIEL_CLI_PATH, "--port", "/nonexistent/tty", "info"});
    EXPECT_EQ(ran.nStatus, orielcli::kExitFailed);
    EXPECT_NE(ran.err.find("message: Port Initialization Failed!"), std::string::npos);
}

}  // namespace
