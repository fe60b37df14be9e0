#pragma once
// Writing an MFX package into the handset's NAND file system: mount, package
// CRC, the PC's clock, directories, versions, files in 8192-byte chunks,
// writing complete, unmount.

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>

#include "oriel/engine/downloader_engine.h"
#include "oriel/mfx/mfx_package.h"

namespace oriel {

// The 28-byte time record for a local time, and the sum the handset answers.
std::array<uint8_t, 28> MfxTimeRecord(const std::tm& local);
uint8_t MfxTimeRecordSum(const std::array<uint8_t, 28>& record);

class CMfxDownload {
  public:
    using Action = std::function<void()>;

    CMfxDownload(CDownloaderEngine& engine, CMfxPackage& package);

    void SetStopAction(Action stop) { m_fnStop = std::move(stop); }
    // "Power ON after download", read when the download completes.
    void SetPowerOnQuery(std::function<bool()> query) { m_fnPowerOn = std::move(query); }

    // The MFX download on its own (OP_MFX_DOWNLOAD).
    bool StartMfxDownload();
    // Called when a binary download hands over to this one (OP_BIN_THEN_MFX):
    // its size counts in the final total.
    void FollowBinary(int32_t nBinaryBytes) { m_nBinaryBytes = nBinaryBytes; }

    int32_t m_nFileRemaining = 0;
    int32_t m_bLastMfxChunk = 0;
    int32_t m_nMfxSent = 0;

  private:
    void OnSync();
    void OnMountAck(uint8_t by);
    void OnCrcSum(uint8_t by);
    void OnTimeSum(uint8_t by);
    void OnNameSum(uint8_t by);
    void OnNameAck(uint8_t by);
    void OnVersionAck(uint8_t by);
    void OnReleaseAck(uint8_t by);
    void OnFileHeaderSum(uint8_t by);
    void OnDataSum(uint8_t by);
    void OnLastDataSum(uint8_t by);
    void OnFileAck(uint8_t by);
    void OnCompleteAck(uint8_t by);
    void OnUnmountAck(uint8_t by);

    void SendDirectory();
    void StartVersions();
    void SendFileHeader();
    void SendDataChunk();
    void NextFileOrComplete();
    void WritingComplete();
    void Fail(const char* fmt, uint8_t by);

    CDownloaderEngine& m_engine;
    CMfxPackage& m_package;
    Action m_fnStop;
    std::function<bool()> m_fnPowerOn;
    int32_t m_nBinaryBytes = 0;
    std::array<uint8_t, 8192> m_abChunk{};
};

}  // namespace oriel
