#include "platform/format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Format, KeepsArgumentsOutOfTheFormat) {
    const std::string path = "C:\\%s%n%x\\file.bin";
    EXPECT_EQ(platform::Format("open %s", path.c_str()), "open " + path);
}

TEST(Format, LongTextsAreNotCut) {
    const std::string big(10000, 'a');
    EXPECT_EQ(platform::Format("%s!", big.c_str()).size(), 10001u);
    EXPECT_EQ(platform::Format("** Send '0x%02x' to ORIEL Chip\r\n", 0x44),
              "** Send '0x44' to ORIEL Chip\r\n");
}

}  // namespace
