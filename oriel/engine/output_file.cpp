#include "oriel/engine/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/format.h"

namespace oriel {

namespace {

std::string FolderOf(const std::string& strPath) {
    const size_t slash = strPath.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : strPath.substr(0, slash);
}

// A name beside the chosen one that says what it is if a kill leaves it.
std::string TemporaryName(const std::string& strPath, int nTry) {
    static std::atomic<unsigned> s_nCounter{0};
    return platform::Format("%s.%d-%u-%d.part", strPath.c_str(), static_cast<int>(getpid()),
                            s_nCounter.fetch_add(1), nTry);
}

// Renames without replacing: false with EEXIST when the target is there.
bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A file system without the flag: link() does not replace either.
    if (link(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    unlink(from.c_str());
    return true;
}

}  // namespace

std::string IncompletePathFor(const std::string& strPath) {
    std::string candidate = strPath + kIncompleteSuffix;
    struct stat st {};
    for (int n = 2; lstat(candidate.c_str(), &st) == 0 && n < 10000; ++n) {
        candidate = platform::Format("%s.%d%s", strPath.c_str(), n, kIncompleteSuffix);
    }
    return candidate;
}

bool COutputFile::CanCreate(const std::string& strPath, std::string& error) {
    if (strPath.empty() || strPath.back() == '/') {
        error = "'" + strPath + "' is not a file name";
        return false;
    }
    struct stat st {};
    if (stat(strPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = "'" + strPath + "' is not a regular file";
        return false;
    }
    const std::string folder = FolderOf(strPath);
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "the folder '" + folder + "' does not exist";
        return false;
    }
    COutputFile probe;
    if (!probe.Create(strPath)) {
        error = platform::Format("cannot write in the folder '%s': %s", folder.c_str(),
                                 std::strerror(errno));
        return false;
    }
    probe.CloseHandle();
    unlink(probe.m_strTemp.c_str());
    probe.m_strTemp.clear();
    return true;
}

COutputFile::~COutputFile() {
    if (IsOpen()) {
        KeepIncomplete();
    }
}

bool COutputFile::Create(const std::string& strPath) {
    if (IsOpen()) {
        KeepIncomplete();
    }
    struct stat st {};
    if (strPath.empty() || (stat(strPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode))) {
        errno = EINVAL;
        return false;
    }
    for (int nTry = 0; nTry < 100; ++nTry) {
        const std::string temp = TemporaryName(strPath, nTry);
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            m_fd = fd;
            m_strTemp = temp;
            m_strPath = strPath;
            m_nWritten = 0;
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

bool COutputFile::Write(const uint8_t* pData, size_t n) {
    if (m_fd < 0) {
        return false;
    }
    while (n > 0) {
        const ssize_t w = ::write(m_fd, pData, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        pData += w;
        n -= static_cast<size_t>(w);
        m_nWritten += w;
    }
    return true;
}

bool COutputFile::Commit() {
    if (!IsOpen() || m_fd < 0 || fsync(m_fd) != 0) {
        return false;
    }
    const int fd = m_fd;
    m_fd = -1;
    // A failed close may have lost bytes: then this is not the file asked for.
    if (::close(fd) != 0 || std::rename(m_strTemp.c_str(), m_strPath.c_str()) != 0) {
        return false;
    }
    m_strTemp.clear();
    return true;
}

void COutputFile::CloseHandle() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

std::string COutputFile::KeepIncomplete() {
    CloseHandle();
    if (m_strTemp.empty()) {
        return {};
    }
    std::string kept;
    for (int nTry = 0; nTry < 100; ++nTry) {
        const std::string target = IncompletePathFor(m_strPath);
        if (RenameNoReplace(m_strTemp, target)) {
            kept = target;
            break;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    if (kept.empty()) {
        kept = m_strTemp;
    }
    m_strTemp.clear();
    return kept;
}

}  // namespace oriel
