#include "fleet/images/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace fleet {

bool CImageFile::Open(const std::string& strPath) {
    Close();
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    m_hFile = fd;
    m_strPath = strPath;
    return true;
}

void CImageFile::Close() {
    if (m_hFile >= 0) {
        ::close(m_hFile);
        m_hFile = -1;
    }
}

int64_t CImageFile::Seek(int64_t nPosition) {
    if (m_hFile < 0 || nPosition < 0) {
        return -1;
    }
    const off_t pos = ::lseek(m_hFile, static_cast<off_t>(nPosition), SEEK_SET);
    return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

int64_t CImageFile::SeekFromEnd(int64_t nBack) {
    const int64_t length = Length();
    if (length < 0 || nBack < 0 || length < nBack) {
        return -1;
    }
    return Seek(length - nBack);
}

int64_t CImageFile::Position() const {
    if (m_hFile < 0) {
        return -1;
    }
    const off_t pos = ::lseek(m_hFile, 0, SEEK_CUR);
    return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

int64_t CImageFile::Length() const {
    if (m_hFile < 0) {
        return -1;
    }
    struct stat st {};
    if (fstat(m_hFile, &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

size_t CImageFile::Read(uint8_t* pData, size_t n) {
    if (m_hFile < 0) {
        return 0;
    }
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::read(m_hFile, pData + done, n - done);
        if (got > 0) {
            done += static_cast<size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return 0;  // an error is never taken for data
        }
        break;  // end of file
    }
    return done;
}

bool WriteWhole(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace fleet
