#include "oriel/mfx/mfx_package.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "oriel/engine/downloader_engine.h"
#include "oriel/engine/file_object.h"
#include "oriel/mfx/code_page.h"
#include "platform/format.h"

namespace oriel {

namespace {

constexpr char kVersionKey[] = "MFXVERSION : ";
constexpr char kReleaseKey[] = "MFXRELEASEVERSION : ";
constexpr char kDirKey[] = "DIR_NAME : ";
constexpr char kFileKey[] = "FILE_NAME : ";
constexpr char kSizeKey[] = "FILE_SIZE : ";
// Longest names the handset takes, zero byte included, minus one.
constexpr size_t kDirNameLimit = 63;
constexpr size_t kFileNameLimit = 511;

}  // namespace

std::string CfgPathFor(const std::string& strMfxPath) {
    if (strMfxPath.empty()) {
        return {};
    }
    // A dot in a folder name is not the file's extension, and a name without
    // one keeps its folder: the description is always beside the data file.
    const size_t slash = strMfxPath.find_last_of('/');
    const size_t dot = strMfxPath.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return strMfxPath + ".cfg";
    }
    return strMfxPath.substr(0, dot) + ".cfg";
}

size_t CMfxPackage::Find(const char* key, size_t from) const {
    return from >= m_strCfgText.size() ? std::string::npos : m_strCfgText.find(key, from);
}

std::string CMfxPackage::ValueToCr(size_t& pos) const {
    const size_t cr = m_strCfgText.find('\r', pos);
    const size_t end = cr == std::string::npos ? m_strCfgText.size() : cr;
    std::string value = m_strCfgText.substr(pos, end - pos);
    pos = end;
    return value;
}

void CMfxPackage::Release() {
    m_strCfgText.clear();
    m_strCfgText.shrink_to_fit();
    m_nCfgCursor = 0;
}

int32_t CMfxPackage::LoadMfxPackage() {
    CDownloaderEngine& e = m_engine;
    m_strCfgPath = CfgPathFor(m_strMfxPath);
    CFileObject data;
    if (!data.Open(m_strMfxPath, CFileObject::Mode::Read)) {
        e.Message(platform::Format("Fail to open %s", m_strMfxPath.c_str()));
        return 0;
    }
    const int64_t nLength = data.Length();
    data.Close();
    // The protocol carries 32-bit sizes.
    if (nLength < 0 || nLength > INT32_MAX) {
        e.Message(platform::Format("Fail to open %s", m_strMfxPath.c_str()));
        return 0;
    }
    m_nMfxFileSize = static_cast<int32_t>(nLength);

    CFileObject cfg;
    if (!cfg.Open(m_strCfgPath, CFileObject::Mode::Read)) {
        e.Message(platform::Format("Fail to open %s", m_strCfgPath.c_str()));
        return 0;
    }
    const int64_t nCfg = cfg.Length();
    std::string text(nCfg > 0 ? static_cast<size_t>(nCfg) : 0, '\0');
    if (nCfg < 0 || cfg.Read(reinterpret_cast<uint8_t*>(text.data()), text.size()) != text.size()) {
        e.Message(platform::Format("Fail to open %s", m_strCfgPath.c_str()));
        return 0;
    }
    cfg.Close();
    m_strCfgText = std::move(text);

    // Only the digits after each size key count towards the sum.
    int64_t sum = 0;
    for (size_t pos = Find(kSizeKey, 0); pos != std::string::npos; pos = Find(kSizeKey, pos)) {
        pos += std::strlen(kSizeKey);
        int64_t value = 0;
        while (pos < m_strCfgText.size() && m_strCfgText[pos] >= '0' && m_strCfgText[pos] <= '9') {
            // Saturate: a number this large can only be a mismatch.
            value = value > INT32_MAX ? value : value * 10 + (m_strCfgText[pos] - '0');
            ++pos;
        }
        sum += value;
    }
    if (sum != m_nMfxFileSize) {
        e.Log(platform::Format("MfxFilesize(%d):CfgFilesize(%lld)", m_nMfxFileSize,
                               static_cast<long long>(sum)));
        e.Message("MFX file size mismatched!!!");
        Release();
        return 0;
    }
    const size_t ver = Find(kVersionKey, 0);
    const size_t verAt = ver == std::string::npos ? 0 : ver + std::strlen(kVersionKey);
    // The record is fixed-width; a description that ends before it is as bad
    // as one without it.
    if (ver == std::string::npos || verAt + m_abyProjectVersion.size() > m_strCfgText.size()) {
        e.Message("MFXVERSION not found in cfg file");
        Release();
        return 0;
    }
    std::memcpy(m_abyProjectVersion.data(), m_strCfgText.data() + verAt,
                m_abyProjectVersion.size());
    const size_t rel = Find(kReleaseKey, 0);
    const size_t relAt = rel == std::string::npos ? 0 : rel + std::strlen(kReleaseKey);
    m_bHasReleaseVersion = 0;
    if (rel != std::string::npos && relAt + m_abyReleaseVersion.size() <= m_strCfgText.size()) {
        std::memcpy(m_abyReleaseVersion.data(), m_strCfgText.data() + relAt,
                    m_abyReleaseVersion.size());
        m_bHasReleaseVersion = 1;
    }
    m_nCfgCursor = 0;
    return 1;
}

