// Detection over pseudo-terminals published as device links, first with the
// test playing each handset's download-mode boot loader, then with the
// simulated handsets; and the vendor filter over a made-up sysfs tree.
#include "fleet/ui/detection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "fleet/pda/pda_commands.h"
#include "fleet/transport/tty_device.h"
#include "sim/fleet/fleet_handset.h"
#include "tests/support/pty_pair.h"

namespace {

using namespace fleet;
namespace fs = std::filesystem;

// A handset's interface: a pty linked into the folder; a thread answers the
// handshake with OKUD (or with garbage when told to).
class FakeInterface {
  public:
    FakeInterface(const std::string& folder, const std::string& name, bool bAnswer = true)
        : m_link(folder + "/" + name), m_bAnswer(bAnswer) {
        fs::create_symlink(m_pty.SlavePath(), m_link);
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeInterface() {
        m_bStop = true;
        m_thread.join();
        fs::remove(m_link);
    }
    const std::string& Link() const { return m_link; }
    int Handshakes() const { return m_nHandshakes; }

  private:
    void Serve() {
        std::vector<uint8_t> got;
        while (!m_bStop) {
            const std::vector<uint8_t> b = m_pty.ReadAvailable(std::chrono::milliseconds(5));
            got.insert(got.end(), b.begin(), b.end());
            // The handshake is 4 bytes; a command packet after it is 1024.
            while (got.size() >= 4) {
                if (std::string(got.begin(), got.begin() + 4) == "ATUD") {
                    ++m_nHandshakes;
                    m_pty.Write(m_bAnswer ? std::vector<uint8_t>{'O', 'K', 'U', 'D'}
                                          : std::vector<uint8_t>{'N', 'O', 'P', 'E'});
                    got.erase(got.begin(), got.begin() + 4);
                } else if (got.size() >= 1024) {
                    got.erase(got.begin(), got.begin() + 1024);
                } else {
                    break;
                }
            }
        }
    }
    testsupport::CPtyPair m_pty;
    std::string m_link;
    bool m_bAnswer;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nHandshakes{0};
    std::thread m_thread;
};

class Detection : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/fleet_detect_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        UsbPortTiming fast;
        fast.nPasses = 2;
        fast.nPolls = 3;
        fast.pollSleep = std::chrono::milliseconds(20);
        for (UsbDevicePort& p : ports) {
            p.SetTiming(fast);
        }
        config.pdaClass.strFolder = m_dir;
        config.pdaClass.strPattern = "usb-*-if01*";
        MakeDetection();
        board.Detect();
    }
    void MakeDetection() {
        detection = std::make_unique<CDetection>(board, ports, config);
        detection->SetAttachedAction([this](int slot) { attached.push_back(slot); });
        detection->SetStartAction([this] { ++starts; });
        detection->SetPhonePortLearntAction([this](int slot) { learnt.push_back(slot); });
        detection->SetPhonePortAction([this](int slot) { woken.push_back(slot); });
        detection->SetStartImmediately(false);
    }
    void TearDown() override {
        for (UsbDevicePort& p : ports) {
            p.Close();
        }
        handsets.clear();
        fs::remove_all(m_dir);
    }
    // A handset appears: its link, then the folder's event.
    FakeInterface& Plug(const std::string& serial, bool bAnswer = true) {
        const std::string name = "usb-Sim_Handset_" + serial + "-if01";
        handsets.push_back(std::make_unique<FakeInterface>(m_dir, name, bAnswer));
        detection->OnDeviceEvent({name, true});
        return *handsets.back();
    }

    std::string m_dir;
    DetectionConfig config;
    CSlotBoard board;
    std::array<UsbDevicePort, kBoardSlots> ports;
    std::unique_ptr<CDetection> detection;
    std::vector<std::unique_ptr<FakeInterface>> handsets;
    std::vector<int> attached;
    std::vector<int> learnt;
    std::vector<int> woken;
    int starts = 0;
};

