#include "platform/history/image_hash.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <QCryptographicHash>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/format.h"

namespace history {

namespace {

constexpr size_t kChunk = 1 << 20;
constexpr size_t kCacheLimit = 256;

// Reads [nOffset, nOffset + nLength) (nLength < 0: to the end) through both sums.
bool HashRegion(const std::string& strPath, int64_t nOffset, int64_t nLength, int64_t& nSize,
                std::string& strCrc, std::string& strSha, std::string& error) {
    const int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot read the file: ") + std::strerror(errno);
        return false;
    }
    std::vector<char> buf(kChunk);
    uLong crc = crc32(0L, Z_NULL, 0);
    QCryptographicHash sha(QCryptographicHash::Sha256);
    int64_t nPos = nOffset;
    nSize = 0;
    bool bOk = true;
    while (nLength < 0 || nSize < nLength) {
        size_t nWant = kChunk;
        if (nLength >= 0 && static_cast<int64_t>(nWant) > nLength - nSize) {
            nWant = static_cast<size_t>(nLength - nSize);
        }
        const ssize_t n = pread(fd, buf.data(), nWant, static_cast<off_t>(nPos));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = std::string("read error: ") + std::strerror(errno);
            bOk = false;
            break;
        }
        if (n == 0) {
            if (nLength >= 0) {
                error = platform::Format("the file ends %lld bytes into the region of %lld",
                                         static_cast<long long>(nSize),
                                         static_cast<long long>(nLength));
                bOk = false;
            }
            break;
        }
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buf.data()), static_cast<uInt>(n));
        sha.addData(QByteArrayView(buf.data(), n));
        nSize += n;
        nPos += n;
    }
    close(fd);
    if (!bOk) {
        return false;
    }
    strCrc = platform::Format("%08lx", static_cast<unsigned long>(crc));
    strSha = sha.result().toHex().toStdString();
    return true;
}

}  // namespace

void CImageHasher::Hash(ImageRef& image) {
    image.bHashed = false;
    int64_t nFileSize = -1;
    int64_t nMtimeNs = -1;
    if (!StatFile(image.strPath, nFileSize, nMtimeNs)) {
        image.strNote = "the file is gone";
        return;
    }
    if (image.nSeenSize >= 0 && (image.nSeenSize != nFileSize || image.nSeenMtimeNs != nMtimeNs)) {
        // Its bytes now are not what was written: no hashes rather than wrong ones.
        image.strNote = "the file changed after the job began";
        return;
    }
    const Key key{image.strPath, image.nOffset, image.nLength};
    const auto it = m_cache.find(key);
    if (it == m_cache.end() || it->second.nFileSize != nFileSize ||
        it->second.nMtimeNs != nMtimeNs) {
        Done done;
        done.nFileSize = nFileSize;
        done.nMtimeNs = nMtimeNs;
        std::string error;
        ++m_nFilesRead;
        if (!HashRegion(image.strPath, image.nOffset, image.nLength, done.nSize, done.strCrc32,
                        done.strSha256, error)) {
            image.strNote = error;
            m_cache.erase(key);
            return;
        }
        if (m_cache.size() >= kCacheLimit) {
            m_cache.clear();
        }
        m_cache[key] = done;
    }
    const Done& done = m_cache[key];
    image.nSize = done.nSize;
    image.strCrc32 = done.strCrc32;
    image.strSha256 = done.strSha256;
    image.bHashed = true;
}

}  // namespace history