bool CMfxPackage::ConvertEntry(const char* tooLongFmt, size_t nLimit) {
    CDownloaderEngine& e = m_engine;
    int nLength = 0;
    const NameConversion r = AnsiToUtf8(m_szEntryName, m_strEntryUtf8, nLength, kPackageNameCap);
    if (r == NameConversion::TooLong) {
        e.Log("/r/n MultibyteToUTF8 ERROR /r/n");
    }
    if (r != NameConversion::Ok || static_cast<size_t>(nLength) >= nLimit) {
        // An unconvertible name is refused like a long one: never sent half-converted.
        e.Log(platform::Format(tooLongFmt, m_szEntryName.c_str()));
        e.m_nState = IDLE;
        m_bEntryRefused = true;
        return false;
    }
    return true;
}

bool CMfxPackage::NextDirectoryEntry() {
    m_bEntryRefused = false;
    size_t pos = Find(kDirKey, static_cast<size_t>(m_nCfgCursor));
    if (pos == std::string::npos) {
        m_nCfgCursor = 0;
        return false;
    }
    pos += std::strlen(kDirKey);
    m_szEntryName = ValueToCr(pos);
    m_nCfgCursor = static_cast<int32_t>(pos);
    if (!ConvertEntry("Directory name is too long\"%s\"... ", kDirNameLimit)) {
        return true;
    }
    m_engine.Log(platform::Format("Creating a directory \"%s\"... ", m_szEntryName.c_str()));
    return true;
}

bool CMfxPackage::NextFileEntry() {
    m_bEntryRefused = false;
    size_t pos = Find(kFileKey, static_cast<size_t>(m_nCfgCursor));
    if (pos == std::string::npos) {
        m_nCfgCursor = 0;
        return false;
    }
    pos += std::strlen(kFileKey);
    m_szEntryName = ValueToCr(pos);
    m_nCfgCursor = static_cast<int32_t>(pos);
    if (!ConvertEntry("File name is too long\"%s\"... ", kFileNameLimit)) {
        return false;
    }
    size_t size = Find(kSizeKey, pos);
    if (size == std::string::npos) {
        // A file without its size cannot be sent; say so instead of guessing.
        m_engine.Log(platform::Format("No FILE_SIZE for \"%s\"... ", m_szEntryName.c_str()));
        m_engine.m_nState = IDLE;
        m_bEntryRefused = true;
        return false;
    }
    size += std::strlen(kSizeKey);
    const std::string value = ValueToCr(size);
    m_nCfgCursor = static_cast<int32_t>(size);
    const long long nSize = std::strtoll(value.c_str(), nullptr, 10);
    if (nSize < 0 || nSize > INT32_MAX) {
        m_engine.Log(platform::Format("Bad FILE_SIZE for \"%s\"... ", m_szEntryName.c_str()));
        m_engine.m_nState = IDLE;
        m_bEntryRefused = true;
        return false;
    }
    m_nEntryFileSize = static_cast<int32_t>(nSize);
    m_engine.Log(platform::Format("Writing a file \"%s\" (%d bytes)... ", m_szEntryName.c_str(),
                                  m_nEntryFileSize));
    return true;
}

}  // namespace oriel