TEST_F(Detection, HandsetsFillTheSlotsFromTheTopOfTheStack) {
    Plug("0001");
    Plug("0002");
    EXPECT_EQ(attached, (std::vector<int>{0, 1}));
    EXPECT_EQ(board.Slot(0).strDeviceName, "usb-Sim_Handset_0001");
    EXPECT_EQ(board.Slot(1).strDeviceName, "usb-Sim_Handset_0002");
    EXPECT_EQ(board.Slot(0).nState, kSlotReady);
    EXPECT_EQ(board.Slot(0).strProgressText, "Ready to download...");
    EXPECT_EQ(board.Slot(0).nLabelColour, kColourGreen);
    EXPECT_EQ(board.Slot(1).strLog, "Device name:usb-Sim_Handset_0002\r\n");
    EXPECT_EQ(board.Log(), "PDA Device 1 detected.\r\nPDA Device 2 detected.\r\n");
    EXPECT_EQ(board.m_nDetected, 2);
    EXPECT_EQ(starts, 0);

    // Slot 0 finishes and is reset: the next handset gets it again, even
    // with the finished one still attached (and answering) ahead of it in
    // name order.
    board.SlotStarted(0);
    board.OnPdaProgress(218, 0);
    ports[0].Close();
    board.ResetSlot(0);
    Plug("0003");
    EXPECT_EQ(attached.back(), 0);
    EXPECT_EQ(board.Slot(0).strDeviceName, "usb-Sim_Handset_0003");
    EXPECT_EQ(handsets[0]->Handshakes(), 1) << "the finished handset was not asked again";
}

TEST_F(Detection, AHandsetAlreadyServedIsIgnored) {
    Plug("0001");
    // Its port is given up (as after the switch to the modem) and the same
    // interface shows up again.
    ports[0].Close();
    detection->OnDeviceEvent({"usb-Sim_Handset_0001-if01", true});
    EXPECT_EQ(attached, std::vector<int>{0});
    EXPECT_EQ(board.m_nDetected, 1);
    EXPECT_EQ(board.TopFreeSlot(), 1);
    EXPECT_FALSE(ports[1].IsOpen());
}

TEST_F(Detection, AnInterfaceThatDoesNotAnswerIsNotTaken) {
    FakeInterface& h = Plug("0009", false);
    EXPECT_TRUE(attached.empty());
    EXPECT_EQ(h.Handshakes(), kDetectAttempts);
    EXPECT_EQ(board.Log(),
              "PDA Device not found.\r\nusb-Sim_Handset_0009-if01 did not answer; it is passed "
              "over until it is plugged in again.\r\n");
    EXPECT_EQ(board.TopFreeSlot(), 0);
}

// An interface that is there but cannot be opened is said with its cause;
// interfaces this program's slots hold are their normal state, not a cause.
TEST_F(Detection, AnInterfaceThatCannotBeOpenedIsSaidWithItsCause) {
    Plug("0001");
    const std::string file = m_dir + "/not-a-tty";
    std::ofstream(file) << "x";
    const std::string name = "usb-Sim_Handset_0007-if01";
    fs::create_symlink(file, m_dir + "/" + name);
    detection->OnDeviceEvent({name, true});
    EXPECT_EQ(attached, std::vector<int>{0});
    const std::string path = m_dir + "/" + name;
    EXPECT_EQ(board.Log(), "PDA Device 1 detected.\r\nPDA Device not found.\r\n" + path +
                               ": not a serial port (no terminal device)\r\nchoose a serial "
                               "device, for example one under /dev/serial/by-id\r\n" +
                               name +
                               " could not be opened; it is passed over until it is plugged in "
                               "again.\r\n");
    EXPECT_EQ(detection->TakeOpenFailure(),
              path +
                  ": not a serial port (no terminal device)\nchoose a serial device, for "
                  "example one under /dev/serial/by-id");
    EXPECT_EQ(detection->TakeOpenFailure(), "");

    // A link whose device has gone says where it led (once plugged in again).
    fs::remove(path);
    detection->OnDeviceEvent({name, false});
    fs::create_symlink(m_dir + "/gone", path);
    detection->OnDeviceEvent({name, true});
    EXPECT_NE(detection->TakeOpenFailure().find(path + ": missing: the link leads to " + m_dir +
                                                "/gone, which is not there"),
              std::string::npos);
}

