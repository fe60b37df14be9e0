// The modem-side port: its settings string, and the port itself on a
// pseudo-terminal with the test as the modem.
#include "fleet/transport/com_port.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <thread>

#include "tests/support/pty_pair.h"

namespace {

using namespace std::chrono_literals;
using fleet::ComSettings;
using fleet::ParseComSettings;

TEST(ComSettingsTest, LowerCaseParsesAsUpperCase) {
    for (const char* text : {"\\\\.\\com7:115200,n,8,0", "\\\\.\\COM7:115200,N,8,0"}) {
        ComSettings s;
        ASSERT_TRUE(ParseComSettings(text, s)) << text;
        EXPECT_EQ(s.strDevice, "\\\\.\\COM7");
        EXPECT_EQ(s.nPort, 7u);
        EXPECT_EQ(s.nBaud, 115200u);
        EXPECT_EQ(s.nParity, 0);
        EXPECT_EQ(s.nDataBits, 8);
        EXPECT_EQ(s.nStopBits, 0);
    }
}

TEST(ComSettingsTest, ParityLettersAndPaths) {
    const std::pair<char, int> letters[] = {{'o', 1}, {'E', 2}, {'m', 3}, {'S', 4}, {'x', 4}};
    for (auto [letter, code] : letters) {
        ComSettings s;
        ASSERT_TRUE(ParseComSettings(std::string("\\\\.\\COM12:9600,") + letter + ",7,2", s));
        EXPECT_EQ(s.nParity, code) << letter;
        EXPECT_EQ(s.nPort, 12u);
        EXPECT_EQ(s.nDataBits, 7);
        EXPECT_EQ(s.nStopBits, 2);
    }
    ComSettings s;
    ASSERT_TRUE(ParseComSettings("/dev/serial/by-id/usb-Sim_Handset_A-ttyACM3:115200,N,8,0", s));
    EXPECT_EQ(s.strDevice, "/dev/serial/by-id/usb-Sim_Handset_A-ttyACM3")
        << "a path keeps its case";
    EXPECT_EQ(s.nPort, 3u);
    ASSERT_TRUE(ParseComSettings("COM:115200,N,8,0", s));
    EXPECT_EQ(s.nPort, 0u);
}

TEST(ComSettingsTest, IncompleteStringsAreRefused) {
    for (const char* text :
         {"", ":", "\\\\.\\COM7", "\\\\.\\COM7:", "\\\\.\\COM7:115200", "\\\\.\\COM7:115200,",
          "\\\\.\\COM7:115200,N", "\\\\.\\COM7:115200,N,", "\\\\.\\COM7:115200,N,8",
          "\\\\.\\COM7:115200,N,8,", "\\\\.\\COM7:fast,N,8,0", "\\\\.\\COM7:99999999999,N,8,0",
          ":115200,N,8,0"}) {
        ComSettings s;
        EXPECT_FALSE(ParseComSettings(text, s)) << text;
    }
}

class ComPortTest : public ::testing::Test {
  protected:
    std::string Settings(const char* line = ":115200,N,8,0") { return pty.SlavePath() + line; }
    testsupport::CPtyPair pty;
    fleet::ComPort port;
};

TEST_F(ComPortTest, OpensRawAtTheBaudAndSettles) {
    ASSERT_EQ(port.Initialise(), 1);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(port.Open(Settings()), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 490ms);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(pty.SlaveSpeed(), static_cast<unsigned>(B115200));
    EXPECT_EQ(port.BaudRate(), 115200u);
    EXPECT_EQ(port.PortNumber(), std::stoul(pty.SlavePath().substr(9)));  // /dev/pts/N

    // Raw: the port neither echoes nor translates what the modem sends.
    const std::vector<uint8_t> frame = {0x7E, 0x0A, 0x0D, 0x03, 0x7E};
    pty.Write(frame);
    std::this_thread::sleep_for(50ms);
    uint8_t buffer[fleet::kComReceiveBufferSize];
    ASSERT_EQ(port.ReadInto(buffer, sizeof buffer), frame.size());
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), buffer));
    EXPECT_TRUE(pty.ReadAvailable(50ms).empty());

    ASSERT_EQ(port.Write(frame.data(), frame.size()), 1);
    EXPECT_EQ(pty.ReadExactly(frame.size(), 1s), frame);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.Close(), 0);
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(ComPortTest, ReadWithNothingQueuedReturnsAtOnce) {
    ASSERT_EQ(port.Initialise(), 1);
    ASSERT_EQ(port.Open(Settings()), 1);
    uint8_t buffer[fleet::kComReceiveBufferSize];
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(port.ReadInto(buffer, sizeof buffer), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 50ms);
}

TEST_F(ComPortTest, DrainLoopTakesAtMostTheBufferPerRead) {
    ASSERT_EQ(port.Initialise(), 1);
    ASSERT_EQ(port.Open(Settings()), 1);
    std::vector<uint8_t> sent(3000);
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<uint8_t>(i * 7);
    }
    pty.Write(sent);
    std::this_thread::sleep_for(100ms);
    std::vector<uint8_t> got;
    uint8_t small[1000];
    size_t n = 0;
    while ((n = port.ReadInto(small, sizeof small)) > 0) {
        EXPECT_LE(n, sizeof small) << "never past the caller's buffer";
        got.insert(got.end(), small, small + n);
    }
    EXPECT_EQ(got, sent);
}

TEST_F(ComPortTest, RefusesWhatItCannotOpen) {
    ASSERT_EQ(port.Initialise(), 1);
    fleet::ComPort other;
    ASSERT_EQ(port.Open(Settings()), 1);
    EXPECT_EQ(other.Open(Settings()), 0) << "a port is one slot's";
    EXPECT_FALSE(other.IsOpen());
    EXPECT_EQ(other.Open("\\\\.\\COM7:115200,N,8,0"), 0) << "no device path";
    EXPECT_EQ(other.Open(Settings(":115201,N,8,0")), 0) << "no such rate";
    EXPECT_EQ(other.Open("/dev/null:115200,N,8,0"), 0) << "not a serial line";
    EXPECT_EQ(other.Open(Settings(":115200,N,8")), 0);
    uint8_t byte = 0;
    EXPECT_EQ(other.Write(&byte, 1), 0);
    EXPECT_EQ(other.ReadInto(&byte, 1), 0u);
}

}  // namespace
