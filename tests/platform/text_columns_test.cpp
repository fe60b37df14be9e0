// Listings in columns: as wide as the widest cell, nothing trailing.
#include <gtest/gtest.h>

#include "platform/text_columns.h"

namespace {

TEST(TextColumns, ColumnsTakeTheWidestCellAndLinesEndWithoutBlanks) {
    EXPECT_EQ(platform::FormatColumns({{"PORT", "COM", "MAKER"},
                                       {"/dev/ttyS0", "COM1", ""},
                                       {"/dev/ttyUSB10", "-", "FTDI FT232R"}}),
              "PORT           COM   MAKER\n"
              "/dev/ttyS0     COM1\n"
              "/dev/ttyUSB10  -     FTDI FT232R\n");
    EXPECT_EQ(platform::FormatColumns({{"a"}, {"bb", "c"}}), "a\nbb  c\n");
    EXPECT_EQ(platform::FormatColumns({}), "");
}

}  // namespace
