// The serial ports present: a folder of by-id style links to pseudo-terminals
// stands in for /dev/serial/by-id, a folder tree for sysfs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt_port_watch.h"
#include "platform/serial_port_list.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using platform::SerialPortInfo;
using platform::SerialPortScan;

class SerialPortListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(root / "by-id");
        fs::create_directories(root / "sys/class/tty");
        fs::create_directories(root / "dev");
        scan.strByIdFolder = (root / "by-id").string();
        scan.strSysRoot = (root / "sys").string();
        scan.strDevRoot = (root / "dev").string();
    }
    std::string Link(const std::string& name, const std::string& target) {
        const fs::path link = root / "by-id" / name;
        fs::create_symlink(target, link);
        return link.string();
    }
    static std::vector<std::string> Names(const std::vector<SerialPortInfo>& ports) {
        std::vector<std::string> names;
        for (const SerialPortInfo& p : ports) {
            names.push_back(p.strName);
        }
        return names;
    }
    static void WriteText(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text << "\n";
    }
    // A USB device with its strings, and a tty interface under it.
    void FakeUsbTty(const std::string& tty, const std::string& maker, const std::string& model,
                    const std::string& serial) {
        const fs::path usb = root / "sys/devices/pci0000:00/usb1/1-2";
        WriteText(usb / "idVendor", "0403");
        WriteText(usb / "idProduct", "6001");
        if (!maker.empty()) {
            WriteText(usb / "manufacturer", maker);
        }
        WriteText(usb / "product", model);
        WriteText(usb / "serial", serial);
        const fs::path iface = usb / "1-2:1.0" / tty;
        fs::create_directories(iface);
        fs::create_directories(root / "sys/class/tty" / tty);
        fs::create_symlink(iface, root / "sys/class/tty" / tty / "device");
    }

    testsupport::CScratchDir scratch{"port_list"};
    const fs::path root = scratch.Path();
    SerialPortScan scan;
};

std::string PtyName(const testsupport::CPtyPair& pty) {
    return fs::path(pty.SlavePath()).filename().string();
}

TEST_F(SerialPortListTest, LinksToTerminalsAreListedInNameOrderWithTheirDevices) {
    scan.bUnlinked = false;
    testsupport::CPtyPair a, b, c;
    Link("usb-Maker_Zeta_0003-if00", c.SlavePath());
    Link("usb-Maker_Alpha_0001-if00", a.SlavePath());
    Link("usb-Maker_Beta_0002-if01", b.SlavePath());
    // Neither a plain file, nor a link whose device has gone, is a port.
    std::ofstream((root / "by-id/notes.txt").string()) << "x";
    // (Not a closed pseudo-terminal: its number is free for the next one any
    // process opens, and would be a device again.)
    Link("usb-Maker_Gone_0009-if00", (root / "unplugged-tty").string());
    const std::vector<SerialPortInfo> ports = platform::ListSerialPorts(scan);
    EXPECT_EQ(Names(ports),
              (std::vector<std::string>{"usb-Maker_Alpha_0001-if00", "usb-Maker_Beta_0002-if01",
                                        "usb-Maker_Zeta_0003-if00"}));
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].strPath, scan.strByIdFolder + "/usb-Maker_Alpha_0001-if00");
    EXPECT_EQ(ports[0].strDevice, platform::ResolveDevice(a.SlavePath()));
    EXPECT_EQ(ports[2].strDevice, platform::ResolveDevice(c.SlavePath()));
    // A pseudo-terminal has no USB device: nothing to describe.
    EXPECT_EQ(ports[1].Description(), "");
}

TEST_F(SerialPortListTest, PortsAppearAndGoAwayWithTheirLinks) {
    scan.bUnlinked = false;
    EXPECT_TRUE(platform::ListSerialPorts(scan).empty());
    testsupport::CPtyPair a, b;
    const std::string linkB = Link("usb-B-if00", b.SlavePath());
    EXPECT_EQ(Names(platform::ListSerialPorts(scan)), (std::vector<std::string>{"usb-B-if00"}));
    Link("usb-A-if00", a.SlavePath());
    EXPECT_EQ(Names(platform::ListSerialPorts(scan)),
              (std::vector<std::string>{"usb-A-if00", "usb-B-if00"}));
    ASSERT_EQ(unlink(linkB.c_str()), 0);
    EXPECT_EQ(Names(platform::ListSerialPorts(scan)), (std::vector<std::string>{"usb-A-if00"}));
    // The whole folder going away (the last device unplugged) leaves no ports.
    fs::remove_all(root / "by-id");
    EXPECT_TRUE(platform::ListSerialPorts(scan).empty());
}

