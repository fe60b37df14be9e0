// Names between the PC's code page and the handset's UTF-8, both ways: a name
// is converted whole or refused, never cut, never past its cap, and always
// ends in exactly one zero byte on the handset's side.
#include <cstdint>
#include <iterator>
#include <string>

#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/fuzz_input.h"
#include "oriel/mfx/code_page.h"

namespace {

// Well-formed UTF-8 without overlong forms or surrogates.
bool IsUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<uint8_t>(s[i]);
        size_t n = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n >= s.size()) {
            return false;
        }
        for (size_t k = 1; k <= n; ++k) {
            const auto b = static_cast<uint8_t>(s[i + k]);
            if ((b & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        const uint32_t min = n == 1 ? 0x80 : n == 2 ? 0x800 : 0x10000;
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += n + 1;
    }
    return true;
}

const char* const kPages[] = {"UTF-8",   "CP1252",      "ISO-8859-1", "SHIFT_JIS", "CP949",
                              "GB18030", "ISO-2022-JP", "UTF-16LE",   "KOI8-R",    ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzzsupport::CFuzzInput in(pData, nSize);
    const size_t nPage = in.Byte() % std::size(kPages);
    const std::string page = kPages[nPage];
    oriel::SetAnsiCodePage(page);
    const uint8_t capChoice = in.Byte();
    const size_t cap = capChoice % 3 == 0   ? oriel::kPackageNameCap
                       : capChoice % 3 == 1 ? oriel::kExplorerNameCap
                                            : static_cast<size_t>(in.Byte());
    const std::string text = in.RestString();

    std::string utf8 = "untouched";
    int nLength = -1;
    const oriel::NameConversion r = oriel::AnsiToUtf8(text, utf8, nLength, cap);
    FUZZ_CHECK((r == oriel::NameConversion::TooLong) == (text.size() > cap),
               "too long exactly when over the cap");
    if (r == oriel::NameConversion::Ok) {
        FUZZ_CHECK(nLength >= 1 && static_cast<size_t>(nLength) == utf8.size(),
                   "the length counts the name and its zero");
        FUZZ_CHECK(utf8.size() <= cap, "the converted name fits its cap");
        FUZZ_CHECK(utf8.back() == '\0' && utf8.find('\0') == utf8.size() - 1,
                   "exactly one zero byte, at the end");
        FUZZ_CHECK(IsUtf8(utf8.substr(0, utf8.size() - 1)), "the handset gets UTF-8");
        if (page == "UTF-8") {
            FUZZ_CHECK(utf8 == text + '\0', "UTF-8 to UTF-8 changes nothing");
        }
    } else {
        FUZZ_CHECK(utf8 == "untouched" && nLength == -1, "a refused name leaves no output");
    }

    std::string ansi = "untouched";
    const oriel::NameConversion back = oriel::Utf8ToAnsi(text, ansi);
    if (back == oriel::NameConversion::Ok) {
        FUZZ_CHECK(ansi.size() <= oriel::kExplorerNameCap, "the PC name fits its cap");
        const std::string upToZero = text.substr(0, text.find('\0'));
        FUZZ_CHECK(IsUtf8(upToZero), "only UTF-8 converts");
        if (page == "UTF-8") {
            FUZZ_CHECK(ansi == upToZero, "UTF-8 to UTF-8 changes nothing");
        }
    } else {
        FUZZ_CHECK(ansi == "untouched", "a refused name leaves no output");
    }
    // Single-byte pages map one to one: what converts one way converts back.
    if (r == oriel::NameConversion::Ok && (page == "ISO-8859-1" || page == "CP1252")) {
        std::string again;
        FUZZ_CHECK(oriel::Utf8ToAnsi(utf8, again) == oriel::NameConversion::Ok && again == text,
                   "a single-byte page converts back to the same name");
    }
    return 0;
}
