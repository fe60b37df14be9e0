#pragma once
// Receive ring: one producer (the receive thread) and one consumer (the UI
// thread), no lock. Each side writes only its own index and publishes it with
// release after the byte it covers; the other side reads it with acquire.
// Holds at most kSize - 1 bytes so that full and empty differ.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace oriel {

class CByteQueue {
  public:
    static constexpr int32_t kSize = 0x4000;
    static constexpr int32_t kCapacity = kSize - 1;

    int32_t Count() const {
        const int32_t w = m_nWrite.load(std::memory_order_acquire);
        const int32_t r = m_nRead.load(std::memory_order_acquire);
        return (w - r + kSize) % kSize;
    }

    // Producer only.
    bool Push(uint8_t by) {
        const int32_t w = m_nWrite.load(std::memory_order_relaxed);
        const int32_t r = m_nRead.load(std::memory_order_acquire);
        if ((w - r + kSize) % kSize == kCapacity) {
            return false;
        }
        m_abData[static_cast<size_t>(w)] = by;
        m_nWrite.store((w + 1) % kSize, std::memory_order_release);
        return true;
    }

    // Producer only: all n bytes or none. Publishes once, after the last byte.
    bool PushAll(const uint8_t* pData, int32_t n) {
        const int32_t w = m_nWrite.load(std::memory_order_relaxed);
        const int32_t r = m_nRead.load(std::memory_order_acquire);
        const int32_t count = (w - r + kSize) % kSize;
        if (n < 0 || n > kCapacity - count) {
            return false;
        }
        for (int32_t i = 0; i < n; ++i) {
            m_abData[static_cast<size_t>((w + i) % kSize)] = pData[i];
        }
        m_nWrite.store((w + n) % kSize, std::memory_order_release);
        return true;
    }

    // Consumer only.
    bool Pop(uint8_t& by) {
        const int32_t r = m_nRead.load(std::memory_order_relaxed);
        const int32_t w = m_nWrite.load(std::memory_order_acquire);
        if (r == w) {
            return false;
        }
        by = m_abData[static_cast<size_t>(r)];
        m_nRead.store((r + 1) % kSize, std::memory_order_release);
        return true;
    }

  private:
    std::array<uint8_t, kSize> m_abData{};
    std::atomic<int32_t> m_nWrite{0};
    std::atomic<int32_t> m_nRead{0};
};

}  // namespace oriel
