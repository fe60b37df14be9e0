// The simulated handset on its own, seen from a bare tty client: what it
// refuses, how it boots, how it checks the rate, and its program's lifecycle.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "oriel/boot/loader_images.h"
#include "sim/oriel/oriel_handset.h"
#include "sim/oriel/sim_command_line.h"
#include "tests/sim/sim_tty_client.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using orielsim::Fault;
using orielsim::Step;

using simtest::Client;
using simtest::RealPreloader;

class HandsetTest : public ::testing::Test {
  protected:
    void Boot(orielsim::HandsetOptions o = {}) {
        o.bPace = false;
        handset = std::make_unique<orielsim::COrielHandset>(std::move(o));
        std::string error;
        ASSERT_TRUE(handset->Start(error)) << error;
    }

    uint8_t LoadPreloader(Client& c, const Bytes& preloader) {
        return simtest::LoadPreloader(c, preloader);
    }

    std::unique_ptr<orielsim::COrielHandset> handset;
};

TEST_F(HandsetTest, BootRomRepeatsItsConnectRequestUntilAnswered) {
    Boot();
    Client c(handset->SlavePath());
    ASSERT_TRUE(c.IsOpen());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.Read(4, 3000ms), (Bytes{0x81, 0x81, 0x81, 0x81}));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 100ms);  // at a modest interval
    EXPECT_EQ(handset->PowerOnCount(), 1);
}

