#include "fleet/tools/mkimg.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fleet/images/combined_image.h"
#include "fleet/images/container.h"
#include "fleet/images/image_checksum.h"

namespace fleet {

namespace {

void AppendU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

void Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

std::vector<uint8_t> PatternBytes(size_t nLength, uint32_t nSeed) {
    std::vector<uint8_t> out(nLength);
    uint32_t x = nSeed * 2654435761u + 0x9E3779B9u;
    for (size_t i = 0; i < nLength; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<uint8_t>(x >> 24);
        if (i % 64 == 0 && out[i] == 0) {
            out[i] = 0xA5;  // keeps every block holding data
        }
    }
    return out;
}

std::vector<uint8_t> BuildCombinedImage(const CombinedImageParts& parts) {
    std::vector<uint8_t> out(kImgHeaderSize, 0);
    const size_t nameBytes = std::min<size_t>(parts.strPlatform.size(), kImgPlatformNameField);
    std::memcpy(&out[kImgPlatformNameOffset], parts.strPlatform.data(), nameBytes);
    for (int i = 0; i < 4; ++i) {
        out[kImgSecurityOffset + static_cast<size_t>(i)] =
            static_cast<uint8_t>(parts.nSecurity >> (8 * i));
    }
    AppendU32(out, static_cast<uint32_t>(parts.phone.size()));
    out.resize(out.size() + kImgPhoneBlockSize - 4, 0);
    Append(out, parts.phone);
    AppendU32(out, 0);
    AppendU32(out, static_cast<uint32_t>(parts.eboot.size()));
    AppendU32(out, static_cast<uint32_t>(parts.regions.size()));
    out.resize(out.size() + kImgEbootBlockSize - 12, 0);
    Append(out, parts.eboot);
    for (const auto& region : parts.regions) {
        AppendU32(out, static_cast<uint32_t>(region.size()));
        Append(out, region);
    }
    return out;
}

std::vector<uint8_t> BuildFlatImage(size_t nData, size_t nZeroTail, uint32_t nSeed) {
    std::vector<uint8_t> out = PatternBytes(nData, nSeed);
    out.resize(nData + nZeroTail, 0);
    return out;
}

std::vector<uint8_t> BuildB000ffImage(uint32_t nRecords, uint32_t nLastRecordData, uint32_t nSeed) {
    std::vector<uint8_t> out(kB000ffSignature, kB000ffSignature + kB000ffSignatureSize);
    const uint64_t imageLength = uint64_t{nRecords} * kB000ffRecordData + nLastRecordData;
    AppendU32(out, kB000ffImageStart);
    AppendU32(out, static_cast<uint32_t>(imageLength));
    auto record = [&](uint32_t nIndex, uint32_t nData) {
        const std::vector<uint8_t> data = PatternBytes(nData, nSeed + nIndex);
        AppendU32(out, kB000ffImageStart + nIndex * kB000ffRecordData);
        AppendU32(out, nData);
        AppendU32(out, ImageByteSum(data.data(), data.size()));
        Append(out, data);
    };
    for (uint32_t i = 0; i < nRecords; ++i) {
        record(i, kB000ffRecordData);
    }
    if (nLastRecordData != 0) {
        record(nRecords, nLastRecordData);
    }
    return out;
}

bool WriteBytes(const std::string& strPath, const std::vector<uint8_t>& bytes,
                std::string& strError) {
    std::FILE* f = std::fopen(strPath.c_str(), "wb");
    if (f == nullptr) {
        strError = "cannot create " + strPath + ": " + std::strerror(errno);
        return false;
    }
    const bool bOk = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !bOk) {
        strError = "cannot write " + strPath;
        return false;
    }
    return true;
}

bool ReadBytes(const std::string& strPath, std::vector<uint8_t>& bytes, std::string& strError) {
    std::FILE* f = std::fopen(strPath.c_str(), "rb");
    if (f == nullptr) {
        strError = "cannot read " + strPath + ": " + std::strerror(errno);
        return false;
    }
    bytes.clear();
    uint8_t buffer[65536];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    const bool bOk = std::ferror(f) == 0;
    std::fclose(f);
    if (!bOk) {
        strError = "cannot read " + strPath;
    }
    return bOk;
}

}  // namespace fleet
