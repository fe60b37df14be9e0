#include "oriel/ui/console_text.h"

#include <sys/stat.h>

namespace oriel {

std::string FormatThousands(int64_t n) {
    const bool bNegative = n < 0;
    // Magnitude as unsigned so that INT64_MIN has one too.
    uint64_t v = bNegative ? 0u - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    std::string digits;
    int nGroup = 0;
    do {
        if (nGroup == 3) {
            digits.insert(digits.begin(), ',');
            nGroup = 0;
        }
        digits.insert(digits.begin(), static_cast<char>('0' + v % 10));
        v /= 10;
        ++nGroup;
    } while (v != 0);
    return bNegative ? "-" + digits : digits;
}

std::string ToWidgetLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else {
            out += text[i];
        }
    }
    return out;
}

int ClampIndex(int n, int nCount) {
    if (n < 0 || nCount <= 0) {
        return 0;
    }
    return n >= nCount ? nCount - 1 : n;
}

bool IsRegularFile(const std::string& strPath, int64_t& nSize) {
    struct stat st {};
    if (strPath.empty() || ::stat(strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    nSize = static_cast<int64_t>(st.st_size);
    return true;
}

}  // namespace oriel
