#include "fleet/images/temp_image_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "fleet/images/image_file.h"

namespace fleet {

namespace {

bool IsFolder(const char* path) {
    struct stat st {};
    return path != nullptr && path[0] == '/' && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

constexpr size_t kCopyChunk = 256 * 1024;

}  // namespace

std::string TempFolderBase() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (IsFolder(runtime)) {
        return runtime;
    }
    const char* tmp = std::getenv("TMPDIR");
    if (IsFolder(tmp)) {
        return tmp;
    }
    return "/tmp";
}

CTempImageFolder::~CTempImageFolder() {
    RemoveAll();
    if (m_hDir >= 0) {
        ::close(m_hDir);
        ::rmdir(m_strFolder.c_str());
    }
}

bool CTempImageFolder::Create(std::string& strWhy) {
    if (m_hDir >= 0) {
        return true;
    }
    std::string base = TempFolderBase();
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    std::vector<char> templ(base.begin(), base.end());
    const std::string suffix = "/fleet_downloader.XXXXXX";
    templ.insert(templ.end(), suffix.begin(), suffix.end());
    templ.push_back('\0');
    // mkdtemp makes a new folder with mode 0700 and fails rather than reuse one.
    if (mkdtemp(templ.data()) == nullptr) {
        strWhy = std::string("cannot create a temporary folder in ") + base + ": " +
                 std::strerror(errno);
        return false;
    }
    const int fd = ::open(templ.data(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        strWhy = std::string("cannot open ") + templ.data() + ": " + std::strerror(errno);
        ::rmdir(templ.data());
        return false;
    }
    m_hDir = fd;
    m_strFolder = templ.data();
    return true;
}

std::string CTempImageFolder::PathOf(const std::string& strName) const {
    return m_strFolder.empty() ? std::string() : m_strFolder + "/" + strName;
}

bool CTempImageFolder::WriteFrom(const std::string& strName, CImageFile& source, uint64_t nOffset,
                                 uint64_t nSize, std::string& strWhy) {
    if (m_hDir < 0 && !Create(strWhy)) {
        return false;
    }
    if (strName.empty() || strName.find('/') != std::string::npos) {
        strWhy = "bad temporary file name";
        return false;
    }
    const int fd = ::openat(m_hDir, strName.c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        strWhy = "cannot create " + PathOf(strName) + ": " + std::strerror(errno);
        return false;
    }
    m_files.insert(strName);
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kCopyChunk]);
    bool bOk = buffer != nullptr &&
               source.Seek(static_cast<int64_t>(nOffset)) == static_cast<int64_t>(nOffset);
    uint64_t left = nSize;
    while (bOk && left > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, left));
        bOk = source.Read(buffer.get(), want) == want && WriteWhole(fd, buffer.get(), want);
        left -= bOk ? want : 0;
    }
    if (::close(fd) != 0) {
        bOk = false;
    }
    if (!bOk) {
        strWhy = "cannot write " + PathOf(strName);
        Remove(strName);
        return false;
    }
    return true;
}

void CTempImageFolder::Remove(const std::string& strName) {
    const std::string name = strName;  // strName may be the set's own element
    if (m_hDir >= 0 && m_files.erase(name) != 0) {
        ::unlinkat(m_hDir, name.c_str(), 0);
    }
}

void CTempImageFolder::RemoveAll() {
    while (!m_files.empty()) {
        Remove(*m_files.begin());
    }
}

}  // namespace fleet
