#pragma once
// printf-style formatting into std::string. Operator-visible texts keep their
// printf formats verbatim; anything that came from outside (paths, names,
// device replies) is only ever an argument, never the format.

#include <string>

namespace platform {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace platform