// A device that does not answer hides no handset that comes after it, and
// is not asked again until it has gone away and come back.
TEST_F(Detection, ASilentInterfaceIsPassedOverUntilItComesBack) {
    FakeInterface& silent = Plug("0009", false);
    Plug("0010");
    EXPECT_EQ(attached, std::vector<int>{0});
    EXPECT_EQ(board.Slot(0).strDeviceName, "usb-Sim_Handset_0010");
    const int asked = silent.Handshakes();
    EXPECT_GT(asked, 0);
    detection->OnDeviceEvent({"usb-Sim_Handset_0009-if01", true});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(silent.Handshakes(), asked) << "asked again without having gone";
    EXPECT_TRUE(detection->IsSilent("usb-Sim_Handset_0009-if01"));
    detection->OnDeviceEvent({"usb-Sim_Handset_0009-if01", false});
    EXPECT_FALSE(detection->IsSilent("usb-Sim_Handset_0009-if01"));
    detection->OnDeviceEvent({"usb-Sim_Handset_0009-if01", true});
    EXPECT_GT(silent.Handshakes(), asked) << "asked again once it came back";
    EXPECT_TRUE(detection->IsSilent("usb-Sim_Handset_0009-if01"));
}

// The handshakes run on threads of their own: the owner's thread goes on
// while a device is asked, and takes the result when the probe wakes it.
TEST_F(Detection, TheOwnersThreadNeverWaitsOnADevice) {
    std::atomic<int> wakes{0};
    detection->SetProbeWake([&] { ++wakes; });
    const auto started = std::chrono::steady_clock::now();
    FakeInterface& silent = Plug("0009", false);
    FakeInterface& good = Plug("0010");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100));
    EXPECT_TRUE(detection->ProbesRunning());
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (wakes < 2 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(wakes, 2);
    EXPECT_TRUE(attached.empty()) << "results are taken on the owner's thread only";
    detection->CompleteProbes();
    EXPECT_FALSE(detection->ProbesRunning());
    EXPECT_EQ(attached, std::vector<int>{0});
    EXPECT_EQ(board.Slot(0).strDeviceName, "usb-Sim_Handset_0010");
    EXPECT_EQ(good.Handshakes(), 1);
    EXPECT_EQ(silent.Handshakes(), kDetectAttempts);
    EXPECT_NE(board.Log().find("PDA Device not found.\r\n"), std::string::npos);
    // A probe still asking is stopped, not waited out.
    FakeInterface& slow = Plug("0011", false);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    detection->StopProbes();
    EXPECT_LT(slow.Handshakes(), kDetectAttempts);
    EXPECT_FALSE(detection->IsSilent("usb-Sim_Handset_0011-if01")) << "stopped, not silent";
}

TEST_F(Detection, TheEighthHandsetStartsTheBatchByItself) {
    for (int i = 0; i < kBoardSlots; ++i) {
        Plug("000" + std::to_string(i));
    }
    EXPECT_EQ(board.m_nDetected, kBoardSlots);
    EXPECT_EQ(starts, 1);
    // Nothing more is taken.
    Plug("0099");
    EXPECT_EQ(attached.size(), static_cast<size_t>(kBoardSlots));
}

TEST_F(Detection, NothingHappensUntilDetectionIsArmed) {
    board.ResetAll();
    Plug("0001");
    EXPECT_TRUE(attached.empty());
    EXPECT_FALSE(ports[0].IsOpen());
}

TEST_F(Detection, TheModemLinkWakesOnlyAWatchingSlot) {
    Plug("0001");
    board.SlotStarted(0);
    testsupport::CPtyPair modem;
    const std::string name = "usb-Sim_Handset_0001-if00";
    fs::create_symlink(modem.SlavePath(), m_dir + "/" + name);
    detection->OnDeviceEvent({name, true});
    EXPECT_TRUE(woken.empty());  // not watching yet
    EXPECT_EQ(learnt, std::vector<int>{0});
    board.OnPhoneProgress(300, 0);
    detection->OnDeviceEvent({name, true});
    EXPECT_EQ(woken, std::vector<int>{0});
    const int tty = TtyNumberOf(modem.SlavePath());
    EXPECT_EQ(detection->PhoneComNumber(0).load(), tty + 1);  // 0 stays "no port"
    EXPECT_EQ(detection->PhonePortPath(0), m_dir + "/" + name);
    EXPECT_NE(board.Slot(0).strLog.find("PHONE-COM" + std::to_string(tty) + " detected\r\n"),
              std::string::npos);
    // Another handset's modem does not wake slot 0.
    detection->OnDeviceEvent({"usb-Sim_Handset_0002-if00", true});
    EXPECT_EQ(woken.size(), 1u);
}

