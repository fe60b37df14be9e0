#pragma once
// Rows of text in columns, for listings on a terminal.

#include <string>
#include <vector>

namespace platform {

// Each column as wide as its widest cell, two spaces between columns, one
// line per row ending in '\n', no blanks at a line's end.
std::string FormatColumns(const std::vector<std::vector<std::string>>& rows);

}  // namespace platform
