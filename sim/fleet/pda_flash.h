#pragma once
// The PDA side's flash: one address range from the flash base, kept as two
// stores so that each partition's file starts at its own first byte: the
// boot-loader's 512 KB (eboot.bin) and the operating-system image after it
// (pda_flash.bin). Operations that cross the boundary are split.

#include <cstdint>
#include <string>
#include <vector>

#include "sim/fleet/byte_store.h"

namespace fleetsim {

class CPdaFlash {
  public:
    CPdaFlash();

    bool Open(const std::string& strBootPath, const std::string& strOsPath, std::string& error);
    void Close();

    bool Contains(uint64_t nAddress, uint64_t n) const;
    // False, with nothing changed, when the range is not all flash.
    bool Write(uint64_t nAddress, const uint8_t* p, size_t n);
    bool Erase(uint64_t nAddress, uint64_t n);
    uint32_t Sum32(uint64_t nAddress, uint64_t n) const;
    std::vector<uint8_t> Read(uint64_t nAddress, size_t n) const;

    const CByteStore& Boot() const { return m_boot; }
    const CByteStore& Os() const { return m_os; }

  private:
    CByteStore m_boot;
    CByteStore m_os;
};

}  // namespace fleetsim
