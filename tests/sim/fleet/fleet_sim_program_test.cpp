// fleet_handset_sim as a program: its usage, its refusals, the lines it
// prints, its links while it runs and what it leaves behind when stopped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/sim/fleet/fleet_test_support.h"

namespace {

using namespace fleetsimtest;

struct SimRun {
    pid_t pid = -1;
    int hOut = -1;
    int hErr = -1;
};

SimRun Launch(const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(FLEET_HANDSET_SIM_PATH));
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(FLEET_HANDSET_SIM_PATH, argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return {pid, out[0], err[0]};
}

std::string ReadLine(int fd) {
    std::string line;
    char ch = 0;
    while (read(fd, &ch, 1) == 1 && ch != '\n') {
        line += ch;
    }
    return line;
}

std::string ReadAll(int fd) {
    std::string s;
    char buf[4096];
    ssize_t r = 0;
    while ((r = read(fd, buf, sizeof buf)) > 0) {
        s.append(buf, static_cast<size_t>(r));
    }
    return s;
}

int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FleetSimProgram, HelpNamesEveryOptionAndBadOptionsExitWithTwo) {
    {
        SimRun r = Launch({"--help"});
        const std::string out = ReadAll(r.hOut);
        EXPECT_EQ(Wait(r.pid), 0);
        for (const char* option :
             {"--dir",       "--count",       "--store",    "--pace",         "--serial-prefix",
              "--ack-block", "--modem-delay", "--no-modem", "--verify-delay", "--signature-delay",
              "--answers",   "--wrong",       "--silent",   "--unplug",       "--verbose",
              "okud",        "ack",           "checksum",   "stream",         "greeting",
              "open",        "block",         "launch"}) {
            EXPECT_NE(out.find(option), std::string::npos) << option;
        }
        close(r.hOut);
        close(r.hErr);
    }
    {
        SimRun r = Launch({"--dir", "/tmp/x", "--count", "1"});
        const std::string err = ReadAll(r.hErr);
        EXPECT_EQ(Wait(r.pid), 2);
        EXPECT_NE(err.find("--store DIR is required"), std::string::npos) << err;
        close(r.hOut);
        close(r.hErr);
    }
}

TEST(FleetSimProgram, PrintsReadyServesTheHandsetsAndCleansUpOnSigterm) {
    CTempDir dir;
    const std::string dev = dir.File("dev");
    const std::string store = dir.File("store");
    SimRun r = Launch({"--dir", dev, "--count", "2", "--store", store, "--wrong", "okud@2"});
    const std::string first = ReadLine(r.hOut);
    const std::string second = ReadLine(r.hOut);
    EXPECT_EQ(first, "handset 1 FSIM0001 " + dev + "/usb-Sim_Handset_FSIM0001-if01 " + store +
                         "/FSIM0001");
    EXPECT_EQ(second, "handset 2 FSIM0002 " + dev + "/usb-Sim_Handset_FSIM0002-if01 " + store +
                          "/FSIM0002");
    EXPECT_EQ(ReadLine(r.hOut), "ready 2");
    const std::string link1 = dev + "/usb-Sim_Handset_FSIM0001-if01";
    const std::string link2 = dev + "/usb-Sim_Handset_FSIM0002-if01";
    EXPECT_TRUE(IsLink(link1));
    EXPECT_TRUE(IsLink(link2));
    {
        Client c(link1);
        c.Send({'A', 'T', 'U', 'D'});
        EXPECT_EQ(c.Read(4), (Bytes{'O', 'K', 'U', 'D'}));
        Client d(link2);
        d.Send({'A', 'T', 'U', 'D'});
        EXPECT_EQ(d.Read(4), (Bytes{'O', 'K', 'U', 'X'})) << "the fault is handset 2's only";
    }
    std::this_thread::sleep_for(50ms);
    kill(r.pid, SIGTERM);
    EXPECT_EQ(Wait(r.pid), 0);
    const std::string err = ReadAll(r.hErr);
    EXPECT_NE(err.find("sim 2:"), std::string::npos) << err;
    EXPECT_NE(err.find("published"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(link1));
    EXPECT_FALSE(std::filesystem::exists(link2));
    const Bytes log = ReadFileBytes(store + "/FSIM0001/log.txt");
    const std::string text(log.begin(), log.end());
    EXPECT_NE(text.find("O K U D"), std::string::npos) << text;
    EXPECT_NE(text.find("stopped"), std::string::npos) << text;
    for (const char* f : {"ram.bin", "eboot.bin", "pda_flash.bin"}) {
        EXPECT_TRUE(std::filesystem::exists(store + "/FSIM0001/" + f)) << f;
    }
    close(r.hOut);
    close(r.hErr);
}

TEST(FleetSimProgram, RefusesToReplaceAFileThatIsNotALink) {
    CTempDir dir;
    const std::string dev = dir.File("dev");
    std::filesystem::create_directories(dev);
    const std::string taken = dev + "/usb-Sim_Handset_FSIM0001-if01";
    { std::ofstream(taken) << "mine"; }
    SimRun r = Launch({"--dir", dev, "--count", "1", "--store", dir.File("store")});
    const std::string err = ReadAll(r.hErr);
    EXPECT_EQ(Wait(r.pid), 1);
    EXPECT_NE(err.find("not a symbolic link"), std::string::npos) << err;
    EXPECT_EQ(ReadFileBytes(taken), (Bytes{'m', 'i', 'n', 'e'}));
    close(r.hOut);
    close(r.hErr);
}

}  // namespace
