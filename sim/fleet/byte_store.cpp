#include "sim/fleet/byte_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace fleetsim {

CByteStore::CByteStore(uint64_t nBase, uint64_t nSize, uint8_t byFill)
    : m_nBase(nBase), m_nSize(nSize), m_byFill(byFill) {}

CByteStore::~CByteStore() {
    Close();
}

bool CByteStore::Open(const std::string& strPath, std::string& error) {
    Close();
    m_data.clear();
    m_bMirrorFailed = false;
    if (strPath.empty()) {
        return true;
    }
    m_hFile = ::open(strPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_hFile < 0) {
        error = "cannot create " + strPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void CByteStore::Close() {
    if (m_hFile >= 0) {
        ::close(m_hFile);
        m_hFile = -1;
    }
}

bool CByteStore::Contains(uint64_t nAddress, uint64_t n) const {
    return nAddress >= m_nBase && nAddress - m_nBase <= m_nSize &&
           n <= m_nSize - (nAddress - m_nBase);
}

bool CByteStore::Write(uint64_t nAddress, const uint8_t* p, size_t n) {
    if (!Contains(nAddress, n)) {
        return false;
    }
    if (n == 0) {
        return true;
    }
    const uint64_t offset = nAddress - m_nBase;
    const uint64_t end = offset + n;
    const uint64_t oldExtent = m_data.size();
    if (end > oldExtent) {
        m_data.resize(end, m_byFill);
    }
    std::memcpy(m_data.data() + offset, p, n);
    // A gap between the old end and this write is mirrored too, so the file
    // never holds holes where the device holds the fill value.
    Mirror(std::min(offset, oldExtent), end);
    return true;
}

bool CByteStore::Erase(uint64_t nAddress, uint64_t n) {
    if (!Contains(nAddress, n)) {
        return false;
    }
    const uint64_t offset = nAddress - m_nBase;
    if (offset >= m_data.size()) {
        return true;  // past the extent everything already reads as the fill
    }
    const uint64_t end = std::min<uint64_t>(offset + n, m_data.size());
    std::fill(m_data.begin() + static_cast<std::ptrdiff_t>(offset),
              m_data.begin() + static_cast<std::ptrdiff_t>(end), m_byFill);
    Mirror(offset, end);
    return true;
}

std::vector<uint8_t> CByteStore::Read(uint64_t nAddress, size_t n) const {
    std::vector<uint8_t> out;
    if (nAddress < m_nBase || nAddress - m_nBase >= m_nSize) {
        return out;
    }
    const uint64_t offset = nAddress - m_nBase;
    const uint64_t take = std::min<uint64_t>(n, m_nSize - offset);
    out.assign(take, m_byFill);
    if (offset < m_data.size()) {
        const uint64_t have = std::min<uint64_t>(take, m_data.size() - offset);
        std::memcpy(out.data(), m_data.data() + offset, have);
    }
    return out;
}

uint32_t CByteStore::Sum32(uint64_t nAddress, uint64_t n) const {
    if (!Contains(nAddress, n)) {
        return 0;
    }
    const uint64_t offset = nAddress - m_nBase;
    uint32_t sum = 0;
    uint64_t have = 0;
    if (offset < m_data.size()) {
        have = std::min<uint64_t>(n, m_data.size() - offset);
        for (uint64_t i = 0; i < have; ++i) {
            sum += m_data[offset + i];
        }
    }
    sum += static_cast<uint32_t>((n - have) * m_byFill);
    return sum;
}

void CByteStore::Mirror(uint64_t nOffset, uint64_t nEnd) {
    if (m_hFile < 0 || m_bMirrorFailed) {
        return;
    }
    while (nOffset < nEnd) {
        const ssize_t w =
            ::pwrite(m_hFile, m_data.data() + nOffset, nEnd - nOffset, static_cast<off_t>(nOffset));
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            m_bMirrorFailed = true;
            return;
        }
        nOffset += static_cast<uint64_t>(w);
    }
}

}  // namespace fleetsim
