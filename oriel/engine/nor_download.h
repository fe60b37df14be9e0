#pragma once
// Writing a binary image into NOR flash through the boot-loader: CRC-32 of the
// file, write offset, length, then sector by sector (sector command, 2048-byte
// chunks each acknowledged, the sector's data sum), and the end command. One
// image per download; All Download chains the three images of tab "Tamarin2".

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "oriel/engine/downloader_engine.h"
#include "oriel/engine/nor_verify.h"

namespace oriel {

constexpr int32_t kTabTamarin2 = 0;
constexpr int32_t kTabAlder2 = 1;

// Download targets: the three image rows of the console.
constexpr int32_t kTargetBootLoader = 1;
constexpr int32_t kTargetMainBinary = 2;
constexpr int32_t kTargetBpEngine = 3;

// FileChecks mask bits: the file that cannot be opened.
constexpr int32_t kMissingBinPath1 = 1;
constexpr int32_t kMissingBinPath2 = 2;
constexpr int32_t kMissingBinPath3 = 4;
constexpr int32_t kMissingBinPath4 = 8;

// What the console's controls hold, as the download reads them.
struct NorDownloadControls {
    int32_t nTab = kTabAlder2;
    std::array<std::string, 5> astrBinPath{};  // [1]..[4] = "BinPath1".."BinPath4"
    // "Start NOR Addr(hex):" of targets 1..3: editing switched on, and the text.
    std::array<bool, 4> abAddrEnabled{};
    std::array<std::string, 4> astrAddr{"", "10000000", "10020000", "10B00000"};
    bool bPowerOn = false;  // "Power ON after download"
    bool bVerify = false;   // "Verify after download": read the images back and compare
};

// The mask of image files that cannot be opened (no displays touched).
int32_t FileChecks(const NorDownloadControls& controls);

// An image that cannot be written whole: empty, or longer than the NOR from
// the start address to its end. Checked before anything is sent, so the
// handset is never erased for an empty file nor written over its end. nBusAddr
// is the start address as the operator gives it (0x10020000). An address
// outside the NOR is left to the address checks. False with the reason.
bool ImageFits(const std::string& strPath, uint32_t nBusAddr, std::string& error);

class CNorDownload {
  public:
    using Action = std::function<void()>;

    explicit CNorDownload(CDownloaderEngine& engine);

    NorDownloadControls m_controls;

    // Stop of the console (power-on after download ends the connection).
    void SetStopAction(Action stop) { m_fnStop = std::move(stop); }
    // The console's FileChecks, which also refreshes its size and CRC boxes.
    void SetFileChecks(std::function<int32_t()> fn) { m_fnFileChecks = std::move(fn); }
    // The MFX download that follows a binary in OP_BIN_THEN_MFX.
    void SetMfxFollowUp(Action start) { m_fnMfxFollowUp = std::move(start); }
    // The verification that follows a completed download when bVerify is set:
    // the images written, and whether the handset is to be powered on after.
    using VerifyAction = std::function<void(std::vector<VerifyItem> items, bool bPowerOn)>;
    void SetVerifyAction(VerifyAction verify) { m_fnVerify = std::move(verify); }

    // The DOWNLOAD buttons and All Download. False when nothing was started.
    bool DownloadBootLoader();
    bool DownloadMainBinary();
    bool DownloadBpEngine();
    bool DownloadAll();
    // A binary download that the MFX download then follows (OP_BIN_THEN_MFX).
    bool DownloadBinThenMfx(int32_t nTarget);

    // START and Stop of the connection.
    void OnStart();
    void OnStop() { m_bDownloadAll = 0; }

    int32_t m_nDownloadTarget = 0;
    int32_t m_bDownloadAll = 0;
    std::string m_strPath;
    uint32_t m_nNorOffset = 0;
    uint32_t m_nStartOffset = 0;
    int32_t m_nCurSector = 0;
    uint32_t m_nRemaining = 0;
    int32_t m_nFileSize = 0;
    int32_t m_bLastChunk = 0;
    int32_t m_nChunkCount = 0;
    int32_t m_nChunksPerSector = 0;

  private:
    bool StartDownload(int32_t nTarget, int32_t nOperation);
    // ImageFits for a target's file at the address its row gives; says why not.
    bool TargetFits(int32_t nTarget);
    void OnSync();
    void OnCrcSum(uint8_t by);
    void OnOffsetSum(uint8_t by);
    void OnLengthSum(uint8_t by);
    void OnChunkAck(uint8_t by);
    void OnSectorSum(uint8_t by);
    void OnDownloadEnd(uint8_t by);
    void StartSector(uint32_t offset);
    void SendChunk();
    void Complete();
    std::string TargetPath(int32_t nTarget) const;

    CDownloaderEngine& m_engine;
    Action m_fnStop;
    Action m_fnMfxFollowUp;
    VerifyAction m_fnVerify;
    std::vector<VerifyItem> m_written;  // this download's images (All Download: all three)
    std::function<int32_t()> m_fnFileChecks;
    std::array<uint8_t, 2048> m_abChunk{};
};

}  // namespace oriel
