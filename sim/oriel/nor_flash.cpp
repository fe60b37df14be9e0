#include "sim/oriel/nor_flash.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace orielsim {

namespace {

constexpr uint32_t k32K = 0x8000;
constexpr uint32_t k128K = 0x20000;
constexpr int kBottomSmall = 4;
constexpr int kBigCount = 126;
constexpr uint32_t kTopStart = kBottomSmall * k32K + kBigCount * k128K;  // 0xFE0000

std::string Errno() {
    return std::strerror(errno);
}

}  // namespace

uint32_t NorSectorStart(int index) {
    if (index < kBottomSmall) {
        return static_cast<uint32_t>(index) * k32K;
    }
    if (index < kBottomSmall + kBigCount) {
        return kBottomSmall * k32K + static_cast<uint32_t>(index - kBottomSmall) * k128K;
    }
    return kTopStart + static_cast<uint32_t>(index - kBottomSmall - kBigCount) * k32K;
}

uint32_t NorSectorSize(int index) {
    return (index >= kBottomSmall && index < kBottomSmall + kBigCount) ? k128K : k32K;
}

int NorSectorAt(uint32_t offset) {
    if (offset >= kNorSize) {
        return -1;
    }
    int index = 0;
    if (offset < kBottomSmall * k32K) {
        if (offset % k32K != 0) {
            return -1;
        }
        index = static_cast<int>(offset / k32K);
    } else if (offset < kTopStart) {
        const uint32_t rel = offset - kBottomSmall * k32K;
        if (rel % k128K != 0) {
            return -1;
        }
        index = kBottomSmall + static_cast<int>(rel / k128K);
    } else {
        const uint32_t rel = offset - kTopStart;
        if (rel % k32K != 0) {
            return -1;
        }
        index = kBottomSmall + kBigCount + static_cast<int>(rel / k32K);
    }
    return index;
}

CNorFlash::~CNorFlash() {
    Close();
}

bool CNorFlash::Open(const std::string& strPath, std::string& error) {
    Close();
    if (strPath.empty()) {
        m_memory.assign(kNorSize, 0xFF);
        m_pData = m_memory.data();
        return true;
    }
    const int fd = ::open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot open NOR file " + strPath + ": " + Errno();
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "NOR file " + strPath + " is not a regular file";
        ::close(fd);
        return false;
    }
    const bool bFresh = st.st_size == 0;
    if (!bFresh && st.st_size != static_cast<off_t>(kNorSize)) {
        error = "NOR file " + strPath + " has " + std::to_string(st.st_size) +
                " bytes; it must be empty or exactly " + std::to_string(kNorSize) + " bytes";
        ::close(fd);
        return false;
    }
    if (bFresh && ftruncate(fd, static_cast<off_t>(kNorSize)) != 0) {
        error = "cannot size NOR file " + strPath + ": " + Errno();
        ::close(fd);
        return false;
    }
    void* p = mmap(nullptr, kNorSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);  // the mapping keeps the file
    if (p == MAP_FAILED) {
        error = "cannot map NOR file " + strPath + ": " + Errno();
        return false;
    }
    m_pData = static_cast<uint8_t*>(p);
    m_bMapped = true;
    if (bFresh) {
        std::memset(m_pData, 0xFF, kNorSize);
    }
    return true;
}

void CNorFlash::Close() {
    if (m_bMapped && m_pData != nullptr) {
        msync(m_pData, kNorSize, MS_SYNC);
        munmap(m_pData, kNorSize);
    }
    m_pData = nullptr;
    m_bMapped = false;
    m_memory.clear();
    m_memory.shrink_to_fit();
}

void CNorFlash::EraseSector(int index) {
    if (m_pData == nullptr || index < 0 || index >= kNorSectorCount) {
        return;
    }
    std::memset(m_pData + NorSectorStart(index), 0xFF, NorSectorSize(index));
}

bool CNorFlash::Program(uint32_t offset, const uint8_t* p, size_t n) {
    if (m_pData == nullptr || offset > kNorSize || n > kNorSize - offset) {
        return false;
    }
    uint8_t* dst = m_pData + offset;
    for (size_t i = 0; i < n; ++i) {
        dst[i] &= p[i];
    }
    return true;
}

bool CNorFlash::Store(uint32_t offset, const uint8_t* p, size_t n) {
    if (m_pData == nullptr || offset > kNorSize || n > kNorSize - offset) {
        return false;
    }
    std::memcpy(m_pData + offset, p, n);
    return true;
}

std::vector<uint8_t> CNorFlash::Read(uint32_t offset, size_t n) const {
    if (m_pData == nullptr || offset >= kNorSize) {
        return {};
    }
    const size_t count = std::min<size_t>(n, kNorSize - offset);
    return {m_pData + offset, m_pData + offset + count};
}

void CNorFlash::Sync() {
    if (m_bMapped && m_pData != nullptr) {
        msync(m_pData, kNorSize, MS_ASYNC);
    }
}

}  // namespace orielsim
