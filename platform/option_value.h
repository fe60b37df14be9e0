#pragma once
// The value of a command-line option, as every program's parser takes it.

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// The value after the option args[i]; i moves onto it. Without one the error
// names the option.
inline bool TakeOptionValue(const std::vector<std::string>& args, size_t& i, std::string& v,
                            std::string& error) {
    if (i + 1 >= args.size()) {
        error = args[i] + " needs a value";
        return false;
    }
    v = args[++i];
    return true;
}

}  // namespace platform
