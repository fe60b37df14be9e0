#include "fuzz/support/scratch_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fuzzsupport {

namespace {

struct CScratch {
    CScratch() {
        const char* env = std::getenv("TMPDIR");
        std::vector<std::string> bases = {"/dev/shm", env != nullptr && *env != '\0' ? env : "/tmp",
                                          "/tmp"};
        for (const std::string& base : bases) {
            std::string pattern = base + "/oriel_fuzz_XXXXXX";
            if (mkdtemp(pattern.data()) != nullptr) {
                strDir = pattern;
                break;
            }
        }
    }
    ~CScratch() {
        if (!strDir.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(strDir, ec);
        }
    }
    std::string strDir;
};

CScratch& Scratch() {
    static CScratch s;
    return s;
}

}  // namespace

const std::string& ScratchDir() {
    return Scratch().strDir;
}

std::string ScratchPath(const std::string& name) {
    return ScratchDir() + "/" + name;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

void ClearScratch() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(ScratchDir(), ec)) {
        std::filesystem::remove_all(entry.path(), ec);
    }
}

}  // namespace fuzzsupport
