#include "oriel/engine/time_log.h"

#include <array>

#include "platform/format.h"

namespace oriel {

std::string FormatCalendarTime(const char* fmt, std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    std::array<char, 256> buf{};
    const size_t n = std::strftime(buf.data(), buf.size(), fmt, &tm);
    return std::string(buf.data(), n);
}

std::string FormatSpan(const char* fmt, int64_t nSeconds) {
    if (nSeconds < 0) {
        nSeconds = 0;
    }
    // The largest unit a format shows is not folded: "%M:%S" of 3 h 10 min
    // reads 190:00, not 10:00.
    bool bHours = false;
    for (const char* p = fmt; *p != '\0' && p[1] != '\0'; ++p) {
        if (*p == '%') {
            bHours = bHours || p[1] == 'H';
            ++p;
        }
    }
    std::string out;
    for (const char* p = fmt; *p != '\0'; ++p) {
        if (*p != '%' || p[1] == '\0') {
            out += *p;
            continue;
        }
        ++p;
        switch (*p) {
            case 'H':
                out += platform::Format("%02lld", static_cast<long long>(nSeconds / 3600));
                break;
            case 'M':
                out += platform::Format(
                    "%02lld", static_cast<long long>(bHours ? nSeconds / 60 % 60 : nSeconds / 60));
                break;
            case 'S':
                out += platform::Format("%02lld", static_cast<long long>(nSeconds % 60));
                break;
            case 'D':
                out += platform::Format("%lld", static_cast<long long>(nSeconds / 86400));
                break;
            case '%':
                out += '%';
                break;
            default:
                out += '%';
                out += *p;
                break;
        }
    }
    return out;
}

}  // namespace oriel
