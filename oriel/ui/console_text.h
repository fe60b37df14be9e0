#pragma once
// Texts and values the console derives from files and settings, kept free of
// widgets so they can be checked on their own.

#include <cstdint>
#include <string>

namespace oriel {

// 1234567 -> "1,234,567"; 999 -> "999".
std::string FormatThousands(int64_t n);

// The log receives rich-edit line ends ("\r\n", and a lone '\r' or '\n');
// the widget wants '\n'.
std::string ToWidgetLineEnds(const std::string& text);

// A stored list index outside 0..nCount-1 is pulled to the nearest end.
int ClampIndex(int n, int nCount);

// Only a regular file may be opened from the UI thread: a FIFO would block
// the open and a device would never end a CRC. Its size when it is one.
bool IsRegularFile(const std::string& strPath, int64_t& nSize);

}  // namespace oriel
