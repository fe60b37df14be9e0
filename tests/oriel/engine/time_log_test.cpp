#include "oriel/engine/time_log.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(TimeLog, SpanFieldsAreTheSpansOwn) {
    EXPECT_EQ(oriel::FormatSpan("\r\n** Erasing Time %H:%M:%S **\r\n", 3725),
              "\r\n** Erasing Time 01:02:05 **\r\n");
    EXPECT_EQ(oriel::FormatSpan("%H:%M:%S", 0), "00:00:00");
    EXPECT_EQ(oriel::FormatSpan("%H:%M:%S", 59), "00:00:59");
    // Not folded at a day: a long job shows its whole hours.
    EXPECT_EQ(oriel::FormatSpan("%H:%M:%S", 25 * 3600 + 61), "25:01:01");
    EXPECT_EQ(oriel::FormatSpan("%D days 100%%", 2 * 86400), "2 days 100%");
    EXPECT_EQ(oriel::FormatSpan("%H:%M:%S", -5), "00:00:00");
    // Minutes-and-seconds spans (NAND dump, MFX download) over an hour.
    EXPECT_EQ(oriel::FormatSpan("\r\n** Dump Time %M:%S **\r\n", 3 * 3600 + 10 * 60 + 5),
              "\r\n** Dump Time 190:05 **\r\n");
    EXPECT_EQ(oriel::FormatSpan("%M:%S", 3599), "59:59");
    EXPECT_EQ(oriel::FormatSpan("%%H %M:%S", 3660), "%H 61:00");
    EXPECT_EQ(oriel::FormatSpan("trailing %", 1), "trailing %");
}

TEST(TimeLog, CalendarTimeIsLocalTime) {
    setenv("TZ", "UTC", 1);
    tzset();
    // 2026-12-08 13:04:05 UTC
    EXPECT_EQ(oriel::FormatCalendarTime("\r\n** Start Time    %H:%M:%S **", 1796735045),
              "\r\n** Start Time    13:04:05 **");
}

}  // namespace