TEST_F(SerialPortListTest, MakerModelAndSerialComeFromTheUsbDevice) {
    scan.bUnlinked = false;
    testsupport::CPtyPair a;
    FakeUsbTty(PtyName(a), "FTDI", "FT232R USB UART", "A1B2C3");
    const std::string link = Link("usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", a.SlavePath());
    const std::vector<SerialPortInfo> ports = platform::ListSerialPorts(scan);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].usb.strVendorId, "0403");
    EXPECT_EQ(ports[0].usb.strProductId, "6001");
    EXPECT_EQ(ports[0].Description(), "FTDI FT232R USB UART, serial A1B2C3");
    EXPECT_EQ(platform::UsbDeviceOfTty(link, scan.strSysRoot).strSerial, "A1B2C3");
}

TEST_F(SerialPortListTest, DescriptionsSayWhatIsKnown) {
    SerialPortInfo p;
    EXPECT_EQ(p.Description(), "");
    p.usb.strVendorId = "1234";
    p.usb.strProductId = "abcd";
    EXPECT_EQ(p.Description(), "USB 1234:abcd");
    p.usb.strSerial = "S9";
    EXPECT_EQ(p.Description(), "USB 1234:abcd, serial S9");
    p.usb.strModel = "Modem";
    EXPECT_EQ(p.Description(), "Modem, serial S9");
}

TEST_F(SerialPortListTest, PortsWithoutALinkFollowInNaturalOrderOnce) {
    testsupport::CPtyPair linked, uart1, uart10, dead;
    Link("usb-X-if00", linked.SlavePath());
    auto tty = [&](const std::string& name, const std::string& target, const char* type) {
        fs::create_symlink(target, root / "dev" / name);
        fs::create_directories(root / "sys/devices/platform/serial8250" / name);
        fs::create_directories(root / "sys/class/tty" / name);
        fs::create_symlink(root / "sys/devices/platform/serial8250" / name,
                           root / "sys/class/tty" / name / "device");
        if (type != nullptr) {
            WriteText(root / "sys/class/tty" / name / "type", type);
        }
    };
    tty("ttyS10", uart10.SlavePath(), "4");
    tty("ttyS1", uart1.SlavePath(), "4");
    tty("ttyS2", dead.SlavePath(), "0");                  // no UART found there
    tty("ttyUSB0", linked.SlavePath(), nullptr);          // the by-id link already leads here
    fs::create_directories(root / "sys/class/tty/tty5");  // a virtual console: no device
    fs::create_symlink(dead.SlavePath(), root / "dev/tty5");
    const std::vector<SerialPortInfo> ports = platform::ListSerialPorts(scan);
    EXPECT_EQ(Names(ports), (std::vector<std::string>{"usb-X-if00", "ttyS1", "ttyS10"}));
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[1].strPath, scan.strDevRoot + "/ttyS1");
}

TEST_F(SerialPortListTest, AConfiguredPathFindsItsPortByLinkOrByDevice) {
    scan.bUnlinked = false;
    testsupport::CPtyPair a, b;
    const std::string link = Link("usb-A-if00", a.SlavePath());
    const std::vector<SerialPortInfo> ports = platform::ListSerialPorts(scan);
    ASSERT_NE(platform::FindPort(ports, link), nullptr);
    EXPECT_EQ(platform::FindPort(ports, a.SlavePath()), &ports[0]);
    // Another link to the same device is the same port.
    const fs::path other = root / "COM1";
    fs::create_symlink(a.SlavePath(), other);
    EXPECT_EQ(platform::FindPort(ports, other.string()), &ports[0]);
    EXPECT_EQ(platform::FindPort(ports, b.SlavePath()), nullptr);
    EXPECT_EQ(platform::FindPort(ports, (root / "missing").string()), nullptr);
    EXPECT_EQ(platform::FindPort(ports, ""), nullptr);
}

// The watch lists again when the folder changes, also when the folder itself
// appears after the watch began, and says so only on a real change.
TEST_F(SerialPortListTest, TheWatchSeesPortsComeAndGo) {
    scan.bUnlinked = false;
    fs::remove_all(root / "by-id");
    platform::CQtPortWatch watch(scan);
    int nChanges = 0;
    watch.SetChangedAction([&] { ++nChanges; });
    EXPECT_TRUE(watch.Ports().empty());

    testsupport::CPtyPair a, b;
    fs::create_directories(root / "by-id");
    Link("usb-B-if00", b.SlavePath());
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(watch.Ports().size()), 1, 5000);
    EXPECT_EQ(watch.Ports()[0].strName, "usb-B-if00");
    Link("usb-A-if00", a.SlavePath());
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(watch.Ports().size()), 2, 5000);
    EXPECT_EQ(watch.Ports()[0].strName, "usb-A-if00");
    const int nBefore = nChanges;
    std::ofstream((root / "by-id/not-a-port").string()) << "x";
    QTest::qWait(500);
    EXPECT_EQ(nChanges, nBefore);
    ASSERT_EQ(unlink((root / "by-id/usb-A-if00").c_str()), 0);
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(watch.Ports().size()), 1, 5000);
    EXPECT_EQ(watch.Ports()[0].strName, "usb-B-if00");
    EXPECT_EQ(nChanges, nBefore + 1);
}

}  // namespace
