#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "platform/qsettings_store.h"
#include "platform/settings_store.h"

namespace {

template <typename Store>
void ExerciseStore(Store& s) {
    EXPECT_EQ(s.GetInt("Setting", "Fast", 1), 1);
    EXPECT_EQ(s.GetString("Setting", "BinPath1", ""), "");
    s.SetInt("Setting", "COM", 7);
    s.SetString("Setting", "BinPath2", "/tmp/100%s file.cla");
    EXPECT_EQ(s.GetInt("Setting", "COM", 0), 7);
    EXPECT_EQ(s.GetString("Setting", "BinPath2", ""), "/tmp/100%s file.cla");
    // A value that is not a number reads as the default, never as garbage.
    s.SetString("Setting", "SPEED", "fast");
    EXPECT_EQ(s.GetInt("Setting", "SPEED", 0), 0);
    s.SetString("Setting", "SPEED", "99999999999");
    EXPECT_EQ(s.GetInt("Setting", "SPEED", 2), 2);
    // Groups are separate.
    EXPECT_EQ(s.GetInt("Ports", "COM", -1), -1);
}

TEST(Settings, MemoryStore) {
    platform::CMemorySettingsStore s;
    ExerciseStore(s);
}

TEST(Settings, QSettingsStoreKeepsValuesAcrossInstances) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string ini = dir.filePath("oriel.conf").toStdString();
    {
        platform::CQSettingsStore s(ini);
        ExerciseStore(s);
        s.SetString("Ports", "COM3", "/dev/serial/by-id/usb-x");
    }
    platform::CQSettingsStore again(ini);
    EXPECT_EQ(again.GetInt("Setting", "COM", 0), 7);
    EXPECT_EQ(again.GetString("Ports", "COM3", ""), "/dev/serial/by-id/usb-x");
}

TEST(Settings, ParseSettingInt) {
    int v = 0;
    EXPECT_TRUE(platform::ParseSettingInt("-3", v));
    EXPECT_EQ(v, -3);
    EXPECT_FALSE(platform::ParseSettingInt("", v));
    EXPECT_FALSE(platform::ParseSettingInt("3x", v));
    EXPECT_FALSE(platform::ParseSettingInt("2147483648", v));
}

}  // namespace