// The same detection against the simulated handsets: each publishes its PDA
// interface as a by-id style link, answers with its own boot loader, and
// after the switch to the modem publishes its modem link.
class SimDetection : public Detection {
  protected:
    void TearDown() override {
        for (UsbDevicePort& p : ports) {
            p.Close();
        }
        simulated.clear();
        Detection::TearDown();
    }
    fleetsim::CSimHandset& Start(int nNumber, const std::string& serial = "") {
        fleetsim::CSimHandset::Config c;
        c.nNumber = nNumber;
        c.strSerial = serial.empty() ? fleetsim::HandsetSerial("FSIM", nNumber) : serial;
        c.strDir = m_dir;
        c.settings.nModemDelayMs = 50;
        simulated.push_back(std::make_unique<fleetsim::CSimHandset>(c));
        std::string error;
        EXPECT_TRUE(simulated.back()->Start(error)) << error;
        return *simulated.back();
    }
    // A handset is attached: its link appears and the folder reports it.
    fleetsim::CSimHandset& Plug(int nNumber, const std::string& serial = "") {
        fleetsim::CSimHandset& h = Start(nNumber, serial);
        detection->OnDeviceEvent({fs::path(h.PdaLinkPath()).filename().string(), true});
        return h;
    }
    static std::string Name(const fleetsim::CSimHandset& h) {
        return DeviceNameOfLink(h.PdaLinkPath());
    }

    std::vector<std::unique_ptr<fleetsim::CSimHandset>> simulated;
};

TEST_F(SimDetection, SlotsAreTakenFromTheTopAndAResetSlotIsTakenAgain) {
    fleetsim::CSimHandset& first = Plug(1);
    fleetsim::CSimHandset& second = Plug(2);
    EXPECT_EQ(attached, (std::vector<int>{0, 1}));
    EXPECT_EQ(board.Slot(0).strDeviceName, Name(first));
    EXPECT_EQ(board.Slot(1).strDeviceName, Name(second));
    EXPECT_EQ(board.Slot(1).strProgressText, "Ready to download...");
    EXPECT_TRUE(first.PdaHostConnected());
    EXPECT_EQ(board.m_nDetected, 2);

    // The first handset is served and unplugged; its slot is reset.
    board.SlotStarted(0);
    board.OnPdaProgress(218, 0);
    ports[0].Close();
    simulated[0]->Stop();
    board.ResetSlot(0);
    fleetsim::CSimHandset& third = Plug(3);
    EXPECT_EQ(attached.back(), 0);
    EXPECT_EQ(board.Slot(0).strDeviceName, Name(third));
    EXPECT_EQ(starts, 0);
}

TEST_F(SimDetection, AnAcceptedHandsetIsToldSoAndOfTheBacklightWhenAsked) {
    fleetsim::CSimHandset& first = Plug(1);
    // PDA_ATTACHED has no reply: the handset may take it a moment later.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (first.Received().size() < 2 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(first.Received(),
              (std::vector<std::string>{"pda A T U D",
                                        "pda PDA_ATTACHED 0x00000000 0x00000000 0x00000000"}));
    EXPECT_TRUE(first.Pda().bAttached);
    detection->SetBacklightOff(true);
    fleetsim::CSimHandset& second = Plug(2);
    EXPECT_EQ(second.Received(),
              (std::vector<std::string>{"pda A T U D",
                                        "pda PDA_ATTACHED 0x00000000 0x00000000 0x00000000",
                                        "pda PDA_BACKLIGHT_OFF 0x00000000 0x00000000 0x00000000"}));
    EXPECT_EQ(attached, (std::vector<int>{0, 1}));
}

TEST_F(SimDetection, AHandsetAlreadyInASlotIsNotTakenTwice) {
    fleetsim::CSimHandset& h = Plug(1);
    // Its port is let go and the same link is reported again.
    ports[0].Close();
    detection->OnDeviceEvent({fs::path(h.PdaLinkPath()).filename().string(), true});
    EXPECT_EQ(attached, std::vector<int>{0});
    EXPECT_EQ(board.m_nDetected, 1);
    EXPECT_FALSE(ports[1].IsOpen());
}