TEST_F(HandsetTest, AWrongCustomerIdOrEchoIsNotAcknowledged) {
    Boot();
    Client c(handset->SlavePath());
    c.Read(1);
    c.Send({0x44});
    ASSERT_EQ(c.ReadSkipping81(), 0x44);
    c.Send({0x51});
    Bytes challenge = c.Read(16);
    ASSERT_EQ(challenge.size(), 16u);
    challenge[15] ^= 1;  // not the challenge it sent
    Bytes id{0x44};
    const auto customer = oriel::CustomerId();
    id.insert(id.end(), customer.begin(), customer.end());
    id.insert(id.end(), challenge.begin(), challenge.end());
    c.Send(id);
    const Bytes r = c.Read(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_NE(r[0], 'O');
}

TEST_F(HandsetTest, TheChallengeDiffersBetweenBoots) {
    Boot();
    Bytes first;
    for (int i = 0; i < 2; ++i) {
        Client c(handset->SlavePath());
        c.Read(1);
        c.Send({0x44});
        ASSERT_EQ(c.ReadSkipping81(), 0x44);
        c.Send({0x51});
        const Bytes ch = c.Read(16);
        if (i == 0) {
            first = ch;
        } else {
            EXPECT_NE(ch, first);
        }
        c.Close();
        std::this_thread::sleep_for(100ms);  // power off
    }
}

TEST_F(HandsetTest, APreloaderOtherThanTheEmbeddedOneIsNotStarted) {
    Boot();
    Client c(handset->SlavePath());
    Bytes tampered = RealPreloader();
    tampered[1000] ^= 0x40;
    EXPECT_NE(LoadPreloader(c, tampered), 0xAB);
}

TEST_F(HandsetTest, RateSyncIsAnsweredOnlyAtTheAgreedRate) {
    Boot();
    {
        // The host "forgets" to change its rate.
        Client c(handset->SlavePath());
        ASSERT_EQ(LoadPreloader(c, RealPreloader()), 0xAB);
        c.Send({3});
        c.Close();
        std::this_thread::sleep_for(100ms);
        Client again(handset->SlavePath());
        again.Send({0xD9});
        const Bytes r = again.Read(1);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_NE(r[0], 3);
    }
    std::this_thread::sleep_for(100ms);
    {
        Client c(handset->SlavePath());
        ASSERT_EQ(LoadPreloader(c, RealPreloader()), 0xAB);
        c.Send({3});
        c.Close();
        std::this_thread::sleep_for(100ms);
        Client again(handset->SlavePath());
        again.SetSpeed(B921600);
        again.Send({0xD9});
        EXPECT_EQ(again.Read(1), Bytes{3});
    }
}

TEST_F(HandsetTest, WithoutARateByteTheFirstBootRebootsAndTheSecondWaits) {
    Boot();
    Client c(handset->SlavePath());
    ASSERT_EQ(LoadPreloader(c, RealPreloader()), 0xAB);
    // Mode "Normal": the host sends nothing and waits for the chip to boot again.
    EXPECT_EQ(c.Read(1, 2000ms), Bytes{0x81});
    EXPECT_EQ(handset->BootCount(), 2);
    ASSERT_EQ(LoadPreloader(c, Bytes(RealPreloader())), 0xAB);
    // The second boot's pre-loader waits for the rate byte however long it takes.
    EXPECT_TRUE(c.Read(1, 800ms).empty());
    EXPECT_EQ(handset->BootCount(), 2);
}

TEST_F(HandsetTest, ClosingThePortPowersTheHandsetOff) {
    Boot();
    {
        Client c(handset->SlavePath());
        ASSERT_EQ(c.Read(1), Bytes{0x81});
    }
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (handset->Stage() != orielsim::HandsetStage::Off &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(handset->Stage(), orielsim::HandsetStage::Off);
    Client c(handset->SlavePath());
    EXPECT_EQ(c.Read(1), Bytes{0x81});
    EXPECT_EQ(handset->PowerOnCount(), 2);
}

TEST(SimNorFile, IsCreatedErasedKeptAcrossRunsAndRefusedWhenTheWrongSize) {
    char dir[] = "/tmp/oriel_sim_nor_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/nor.bin";
    {
        orielsim::HandsetOptions o;
        o.strNorFile = path;
        orielsim::COrielHandset h(o);
        std::string error;
        ASSERT_TRUE(h.Start(error)) << error;
        EXPECT_EQ(h.ReadNor(0x123456, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
        ASSERT_TRUE(h.WriteNor(0xFFFFFE, {0x12, 0x34}));
        EXPECT_EQ(h.ReadNor(0xFFFFFE, 100).size(), 2u);  // clamped to the flash
        h.Stop();
    }
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 16 * 1024 * 1024);
    {
        orielsim::HandsetOptions o;
        o.strNorFile = path;
        orielsim::COrielHandset h(o);
        std::string error;
        ASSERT_TRUE(h.Start(error)) << error;
        EXPECT_EQ(h.ReadNor(0xFFFFFE, 2), (Bytes{0x12, 0x34}));
    }
    ASSERT_EQ(truncate(path.c_str(), 1000), 0);
    {
        orielsim::HandsetOptions o;
        o.strNorFile = path;
        orielsim::COrielHandset h(o);
        std::string error;
        EXPECT_FALSE(h.Start(error));
        EXPECT_FALSE(error.empty());
    }
    unlink(path.c_str());
    rmdir(dir);
}

TEST(SimCommandLine, TurnsOptionsIntoHandsetSettings) {
    orielsim::SimCommandLine cl;
    std::string error;
    ASSERT_TRUE(orielsim::ParseSimCommandLine(
        {"--link", "/tmp/x", "--nor", "n.bin", "--no-pace", "--flash-id", "0001227e22442200",
         "--wrong", "block-sum:3", "--stop-after", "cs0-sum", "--refuse-rate"},
        cl, error))
        << error;
    EXPECT_EQ(cl.options.strLinkPath, "/tmp/x");
    EXPECT_EQ(cl.options.strNorFile, "n.bin");
    EXPECT_FALSE(cl.options.bPace);
    EXPECT_EQ(cl.options.flashId, orielsim::kFlashIdPC0);
    ASSERT_EQ(cl.options.faults.size(), 3u);
    EXPECT_EQ(cl.options.faults[0].kind, Fault::Kind::WrongReply);
    EXPECT_EQ(cl.options.faults[0].step, Step::BlockSum);
    EXPECT_EQ(cl.options.faults[0].nIndex, 3);
    EXPECT_EQ(cl.options.faults[1].kind, Fault::Kind::StopAfter);
    EXPECT_EQ(cl.options.faults[1].step, Step::Cs0Sum);
    EXPECT_EQ(cl.options.faults[2].step, Step::RateSync);
}

TEST(SimCommandLine, RefusesWhatItCannotUse) {
    orielsim::SimCommandLine cl;
    std::string error;
    EXPECT_FALSE(orielsim::ParseSimCommandLine({}, cl, error));
    EXPECT_NE(error.find("--link"), std::string::npos);
    EXPECT_FALSE(orielsim::ParseSimCommandLine({"--link", "x", "--wrong", "nonsense"}, cl, error));
    EXPECT_NE(error.find("unknown step"), std::string::npos);
    EXPECT_FALSE(orielsim::ParseSimCommandLine({"--link", "x", "--wrong", "grant:-1"}, cl, error));
    EXPECT_FALSE(orielsim::ParseSimCommandLine({"--link", "x", "--wrong", "challenge"}, cl, error));
    EXPECT_FALSE(orielsim::ParseSimCommandLine({"--link", "x", "--flash-id", "00012"}, cl, error));
    EXPECT_FALSE(orielsim::ParseSimCommandLine({"--link", "x", "--flash-id", "0001227e2244220g"},
                                               cl, error));
    EXPECT_FALSE(orielsim::ParseSimCommandLine({"--link"}, cl, error));
    EXPECT_FALSE(orielsim::ParseSimCommandLine({"--link", "x", "--bogus"}, cl, error));
}

// The program: link made, "ready PATH" printed, link removed on SIGTERM.
TEST(SimProgram, AnnouncesItsLinkAndRemovesItOnTerm) {
    char dir[] = "/tmp/oriel_sim_test_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/COM1";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execl(ORIEL_HANDSET_SIM_PATH, ORIEL_HANDSET_SIM_PATH, "--link", link.c_str(), "--no-pace",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char ch = 0;
    while (read(out[0], &ch, 1) == 1 && ch != '\n') {
        line += ch;
    }
    EXPECT_EQ(line, "ready " + link);
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    {
        Client c(link);
        EXPECT_EQ(c.Read(1), Bytes{0x81});
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(lstat(link.c_str(), &st), 0);
    close(out[0]);
    rmdir(dir);
}

TEST(SimProgram, RefusesToReplaceAFileThatIsNotALink) {
    char dir[] = "/tmp/oriel_sim_test_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/COM1";
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("keep me", f);
    std::fclose(f);
    orielsim::HandsetOptions o;
    o.strLinkPath = path;
    orielsim::COrielHandset handset(o);
    std::string error;
    EXPECT_FALSE(handset.Start(error));
    EXPECT_NE(error.find("not a symbolic link"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    unlink(path.c_str());
    rmdir(dir);
}

}  // namespace
