#pragma once
// Test images: combined ".img" files, B000FF (".bin" record format) images and
// flat images with a zero tail, built byte for byte so that tests and the
// simulated handsets can compare what was written with what was meant.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fleet {

struct CombinedImageParts {
    std::string strPlatform;  // up to 20 bytes go into the header; 20 leave no NUL
    uint32_t nSecurity = 0;
    std::vector<uint8_t> phone;
    std::vector<uint8_t> eboot;
    std::vector<std::vector<uint8_t>> regions;
};

std::vector<uint8_t> BuildCombinedImage(const CombinedImageParts& parts);

// Reproducible bytes that are never all zero over a 1008-byte block.
std::vector<uint8_t> PatternBytes(size_t nLength, uint32_t nSeed);

// A flat image of nData pattern bytes followed by nZeroTail zero bytes.
std::vector<uint8_t> BuildFlatImage(size_t nData, size_t nZeroTail, uint32_t nSeed);

constexpr uint32_t kB000ffRecordData = 0x20200;  // data bytes of a full record
constexpr uint32_t kB000ffImageStart = 0x9CA80000;

// "B000FF\n", image start and length, then nRecords full records (12-byte
// header: address, length, byte sum; then the data) and, when nLastRecordData
// is non-zero, one shorter record with that many data bytes.
std::vector<uint8_t> BuildB000ffImage(uint32_t nRecords, uint32_t nLastRecordData, uint32_t nSeed);

bool WriteBytes(const std::string& strPath, const std::vector<uint8_t>& bytes,
                std::string& strError);
bool ReadBytes(const std::string& strPath, std::vector<uint8_t>& bytes, std::string& strError);

}  // namespace fleet
