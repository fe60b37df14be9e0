#pragma once
// Reads a fuzz input front to back as the values a target needs. Once the
// bytes run out every value reads as zero and every byte string as empty, so
// a target never has to check lengths and a short input is simply a plain
// case.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzsupport {

class CFuzzInput {
  public:
    CFuzzInput(const uint8_t* pData, size_t nSize) : m_p(pData), m_n(nSize) {}

    bool Empty() const { return m_nPos >= m_n; }
    size_t Left() const { return m_nPos < m_n ? m_n - m_nPos : 0; }

    uint8_t Byte() { return m_nPos < m_n ? m_p[m_nPos++] : 0; }
    bool Bool() { return (Byte() & 1) != 0; }
    uint16_t U16() {
        const uint16_t lo = Byte();
        return static_cast<uint16_t>(lo | (Byte() << 8));
    }
    uint32_t U32() {
        const uint32_t lo = U16();
        return lo | (static_cast<uint32_t>(U16()) << 16);
    }
    // A value in [lo, hi], taken from as few bytes as the span needs.
    uint32_t Range(uint32_t lo, uint32_t hi) {
        if (hi <= lo) {
            return lo;
        }
        const uint64_t span = uint64_t{hi} - lo + 1;
        const uint64_t v = span <= 0x100 ? Byte() : span <= 0x10000 ? U16() : U32();
        return static_cast<uint32_t>(lo + v % span);
    }
    // Up to n bytes (fewer at the end of the input).
    std::vector<uint8_t> Bytes(size_t n) {
        const size_t k = n < Left() ? n : Left();
        std::vector<uint8_t> out(m_p + m_nPos, m_p + m_nPos + k);
        m_nPos += k;
        return out;
    }
    // A length byte, then that many bytes.
    std::vector<uint8_t> ShortBytes() { return Bytes(Byte()); }
    std::string ShortString() {
        const std::vector<uint8_t> b = ShortBytes();
        return std::string(b.begin(), b.end());
    }
    std::vector<uint8_t> Rest() { return Bytes(Left()); }
    std::string RestString() {
        const std::vector<uint8_t> b = Rest();
        return std::string(b.begin(), b.end());
    }

  private:
    const uint8_t* m_p;
    size_t m_n;
    size_t m_nPos = 0;
};

// Writes what CFuzzInput reads, value for value: how seed inputs are made.
class CFuzzOutput {
  public:
    CFuzzOutput& Byte(uint8_t b) {
        m_bytes.push_back(b);
        return *this;
    }
    CFuzzOutput& Bool(bool b) { return Byte(b ? 1 : 0); }
    CFuzzOutput& U16(uint16_t v) {
        return Byte(static_cast<uint8_t>(v)).Byte(static_cast<uint8_t>(v >> 8));
    }
    CFuzzOutput& U32(uint32_t v) {
        return U16(static_cast<uint16_t>(v)).U16(static_cast<uint16_t>(v >> 16));
    }
    // The value v in [lo, hi], in the width CFuzzInput::Range reads.
    CFuzzOutput& Range(uint32_t lo, uint32_t hi, uint32_t v) {
        if (hi <= lo) {
            return *this;
        }
        const uint64_t span = uint64_t{hi} - lo + 1;
        const uint32_t x = v - lo;
        return span <= 0x100     ? Byte(static_cast<uint8_t>(x))
               : span <= 0x10000 ? U16(static_cast<uint16_t>(x))
                                 : U32(x);
    }
    CFuzzOutput& Bytes(const std::vector<uint8_t>& b) {
        m_bytes.insert(m_bytes.end(), b.begin(), b.end());
        return *this;
    }
    CFuzzOutput& ShortBytes(const std::vector<uint8_t>& b) {
        return Byte(static_cast<uint8_t>(b.size())).Bytes(b);
    }
    CFuzzOutput& ShortString(const std::string& s) {
        return ShortBytes(std::vector<uint8_t>(s.begin(), s.end()));
    }
    CFuzzOutput& String(const std::string& s) {
        return Bytes(std::vector<uint8_t>(s.begin(), s.end()));
    }
    const std::vector<uint8_t>& Data() const { return m_bytes; }

  private:
    std::vector<uint8_t> m_bytes;
};

}  // namespace fuzzsupport
