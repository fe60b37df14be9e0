#pragma once
// Texts of the start/end/elapsed log lines.

#include <cstdint>
#include <ctime>
#include <string>

namespace oriel {

// strftime of a local calendar time ("\r\n** Start Time    %H:%M:%S **").
std::string FormatCalendarTime(const char* fmt, std::time_t t);

// A span's format: %H, %M and %S are the span's hours, minutes and seconds
// (hours are not folded at 24: a 25-hour job reads 25; without %H the
// minutes are not folded at 60: "%M:%S" of 3 h 10 min reads 190:00), %D its whole days,
// %% a percent sign; everything else is copied. Negative spans (the clock was
// set back) read as zero.
std::string FormatSpan(const char* fmt, int64_t nSeconds);

}  // namespace oriel
