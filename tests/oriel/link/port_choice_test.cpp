// COM numbers against the ports present: which opens which, and the number a
// newly picked port takes.
#include "oriel/link/port_choice.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <sstream>

#include "platform/settings_store.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using oriel::ComMapping;

TEST(PortChoice, ComNumbersFindTheirPortsAndTheRestAreUnmapped) {
    const testsupport::CScratchDir scratch("port_choice");
    const fs::path root = scratch.Path();
    testsupport::CPtyPair a, b;
    fs::create_directories(root / "by-id");
    fs::create_symlink(a.SlavePath(), root / "by-id/usb-A-if00");
    fs::create_symlink(b.SlavePath(), root / "by-id/usb-B-if00");
    platform::SerialPortScan scan;
    scan.strByIdFolder = (root / "by-id").string();
    scan.bUnlinked = false;
    const std::vector<platform::SerialPortInfo> ports = platform::ListSerialPorts(scan);
    ASSERT_EQ(ports.size(), 2u);

    platform::CMemorySettingsStore settings;
    // COM4 names the pty itself, not the link: still the same port.
    settings.SetString("Ports", "COM4", b.SlavePath());
    settings.SetString("Ports", "COM6", "/nonexistent/ttyUSB3");
    const std::vector<ComMapping> mappings = oriel::MapComNumbers(ports, &settings);
    ASSERT_EQ(mappings.size(), 20u);
    EXPECT_EQ(mappings[3].pPresent, &ports[1]);
    EXPECT_TRUE(mappings[3].bConfigured);
    EXPECT_EQ(mappings[5].pPresent, nullptr);
    EXPECT_FALSE(mappings[0].bConfigured);
    const auto unmapped = oriel::UnmappedPorts(ports, mappings);
    ASSERT_EQ(unmapped.size(), 1u);
    EXPECT_EQ(unmapped[0], &ports[0]);
    // One line per port, then the configured COM numbers whose device is not listed.
    std::vector<std::vector<std::string>> lines;
    std::istringstream text(oriel::PortListingText(ports, &settings));
    for (std::string line; std::getline(text, line);) {
        std::istringstream words(line);
        lines.emplace_back(std::istream_iterator<std::string>(words),
                           std::istream_iterator<std::string>());
    }
    using Words = std::vector<std::string>;
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], (Words{"PORT", "DEVICE", "COM", "MAKER", "MODEL,", "SERIAL"}));
    EXPECT_EQ(lines[1], (Words{scan.strByIdFolder + "/usb-A-if00", ports[0].strDevice, "-"}));
    EXPECT_EQ(lines[2], (Words{scan.strByIdFolder + "/usb-B-if00", ports[1].strDevice, "COM4"}));
    EXPECT_EQ(lines[3], (Words{"COM6", "opens", "/nonexistent/ttyUSB3:", "not", "present"}));
}

TEST(PortChoice, ANewPortTakesAnUnusedComNumberBeforeAConfiguredOne) {
    platform::SerialPortInfo present;
    std::vector<ComMapping> m(5);
    for (uint16_t i = 0; i < 5; ++i) {
        m[i].nPort = static_cast<uint16_t>(i + 1);
        m[i].pPresent = &present;
    }
    EXPECT_EQ(oriel::FreeComNumber(m), 0) << "every COM number opens a port present";
    m[1].pPresent = nullptr;
    m[1].bConfigured = true;  // configured for an adapter that is unplugged
    EXPECT_EQ(oriel::FreeComNumber(m), 2);
    m[3].pPresent = nullptr;  // left at its default, absent
    EXPECT_EQ(oriel::FreeComNumber(m), 4);
}

}  // namespace
