#include "oriel/link/port_names.h"

#include <gtest/gtest.h>

#include "platform/settings_store.h"

namespace {

TEST(PortNames, PlainNameBelowTenDevicePathFormFromTen) {
    EXPECT_EQ(oriel::BuildPortName(9), "COM9");
    EXPECT_EQ(oriel::BuildPortName(10), "\\\\.\\COM10");
    EXPECT_EQ(oriel::BuildPortName(20), "\\\\.\\COM20");
    EXPECT_EQ(oriel::PortSettingsKey(10), "COM10");
}

TEST(PortNames, DefaultDevicePaths) {
    EXPECT_EQ(oriel::DefaultPortPath(1), "/dev/ttyS0");
    EXPECT_EQ(oriel::DefaultPortPath(4), "/dev/ttyS3");
    EXPECT_EQ(oriel::DefaultPortPath(5), "/dev/ttyUSB0");
    EXPECT_EQ(oriel::DefaultPortPath(12), "/dev/ttyUSB7");
    EXPECT_EQ(oriel::DefaultPortPath(13), "/dev/ttyACM0");
    EXPECT_EQ(oriel::DefaultPortPath(20), "/dev/ttyACM7");
    EXPECT_EQ(oriel::DefaultPortPath(0), "");
    EXPECT_EQ(oriel::DefaultPortPath(21), "");
}

TEST(PortNames, SettingsOverrideOnePortOnly) {
    platform::CMemorySettingsStore s;
    s.SetString("Ports", "COM10", "/dev/serial/by-id/usb-handset");
    EXPECT_EQ(oriel::ResolvePortPath(&s, 10), "/dev/serial/by-id/usb-handset");
    EXPECT_EQ(oriel::ResolvePortPath(&s, 9), "/dev/ttyUSB4");
    EXPECT_EQ(oriel::ResolvePortPath(nullptr, 2), "/dev/ttyS1");
}

}  // namespace
