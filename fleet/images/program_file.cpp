#include "fleet/images/program_file.h"

#include <unistd.h>

#include <vector>

namespace fleet {

std::string ProgramFilePath() {
    return "/proc/self/exe";
}

std::string ProgramFileName() {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<size_t>(n) < buffer.size()) {
            return std::string(buffer.data(), static_cast<size_t>(n));
        }
        buffer.resize(buffer.size() * 2);  // possibly cut: try again with more room
    }
}

std::string ProgramBaseName() {
    const std::string name = ProgramFileName();
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace fleet
