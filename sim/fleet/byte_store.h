#pragma once
// A window of device memory (RAM, a flash partition, the modem's flash) that a
// test can read back and compare with an image. The bytes live in memory and,
// when a file is given, are written through to it, so the file always holds
// the window from its first byte up to the highest byte written. Everything
// past that reads as the fill value (0 for RAM, 0xFF for erased flash).
// Nothing is ever written outside the window: callers check Contains first,
// and the writers refuse what lies outside.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fleetsim {

class CByteStore {
  public:
    CByteStore(uint64_t nBase, uint64_t nSize, uint8_t byFill);
    ~CByteStore();
    CByteStore(const CByteStore&) = delete;
    CByteStore& operator=(const CByteStore&) = delete;

    // Starts empty and mirrors into the file (created or truncated). An empty
    // path keeps the store in memory only.
    bool Open(const std::string& strPath, std::string& error);
    void Close();

    uint64_t Base() const { return m_nBase; }
    uint64_t Size() const { return m_nSize; }
    // Whether [nAddress, nAddress + n) lies inside the window.
    bool Contains(uint64_t nAddress, uint64_t n) const;

    // False, with nothing written, when the range is not inside the window.
    bool Write(uint64_t nAddress, const uint8_t* p, size_t n);
    // Back to the fill value (an erase).
    bool Erase(uint64_t nAddress, uint64_t n);

    // The part of [nAddress, nAddress + n) inside the window.
    std::vector<uint8_t> Read(uint64_t nAddress, size_t n) const;
    // Byte sum over a range inside the window (0 when it is not).
    uint32_t Sum32(uint64_t nAddress, uint64_t n) const;
    // Bytes from the base up to the highest one written.
    uint64_t Extent() const { return m_data.size(); }
    // The mirror file could not be written (disk full, removed folder).
    bool MirrorFailed() const { return m_bMirrorFailed; }

  private:
    void Mirror(uint64_t nOffset, uint64_t nEnd);

    const uint64_t m_nBase;
    const uint64_t m_nSize;
    const uint8_t m_byFill;
    std::vector<uint8_t> m_data;
    int m_hFile = -1;
    bool m_bMirrorFailed = false;
};

}  // namespace fleetsim
