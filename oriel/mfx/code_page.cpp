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
        !Convert(CurrentCodePage().c_str(), "UTF-8", ansi, out, nCap - 1)) {
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
    if (!Convert("UTF-8", CurrentCodePage().c_str(), in, out, kExplorerNameCap)) {
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
