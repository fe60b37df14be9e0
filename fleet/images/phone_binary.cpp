#include "fleet/images/phone_binary.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "platform/diag_log.h"
#include "platform/format.h"
#include "platform/prompts.h"

namespace fleet {

void PhoneBinaryFile::Tell(const std::string& text) {
    if (m_pPrompts != nullptr) {
        m_pPrompts->MessageBox(text, platform::MsgButtons::Ok, platform::MsgIcon::Information);
    } else {
        platform::Diag("images", text);
    }
}

int PhoneBinaryFile::Attach(const std::string& strPath, int nMode) {
    Release();
    m_strPath = strPath;
    if (!m_file.Open(strPath)) {
        Tell(platform::Format(" Fail to read from %s", strPath.c_str()) +
             "\n Please Check bin_file !");
        return 0;
    }
    const int64_t length = m_file.Length();
    // The size is a 32-bit field, rounded up in mode 1: a length that does
    // not fit after rounding cannot be described and is refused.
    constexpr int64_t kLargest = 0xFFFFFFFFLL - (kPhoneBlockSize - 1);
    if (length < 0 || length > kLargest) {
        m_file.Close();
        Tell(platform::Format(" Fail to get file info from %s", strPath.c_str()) +
             "\n Please Check bin_file !");
        return 0;
    }
    uint64_t size = static_cast<uint64_t>(length);
    if (nMode == kModeBlocks) {
        size = (size + kPhoneBlockSize - 1) / kPhoneBlockSize * kPhoneBlockSize;
    }
    m_nSize = static_cast<uint32_t>(size);
    return 1;
}

int PhoneBinaryFile::Load(uint32_t nBase, int nType) {
    m_records.reset();
    m_nRecords = 0;
    m_bLoaded = false;
    if (!m_file.IsOpen() || nBase > m_nSize) {
        return 0;
    }
    const uint32_t span = (nType == 1 || nType == 3) ? m_nSize - nBase : m_nSize;
    const size_t count = span / kPhoneBlockSize + (m_nSize % kPhoneBlockSize != 0 ? 1 : 0);
    if (count > 0) {
        m_records.reset(new (std::nothrow) PhoneWriteRecord[count]);
        if (!m_records) {
            platform::Diag("images", "no memory for the phone image records");
            return 0;
        }
    }
    const int64_t fileLength = m_file.Length();
    for (size_t i = 0; i < count; ++i) {
        uint8_t* rec = m_records[i].bytes;
        std::memset(rec, 0, kPhoneRecordHeaderSize);
        std::memset(rec + kPhoneRecordHeaderSize, 0xFF, kPhoneBlockSize);
        rec[5] = static_cast<uint8_t>(kPhoneBlockSize & 0xFF);
        rec[6] = static_cast<uint8_t>(kPhoneBlockSize >> 8);
        const int64_t at = static_cast<int64_t>(nBase) + static_cast<int64_t>(i * kPhoneBlockSize);
        if (at >= fileLength) {
            continue;  // past the file: padding only
        }
        // Bytes that should be there but cannot be read must not go out as
        // padding: that would flash a silently damaged image.
        const size_t expected =
            static_cast<size_t>(std::min<int64_t>(kPhoneBlockSize, fileLength - at));
        if (m_file.Seek(at) != at ||
            m_file.Read(rec + kPhoneRecordHeaderSize, expected) != expected) {
            platform::Diag("images", "phone image read failed at offset " + std::to_string(at));
            m_records.reset();
            return 0;
        }
    }
    m_nRecords = count;
    m_bLoaded = true;
    return 1;
}

const PhoneWriteRecord* PhoneBinaryFile::GetRecord(size_t i) const {
    if (!m_bLoaded || i >= m_nRecords) {
        return nullptr;
    }
    return &m_records[i];
}

void PhoneBinaryFile::Release() {
    m_records.reset();
    m_nRecords = 0;
    m_bLoaded = false;
    m_nSize = 0;
    m_file.Close();
}

}  // namespace fleet
