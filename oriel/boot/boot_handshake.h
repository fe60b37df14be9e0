#pragma once
// The host side of the boot-ROM conversation: connect request, customer-ID
// exchange, pre-loader into SCRAM word by word, the second boot of Mode
// "Normal", the rate change with its port re-open, the boot-loader in 2048-byte
// blocks and the flash ID. Fed one byte at a time by the engine while the
// flash is not identified; runs on the UI thread only.

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "oriel/engine/downloader_engine.h"

namespace oriel {

// The dialog's choices the handshake reads at START.
struct HandshakeSettings {
    int32_t nComIndex = 0;    // port number = index + 1
    int32_t nSpeedIndex = 0;  // into kBaudTable
    int32_t nMode = 0;        // kModeNormal or kModeTat
    int32_t bFast = 1;        // "Fast DownLoad"
    int32_t bAuto = 0;        // "Auto DownLoad"
};

constexpr int32_t kModeNormal = 0;
constexpr int32_t kModeTat = 1;
constexpr std::array<uint32_t, 4> kBaudTable{115200, 230400, 460800, 921600};

constexpr uint32_t kBaudTimerId = 1;
constexpr uint32_t kBaudTimerMs = 500;

// The NOR flash parts the boot-loader can drive.
struct FlashPart {
    const char* pszName;
    uint16_t nManufacturer;
    uint16_t nDevId1;
    uint16_t nDevId2;
    uint16_t nDevId3;
};
// The chip name for an 8-byte flash ID, or nullptr when no part matches.
const char* IdentifyFlash(const std::array<uint8_t, 8>& id);

class CBootHandshake : public IHandshake {
  public:
    using Action = std::function<void()>;

    explicit CBootHandshake(CDownloaderEngine& engine);

    // The console's Stop (unknown flash, failed rate change).
    void SetStopAction(Action stop) { m_fnStop = std::move(stop); }
    // "Auto DownLoad": the All Download entry, started once the flash is known.
    void SetAllDownloadAction(Action start) { m_fnAllDownload = std::move(start); }

    // START, after the port is open at 115200 8E1.
    void Start(const HandshakeSettings& settings);
    void HandshakeByte(uint8_t by) override;
    void BaudTimer();

    int32_t BootRetry() const { return m_nBootRetry; }
    const std::string& ChipName() const { return m_strChipName; }
    bool HasAllDownloadAction() const { return static_cast<bool>(m_fnAllDownload); }

  private:
    void Fail(const char* fmt, uint8_t by);
    void SendPreloaderWord();
    void OnPreloaderReady();
    void StartBootLoaderDownload(uint8_t by);
    void SendBootLoaderBlock();
    void OnFlashId();

    CDownloaderEngine& m_engine;
    Action m_fnStop;
    Action m_fnAllDownload;
    HandshakeSettings m_settings;

    std::array<uint8_t, 16> m_abChallenge{};
    int32_t m_nChallenge = 0;
    int32_t m_nPreloaderWord = 0;
    int32_t m_nBootRetry = 0;

    const uint8_t* m_pBootLoader = nullptr;
    int32_t m_nBootSize = 0;
    uint32_t m_nBootRemaining = 0;
    uint32_t m_nBootPosition = 0;
    int32_t m_nBootProgress = 0;

    std::array<uint8_t, 8> m_abFlashId{};
    int32_t m_nFlashId = 0;
    std::string m_strChipName;
};

}  // namespace oriel
