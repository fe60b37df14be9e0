#pragma once
// The phone binary in memory, cut into the 1031-byte records the phone phase
// sends: 5 bytes the protocol fills, the block length 1024 (u16 LE), then 1024
// file bytes, a short last block padded with 0xFF.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fleet/images/image_file.h"

namespace platform {
class IPrompts;
}  // namespace platform

namespace fleet {

constexpr size_t kPhoneBlockSize = 1024;
constexpr size_t kPhoneRecordHeaderSize = 7;
constexpr size_t kPhoneRecordSize = kPhoneRecordHeaderSize + kPhoneBlockSize;  // 1031

struct PhoneWriteRecord {
    uint8_t bytes[kPhoneRecordSize];
    const uint8_t* Data() const { return bytes + kPhoneRecordHeaderSize; }
};
static_assert(sizeof(PhoneWriteRecord) == kPhoneRecordSize);

class PhoneBinaryFile {
  public:
    // Mode 0: size = file length; mode 1: rounded up to a multiple of 1024.
    enum { kModeExact = 0, kModeBlocks = 1 };

    explicit PhoneBinaryFile(platform::IPrompts* pPrompts = nullptr) : m_pPrompts(pPrompts) {}
    PhoneBinaryFile(const PhoneBinaryFile&) = delete;
    PhoneBinaryFile& operator=(const PhoneBinaryFile&) = delete;
    void SetPrompts(platform::IPrompts* pPrompts) { m_pPrompts = pPrompts; }

    // 1 when the file is open and its size known; 0 after telling the operator why.
    int Attach(const std::string& strPath, int nMode);
    // Builds the records from file offset nBase on (types 1 and 3 count them
    // from nBase to the size, others from the whole size). 1 on success; 0
    // when nothing is attached, nBase lies past the size, or memory runs out.
    int Load(uint32_t nBase, int nType);
    // The i-th record, or nullptr past the last one or before Load.
    const PhoneWriteRecord* GetRecord(size_t i) const;
    // Frees the records and closes the file.
    void Release();

    bool IsLoaded() const { return m_bLoaded; }
    uint32_t Size() const { return m_nSize; }
    size_t RecordCount() const { return m_nRecords; }
    const std::string& Path() const { return m_strPath; }

  private:
    void Tell(const std::string& text);

    platform::IPrompts* m_pPrompts;
    CImageFile m_file;
    std::string m_strPath;
    uint32_t m_nSize = 0;
    bool m_bLoaded = false;
    std::unique_ptr<PhoneWriteRecord[]> m_records;
    size_t m_nRecords = 0;
};

}  // namespace fleet