TEST_F(SimDetection, EightHandsetsStartTheBatchByThemselves) {
    for (int i = 1; i <= kBoardSlots; ++i) {
        Plug(i);
        EXPECT_EQ(starts, i == kBoardSlots ? 1 : 0) << "after handset " << i;
    }
    EXPECT_EQ(attached, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    for (int i = 0; i < kBoardSlots; ++i) {
        EXPECT_TRUE(simulated[static_cast<size_t>(i)]->PdaHostConnected()) << i;
    }
}

TEST_F(SimDetection, TheModemLinkCountsOnlyWhileTheSlotWatchesForIt) {
    fleetsim::CSimHandset& h = Plug(1);
    board.SlotStarted(0);
    CPdaCommands commands(ports[0]);
    ASSERT_EQ(commands.SwitchToPhone(0x1000), PdaSend::Sent);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (h.Stage() != fleetsim::HandsetStage::Modem && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(h.Stage(), fleetsim::HandsetStage::Modem);
    const std::string modemLink = fs::path(h.ModemLinkPath()).filename().string();

    // Not watching (before 300, or after 303 while the worker tries to open
    // it): the port's number is learnt for the open attempts, nobody is woken.
    const int tty = TtyNumberOf(h.ModemSlavePath());
    detection->OnDeviceEvent({modemLink, true});
    EXPECT_TRUE(woken.empty());
    EXPECT_EQ(learnt, std::vector<int>{0});
    EXPECT_EQ(board.Slot(0).strLog.find("PHONE-COM"), std::string::npos);
    EXPECT_EQ(detection->PhoneComNumber(0).load(), tty + 1);

    board.OnPhoneProgress(300, 0);
    detection->OnDeviceEvent({modemLink, true});
    EXPECT_EQ(woken, std::vector<int>{0});
    EXPECT_EQ(detection->PhoneComNumber(0).load(), tty + 1);
    EXPECT_NE(board.Slot(0).strLog.find("PHONE-COM" + std::to_string(tty) + " detected\r\n"),
              std::string::npos);
}

TEST_F(SimDetection, AVendorIdLeavesTtysWithoutAUsbParentToThePatterns) {
    // The simulator's ports are pseudo-terminals: no USB vendor to compare.
    config.pdaClass.strVendorId = "04e8";
    MakeDetection();
    Plug(1);
    EXPECT_EQ(attached, std::vector<int>{0});
}

// A sysfs tree as the kernel lays one out for a CDC ACM interface and for a
// serial converter's port, each tty's device link pointing into it.
class FakeSysfs {
  public:
    explicit FakeSysfs(const std::string& root) : m_root(root) {}
    void AddTty(const std::string& tty, const std::string& usbDevice, const std::string& vendor,
                bool bConverter) {
        const fs::path usb = fs::path(m_root) / "devices/pci0000:00/usb1" / usbDevice;
        fs::path node = usb / (usbDevice + ":1.0");
        if (bConverter) {
            node /= tty;  // ttyUSB sits one level deeper, under its port
        }
        fs::create_directories(node);
        std::ofstream(usb / "idVendor") << vendor << "\n";
        const fs::path cls = fs::path(m_root) / "class/tty" / tty;
        fs::create_directories(cls);
        fs::create_directory_symlink(node, cls / "device");
    }

  private:
    std::string m_root;
};

TEST(UsbVendor, ComesFromTheUsbDeviceAboveTheTty) {
    char dir[] = "/tmp/fleet_sysfs_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string root = dir;
    FakeSysfs sys(root + "/sys");
    sys.AddTty("ttyACM3", "1-1", "04E8", false);
    sys.AddTty("ttyUSB0", "1-2", "0403", true);
    fs::create_directories(root + "/dev");
    // The tty nodes themselves only need a name the links resolve to.
    std::ofstream(root + "/dev/ttyACM3");
    std::ofstream(root + "/dev/ttyUSB0");
    std::ofstream(root + "/dev/ttyS0");
    fs::create_directories(root + "/by-id");
    fs::create_symlink(root + "/dev/ttyACM3", root + "/by-id/usb-Maker_Phone_A1-if01");
    fs::create_symlink(root + "/dev/ttyUSB0", root + "/by-id/usb-FTDI_Cable_B2-if01-port0");
    fs::create_symlink(root + "/dev/ttyS0", root + "/by-id/usb-Builtin_C3-if01");

    EXPECT_EQ(tty::UsbVendorOfTty(root + "/by-id/usb-Maker_Phone_A1-if01", root + "/sys"), "04e8");
    EXPECT_EQ(tty::UsbVendorOfTty(root + "/dev/ttyUSB0", root + "/sys"), "0403");
    EXPECT_EQ(tty::UsbVendorOfTty(root + "/dev/ttyS0", root + "/sys"), "");

    DeviceInterfaceClass cls;
    cls.strFolder = root + "/by-id";
    cls.strSysRoot = root + "/sys";
    EXPECT_EQ(InterfaceLinks(cls).size(), 3u);
    cls.strVendorId = "04e8";
    // The converter of another vendor goes; the tty with no USB parent stays.
    EXPECT_EQ(InterfaceLinks(cls),
              (std::vector<std::string>{"usb-Builtin_C3-if01", "usb-Maker_Phone_A1-if01"}));
    fs::remove_all(root);
}

TEST(UsbVendor, ConfiguredIdsAreFourHexDigits) {
    EXPECT_EQ(tty::NormaliseVendorId("04E8"), "04e8");
    EXPECT_EQ(tty::NormaliseVendorId("0x04e8"), "04e8");
    EXPECT_EQ(tty::NormaliseVendorId("4e8"), "");
    EXPECT_EQ(tty::NormaliseVendorId("04e8x"), "");
    EXPECT_EQ(tty::NormaliseVendorId("zz12"), "");
    EXPECT_EQ(tty::NormaliseVendorId(""), "");
}

TEST(DeviceFolderWatch, ReportsLinksComingAndGoing) {
    char dir[] = "/tmp/fleet_watch_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string folder = std::string(dir) + "/by-id";  // not there yet
    CDeviceFolderWatch watch;
    std::string error;
    ASSERT_TRUE(watch.Start(folder, error)) << error;
    fs::create_directory(folder);
    fs::create_symlink("/dev/null", folder + "/usb-A-if01");
    std::vector<DeviceLinkEvent> events;
    for (int i = 0; i < 100 && events.empty(); ++i) {
        pollfd p{watch.Fd(), POLLIN, 0};
        poll(&p, 1, 20);
        const auto more = watch.ReadEvents();
        events.insert(events.end(), more.begin(), more.end());
    }
    // The link may be seen by the folder scan, by its own event, or both.
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].strName, "usb-A-if01");
    EXPECT_TRUE(events[0].bArrived);
    fs::remove(folder + "/usb-A-if01");
    events.clear();
    for (int i = 0; i < 100 && events.empty(); ++i) {
        pollfd p{watch.Fd(), POLLIN, 0};
        poll(&p, 1, 20);
        events = watch.ReadEvents();
    }
    ASSERT_EQ(events.size(), 1u);
    EXPECT_FALSE(events[0].bArrived);
    fs::remove_all(dir);
}

TEST(DeviceNames, ComeFromTheLinkNameAndTheTty) {
    EXPECT_EQ(DeviceNameOfLink("usb-Sim_Handset_0001-if01"), "usb-Sim_Handset_0001");
    EXPECT_EQ(DeviceNameOfLink("/dev/serial/by-id/usb-Acme_Phone_X12-if00-port0"),
              "usb-Acme_Phone_X12");
    EXPECT_EQ(DeviceNameOfLink("plain"), "plain");
    EXPECT_EQ(TtyNumberOf("/dev/ttyACM3"), 3);
    EXPECT_EQ(TtyNumberOf("/dev/pts/7"), 7);
    EXPECT_EQ(TtyNumberOf("/dev/console"), 0);
    EXPECT_TRUE(LinkNameMatches("usb-Sim_Handset_1-if01", "usb-*-if01*"));
    EXPECT_FALSE(LinkNameMatches("usb-Sim_Handset_1-if00", "usb-*-if01*"));
}

}  // namespace
