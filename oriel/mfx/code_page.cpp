#include "oriel/mfx/code_page.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <mutex>
#include <vector>

namespace oriel {

namespace {

std::mutex g_codePageLock;
std::string g_strCodePage;

std::string CurrentCodePage() {
    std::lock_guard<std::mutex> lock(g_codePageLock);
    if (!g_strCodePage.empty()) {
        return g_strCodePage;
    }
    const char* cs = nl_langinfo(CODESET);
    return cs != nullptr && *cs != '\0' ? cs : "ANSI_X3.4-1968";
}

// Converts all of the input or nothing.
bool Convert(const char* from, const char* to, const std::string& in, std::string& out,
             size_t nOutCap) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    std::vector<char> buf(nOutCap + 8);
    char* pIn = const_cast<char*>(in.data());
    size_t nIn = in.size();
    char* pOut = buf.data();
    size_t nOut = nOutCap;
    const size_t r = iconv(cd, &pIn, &nIn, &pOut, &nOut);
    bool bOk = r != static_cast<size_t>(-1) && nIn == 0;
    if (bOk) {
        // Flush any shift state.
        bOk = iconv(cd, nullptr, nullptr, &pOut, &nOut) != static_cast<size_t>(-1);
    }
    iconv_close(cd);
    if (!bOk) {
        return false;
    }
    out.assign(buf.data(), static_cast<size_t>(pOut - buf.data()));
    return true;
}

// glibc's converter lets UTF-8 forms of values past U+10FFFF and of
// surrogates through; no handset name is made of them.
bool WellFormedUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<uint8_t>(s[i]);
        const size_t n = c < 0x80                 ? 0
                         : c >= 0xC2 && c <= 0xDF ? 1
                         : c >= 0xE0 && c <= 0xEF ? 2
                         : c >= 0xF0 && c <= 0xF4 ? 3
                                                  : 4;
        if (n == 4 || s.size() - i <= n) {
            return false;
        }
        uint32_t cp = n == 0 ? c : c & (0x3Fu >> n);
        for (size_t k = 1; k <= n; ++k) {
            const auto b = static_cast<uint8_t>(s[i + k]);
            if ((b & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (b & 0x3Fu);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += n + 1;
    }
    return true;
}

}  // namespace

void SetAnsiCodePage(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_codePageLock);
    g_strCodePage = name;
}

std::string AnsiCodePage() {
    return CurrentCodePage();
}

NameConversion AnsiToUtf8(const std::string& ansi, std::string& utf8, int& nLength, size_t nCap) {
    if (ansi.size() > nCap) {
        return NameConversion::TooLong;
    }
    std::string out;
    // An embedded zero would cut the name short on the handset. The output
    // cap leaves room for the terminating zero.
    if (ansi.find('\0') != std::string::npos || nCap == 0 ||
        !Convert(CurrentCodePage().c_str(), "UTF-8", ansi, out, nCap - 1) || !WellFormedUtf8(out)) {
        return NameConversion::NotConverted;
    }
    out.push_back('\0');
    utf8 = out;
    nLength = static_cast<int>(out.size());
    return NameConversion::Ok;
}

NameConversion Utf8ToAnsi(const std::string& utf8, std::string& ansi) {
    std::string in = utf8;
    const size_t zero = in.find('\0');
    if (zero != std::string::npos) {
        in.resize(zero);
    }
    if (in.size() > kExplorerNameCap) {
        return NameConversion::TooLong;
    }
    std::string out;
    if (!WellFormedUtf8(in) ||
        !Convert("UTF-8", CurrentCodePage().c_str(), in, out, kExplorerNameCap)) {
        return NameConversion::NotConverted;
    }
    ansi = out;
    return NameConversion::Ok;
}

std::string AnsiToDisplay(const std::string& ansi) {
    std::string out;
    out.reserve(ansi.size());
    if (Convert(CurrentCodePage().c_str(), "UTF-8", ansi, out, ansi.size() * 4 + 16)) {
        return out;
    }
    for (const char c : ansi) {
        if (static_cast<unsigned char>(c) < 0x80) {
            out += c;
        } else {
            out += "\xEF\xBF\xBD";
        }
    }
    return out;
}

}  // namespace oriel
