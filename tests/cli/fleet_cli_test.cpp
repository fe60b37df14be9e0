// The fleet command line's options and its event output.
#include <gtest/gtest.h>

#include "cli/fleet/fleet_cli_options.h"

namespace {

using fleetcli::FleetCliOptions;
using fleetcli::ParseFleetCliOptions;

TEST(FleetCliOptions, ParsesALineJob) {
    FleetCliOptions o;
    std::string error;
    ASSERT_TRUE(ParseFleetCliOptions(
        {"--watch", "/dev/serial/by-id", "--slots", "4", "--multi", "--phone", "--phone-init",
         "--img", "all.img", "--platform", "3", "--json", "--log-dir", "/tmp/logs"},
        o, error))
        << error;
    EXPECT_EQ(o.nSlots, 4);
    EXPECT_EQ(o.nCount, 4);  // as many as slots unless told
    EXPECT_TRUE(o.bMulti);
    EXPECT_TRUE(o.bPhone);
    EXPECT_TRUE(o.strPhone.empty());  // a bare --phone: the modem side of --img
    EXPECT_EQ(o.strImg, "all.img");
    EXPECT_EQ(o.nPlatform, 3);
    EXPECT_TRUE(o.bJson);

    ASSERT_TRUE(ParseFleetCliOptions(
        {"--watch", "d", "--eboot", "e.nb0", "--pda", "p.bin", "--phone", "m.bin", "--count", "20"},
        o, error));
    EXPECT_EQ(o.strPhone, "m.bin");
    EXPECT_EQ(o.nCount, 20);
    ASSERT_TRUE(ParseFleetCliOptions({"--watch", "d", "--container"}, o, error));
    EXPECT_TRUE(o.bContainer);
    EXPECT_TRUE(o.strContainerFile.empty());
    ASSERT_TRUE(
        ParseFleetCliOptions({"--watch", "d", "--container", "packed", "--json"}, o, error));
    EXPECT_EQ(o.strContainerFile, "packed");

    // The container holds EBOOT and the PDA image; the modem image comes apart.
    o = {};
    ASSERT_TRUE(
        ParseFleetCliOptions({"--watch", "d", "--container", "--phone-image", "m.bin"}, o, error))
        << error;
    EXPECT_TRUE(o.bContainer);
    EXPECT_TRUE(o.bPhone);
    EXPECT_EQ(o.strPhone, "m.bin");
}

TEST(FleetCliOptions, RefusesAmbiguousOrIncompleteJobs) {
    const std::vector<std::vector<std::string>> bad = {
        {"--container"},
        {"--watch", "d"},
        {"--watch", "d", "--img", "a", "--container"},
        {"--watch", "d", "--pda", "p", "--img", "a"},
        {"--watch", "d", "--img", "a", "--phone-image", "m"},
        {"--watch", "d", "--container", "--pda", "p"},
        {"--watch", "d", "--container", "--slots", "9"},
        {"--watch", "d", "--container", "--platform", "0"},
        {"--watch", "d", "--container", "--bogus"},
    };
    for (const auto& args : bad) {
        FleetCliOptions o;
        std::string error;
        EXPECT_FALSE(ParseFleetCliOptions(args, o, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(FleetCliOutput, JsonStringsAreEscaped) {
    EXPECT_EQ(fleetcli::JsonString("Writing image 57%"), "\"Writing image 57%\"");
    EXPECT_EQ(fleetcli::JsonString("a\"b\\c\r\n\x01"), "\"a\\\"b\\\\c\\r\\n\\u0001\"");
}

}  // namespace
