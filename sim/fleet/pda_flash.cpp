#include "sim/fleet/pda_flash.h"

#include <algorithm>

#include "sim/fleet/sim_types.h"

namespace fleetsim {

CPdaFlash::CPdaFlash()
    : m_boot(kFlashBase, kBootPartitionSize, 0xFF),
      m_os(kOsPartitionBase, kFlashSize - kBootPartitionSize, 0xFF) {}

bool CPdaFlash::Open(const std::string& strBootPath, const std::string& strOsPath,
                     std::string& error) {
    if (!m_boot.Open(strBootPath, error)) {
        return false;
    }
    if (!m_os.Open(strOsPath, error)) {
        m_boot.Close();
        return false;
    }
    return true;
}

void CPdaFlash::Close() {
    m_boot.Close();
    m_os.Close();
}

bool CPdaFlash::Contains(uint64_t nAddress, uint64_t n) const {
    return nAddress >= kFlashBase && nAddress - kFlashBase <= kFlashSize &&
           n <= kFlashSize - (nAddress - kFlashBase);
}

bool CPdaFlash::Write(uint64_t nAddress, const uint8_t* p, size_t n) {
    if (!Contains(nAddress, n)) {
        return false;
    }
    if (nAddress < kOsPartitionBase) {
        const size_t inBoot =
            static_cast<size_t>(std::min<uint64_t>(n, kOsPartitionBase - nAddress));
        m_boot.Write(nAddress, p, inBoot);
        p += inBoot;
        n -= inBoot;
        nAddress += inBoot;
    }
    return n == 0 || m_os.Write(nAddress, p, n);
}

bool CPdaFlash::Erase(uint64_t nAddress, uint64_t n) {
    if (!Contains(nAddress, n)) {
        return false;
    }
    if (nAddress < kOsPartitionBase) {
        const uint64_t inBoot = std::min<uint64_t>(n, kOsPartitionBase - nAddress);
        m_boot.Erase(nAddress, inBoot);
        n -= inBoot;
        nAddress += inBoot;
    }
    return n == 0 || m_os.Erase(nAddress, n);
}

uint32_t CPdaFlash::Sum32(uint64_t nAddress, uint64_t n) const {
    if (!Contains(nAddress, n)) {
        return 0;
    }
    uint32_t sum = 0;
    if (nAddress < kOsPartitionBase) {
        const uint64_t inBoot = std::min<uint64_t>(n, kOsPartitionBase - nAddress);
        sum += m_boot.Sum32(nAddress, inBoot);
        n -= inBoot;
        nAddress += inBoot;
    }
    if (n != 0) {
        sum += m_os.Sum32(nAddress, n);
    }
    return sum;
}

std::vector<uint8_t> CPdaFlash::Read(uint64_t nAddress, size_t n) const {
    std::vector<uint8_t> out;
    if (nAddress < kFlashBase) {
        return out;
    }
    if (nAddress < kOsPartitionBase) {
        const size_t inBoot =
            static_cast<size_t>(std::min<uint64_t>(n, kOsPartitionBase - nAddress));
        out = m_boot.Read(nAddress, inBoot);
        n -= inBoot;
        nAddress += inBoot;
    }
    if (n != 0) {
        const std::vector<uint8_t> os = m_os.Read(nAddress, n);
        out.insert(out.end(), os.begin(), os.end());
    }
    return out;
}

}  // namespace fleetsim
