#include "oriel/engine/crc32.h"

#include <array>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

namespace oriel {

namespace {

std::array<uint32_t, 256> g_adwCrcTable;
std::once_flag g_crcOnce;

void FillTable() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        g_adwCrcTable[i] = c;
    }
}

}  // namespace

void BuildCrc32Table() {
    std::call_once(g_crcOnce, FillTable);
}

uint32_t Crc32Update(uint32_t crc, const uint8_t* pData, size_t n) {
    BuildCrc32Table();
    uint32_t c = crc ^ 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c = g_adwCrcTable[(c ^ pData[i]) & 0xFF] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFu;
}

bool Crc32OfFile(const std::string& strPath, uint32_t& crc) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(strPath.c_str(), "rb"),
                                                      &std::fclose);
    if (!f) {
        return false;
    }
    std::vector<uint8_t> buf(1 << 16);
    uint32_t c = 0;
    for (;;) {
        const size_t n = std::fread(buf.data(), 1, buf.size(), f.get());
        c = Crc32Update(c, buf.data(), n);
        if (n < buf.size()) {
            if (std::ferror(f.get()) != 0) {
                return false;
            }
            break;
        }
    }
    crc = c;
    return true;
}

}  // namespace oriel
