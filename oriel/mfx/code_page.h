#pragma once
// Names between the PC's "ANSI" code page and the UTF-8 the handset stores.
// On this platform the PC's code page is the locale's charset unless a
// setting names another (e.g. "CP1252"); glibc's iconv converts. A name that
// cannot be converted whole is refused, never sent half-converted.

#include <cstddef>
#include <string>

namespace oriel {

// The code page ANSI names are read in; empty = the locale's charset.
void SetAnsiCodePage(const std::string& name);
std::string AnsiCodePage();

enum class NameConversion {
    Ok,
    TooLong,      // the input is over the variant's limit (nothing converted)
    NotConverted  // a character the code pages cannot carry, or the output did not fit
};

// Output caps of the two variants.
constexpr size_t kPackageNameCap = 500;
constexpr size_t kExplorerNameCap = 510;

// ANSI name -> UTF-8 with its terminating zero; nLength counts that zero. The
// input may be at most nCap bytes; the output (zero included) at most nCap.
NameConversion AnsiToUtf8(const std::string& ansi, std::string& utf8, int& nLength, size_t nCap);
// UTF-8 (no zero needed) -> ANSI, at most kExplorerNameCap bytes either way.
NameConversion Utf8ToAnsi(const std::string& utf8, std::string& ansi);
// ANSI text -> UTF-8 for a window to show; never fails: what the code page
// cannot decode shows as U+FFFD. For display only, never for a path.
std::string AnsiToDisplay(const std::string& ansi);

}  // namespace oriel
