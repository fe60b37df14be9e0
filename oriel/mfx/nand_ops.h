#pragma once
// Formatting the NAND flash and reading the file system's statistics.

#include <cstdint>
#include <string>
#include <vector>

#include "oriel/engine/downloader_engine.h"

namespace oriel {

// The 11 lines of a 44-byte status record (little-endian fields).
std::string FormatNandStatus(const uint8_t* pRecord);
// "Funccode(0x%x)->Errorcode (0x%x)" values of a 5-byte error reply.
std::string FormatNandError(const char* fmt, const uint8_t* pReply);

class CNandOps {
  public:
    explicit CNandOps(CDownloaderEngine& engine);

    // "Format": asks first; false when nothing was started.
    bool StartFormat();
    // "Status": no confirmation.
    bool StartStatus();

  private:
    void OnFormatResult(uint8_t by);
    void OnFormatError(uint8_t by);
    void OnStatusResult(uint8_t by);
    void OnStatusData(uint8_t by);
    void OnStatusError(uint8_t by);

    CDownloaderEngine& m_engine;
};

}  // namespace oriel
