#include "oriel/engine/file_object.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oriel {

bool CFileObject::Open(const std::string& strPath, Mode mode) {
    Close();
    m_bError = false;
    int fd = -1;
    // Non-blocking for the open itself: a FIFO put where a file was expected
    // must not block the UI thread; it is refused below.
    if (mode == Mode::Read) {
        fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } else {
        fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644);
    }
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    // A folder or a device opens but is not a file the operator meant.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return false;
    }
    m_pFile = fdopen(fd, mode == Mode::Read ? "rb" : "wb");
    if (m_pFile == nullptr) {
        ::close(fd);
        return false;
    }
    m_strPath = strPath;
    return true;
}

void CFileObject::Close() {
    if (m_pFile != nullptr) {
        if (std::fclose(m_pFile) != 0) {
            m_bError = true;
        }
        m_pFile = nullptr;
    }
}

size_t CFileObject::Read(uint8_t* pData, size_t n) {
    if (m_pFile == nullptr) {
        return 0;
    }
    const size_t got = std::fread(pData, 1, n, m_pFile);
    if (got < n && std::ferror(m_pFile) != 0) {
        m_bError = true;
    }
    return got;
}

bool CFileObject::Write(const uint8_t* pData, size_t n) {
    if (m_pFile == nullptr || std::fwrite(pData, 1, n, m_pFile) != n) {
        m_bError = true;
        return false;
    }
    return true;
}

bool CFileObject::Flush() {
    if (m_pFile == nullptr || std::fflush(m_pFile) != 0) {
        m_bError = true;
        return false;
    }
    return true;
}

int64_t CFileObject::Length() {
    if (m_pFile == nullptr) {
        return -1;
    }
    struct stat st {};
    if (fstat(fileno(m_pFile), &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

}  // namespace oriel
