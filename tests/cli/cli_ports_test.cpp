// The command lines as installed programs see them: --version, --list-ports,
// and why a port could not be opened, each program run as a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/version.h"
#include "tests/support/pty_pair.h"
#include "tests/support/run_program.h"
#include "tests/support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Ran;
using testsupport::RunProgram;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class CliPorts : public ::testing::Test {
  protected:
    std::string File(const std::string& name) const { return (root / name).string(); }
    testsupport::CScratchDir scratch{"cli_ports"};
    const fs::path root = scratch.Path();
};

TEST_F(CliPorts, EveryProgramSaysTheSuitesVersion) {
    for (const char* path : {ORIEL_CLI_PATH, FLEET_CLI_PATH}) {
        const Ran ran = RunProgram({path, "--version"});
        EXPECT_EQ(ran.nStatus, 0);
        const std::string name = fs::path(path).filename().string();
        EXPECT_EQ(ran.out.substr(0, ran.out.find('\n')), platform::VersionLine(name)) << ran.out;
        EXPECT_EQ(ran.err, "");
    }
    // --version wins over a job, which is neither checked nor run.
    const Ran ran =
        RunProgram({ORIEL_CLI_PATH, "--port", "/nonexistent", "erase", "2,2", "--version"});
    EXPECT_EQ(ran.nStatus, 0);
    EXPECT_TRUE(Contains(ran.out, platform::VersionLine("oriel_cli")));
}

TEST_F(CliPorts, OrielListsTheConfiguredComNumbersBesideThePorts) {
    testsupport::CPtyPair sim;
    const std::string link = File("COM1");
    fs::create_symlink(sim.SlavePath(), link);
    const std::string ini = File("settings.ini");
    std::ofstream(ini) << "[Ports]\nCOM3=" << link << "\nCOM7=/nonexistent/ttyUSB9\n";
    const Ran ran = RunProgram({ORIEL_CLI_PATH, "--settings", ini, "--list-ports"});
    EXPECT_EQ(ran.nStatus, 0) << ran.err;
    EXPECT_TRUE(Contains(ran.out, "COM3 opens " + link + " (" + fs::canonical(link).string() +
                                      ", not a listed serial port)\n"))
        << ran.out;
    EXPECT_TRUE(Contains(ran.out, "COM7 opens /nonexistent/ttyUSB9: not present\n")) << ran.out;
    // COM numbers left at their defaults are not repeated.
    EXPECT_FALSE(Contains(ran.out, "COM2 opens")) << ran.out;
}

TEST_F(CliPorts, AMissingPortIsFollowedByItsCause) {
    const Ran ran = RunProgram({ORIEL_CLI_PATH, "--port", "/nonexistent/tty", "info"});
    EXPECT_EQ(ran.nStatus, 1);
    EXPECT_TRUE(Contains(ran.err,
                         "message: Port Initialization Failed!\n"
                         "oriel_cli: cannot open the port: /nonexistent/tty: missing: "
                         "no such device\noriel_cli: check that the device is plugged in"))
        << ran.err;
}

TEST_F(CliPorts, ABusyPortNamesTheProcessHoldingIt) {
    testsupport::CPtyPair pty;
    const int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const Ran ran = RunProgram({ORIEL_CLI_PATH, "--port", pty.SlavePath(), "--quiet", "info"});
    close(fd);
    EXPECT_EQ(ran.nStatus, 1);
    // --quiet leaves out the message box but never the cause.
    EXPECT_FALSE(Contains(ran.err, "message:")) << ran.err;
    EXPECT_TRUE(Contains(ran.err, "oriel_cli: cannot open the port: " + pty.SlavePath() +
                                      ": busy: held by process " + std::to_string(getpid())))
        << ran.err;
    EXPECT_TRUE(Contains(ran.err, "oriel_cli: close the program that holds the port")) << ran.err;
}

TEST_F(CliPorts, AFileIsNoSerialPort) {
    const std::string file = File("image.bin");
    std::ofstream(file) << "not a tty";
    const Ran ran = RunProgram({ORIEL_CLI_PATH, "--port", file, "info"});
    EXPECT_EQ(ran.nStatus, 1);
    EXPECT_TRUE(Contains(ran.err, "message: Port Initialization Failed!\n")) << ran.err;
    EXPECT_TRUE(Contains(ran.err, file + ": not a serial port (no terminal device)")) << ran.err;
}

TEST_F(CliPorts, FleetListsTheDeviceFolderWithWhatEachPatternTakes) {
    testsupport::CPtyPair pda, modem, other;
    fs::create_directories(root / "dev");
    fs::create_symlink(modem.SlavePath(), root / "dev/usb-Sim_Handset_0001-if00");
    fs::create_symlink(pda.SlavePath(), root / "dev/usb-Sim_Handset_0001-if01");
    fs::create_symlink(other.SlavePath(), root / "dev/usb-FTDI_Cable_A1-if00-port0");
    std::ofstream((root / "dev/README").string()) << "not a port";
    const Ran ran = RunProgram({FLEET_CLI_PATH, "--list-ports", "--watch", File("dev"),
                                "--modem-pattern", "usb-Sim*-if00*"});
    EXPECT_EQ(ran.nStatus, 0) << ran.err;
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl = ran.out.find('\n'); nl != std::string::npos; nl = ran.out.find('\n', start)) {
        lines.push_back(ran.out.substr(start, nl - start));
        start = nl + 1;
    }
    ASSERT_EQ(lines.size(), 5u) << ran.out;
    EXPECT_EQ(lines[0],
              File("dev") + ": PDA interfaces 'usb-*-if01*', modem ports 'usb-Sim*-if00*'");
    auto columns = [](const std::string& line) {
        std::vector<std::string> out;
        size_t at = 0;
        while (at < line.size()) {
            const size_t end = line.find("  ", at);
            out.push_back(line.substr(at, end - at));
            if (end == std::string::npos) {
                break;
            }
            at = line.find_first_not_of(' ', end);
        }
        return out;
    };
    EXPECT_EQ(columns(lines[1]),
              (std::vector<std::string>{"LINK", "DEVICE", "ROLE", "USB DEVICE"}));
    EXPECT_EQ(columns(lines[2]), (std::vector<std::string>{"usb-FTDI_Cable_A1-if00-port0",
                                                           fs::canonical(other.SlavePath()), "-"}));
    EXPECT_EQ(columns(lines[3]),
              (std::vector<std::string>{"usb-Sim_Handset_0001-if00",
                                        fs::canonical(modem.SlavePath()), "modem"}));
    EXPECT_EQ(columns(lines[4]), (std::vector<std::string>{"usb-Sim_Handset_0001-if01",
                                                           fs::canonical(pda.SlavePath()), "PDA"}));

    const Ran missing = RunProgram({FLEET_CLI_PATH, "--list-ports", "--watch", File("none")});
    EXPECT_EQ(missing.nStatus, 0);
    EXPECT_TRUE(Contains(missing.out, "The folder is not there (yet)")) << missing.out;
}

}  // namespace
