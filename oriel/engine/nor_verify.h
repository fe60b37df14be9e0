#pragma once
// Reading written NOR ranges back and comparing them with their images, byte
// for byte. It asks for the range with the dump's own requests (8 KB blocks,
// each with its sum), so the handset sees nothing new on the wire; only the
// bytes an image covers are compared. The first differing address is
// reported; a difference or a bad block sum ends it.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "oriel/engine/downloader_engine.h"
#include "oriel/engine/nor_dump.h"

namespace oriel {

struct VerifyItem {
    std::string strPath;
    uint32_t nOffset = 0;  // NOR offset the image starts at (from the flash base)
};

class CNorVerify {
  public:
    using Action = std::function<void()>;

    explicit CNorVerify(CDownloaderEngine& engine);

    // Stop of the console (power-on after a passed verification ends the connection).
    void SetStopAction(Action stop) { m_fnStop = std::move(stop); }

    // Checks the images in turn; bPowerOnAfter: send the power-on byte and
    // Stop once all matched. False, after its message, when it cannot start.
    bool Start(std::vector<VerifyItem> items, bool bPowerOnAfter = false);

    // The images of the verification under way (or the last one).
    const std::vector<VerifyItem>& Items() const { return m_items; }
    // The outcome of the last verification.
    bool m_bMatched = false;
    bool m_bDiffers = false;
    uint32_t m_nFirstDiff = 0;  // bus address
    int64_t m_nCheckedBytes = 0;

  private:
    bool OpenItem();
    void OnSync();
    void OnBlock();
    void RequestNext();
    void Fail(const std::string& log, const std::string& message);

    CDownloaderEngine& m_engine;
    Action m_fnStop;
    std::vector<VerifyItem> m_items;
    size_t m_nItem = 0;
    bool m_bPowerOnAfter = false;
    int64_t m_nItemSize = 0;
    int64_t m_nItemDone = 0;
    int64_t m_nTotalBytes = 0;
    DumpBlock m_abBlock{};
    std::vector<uint8_t> m_abImage;
};

}  // namespace oriel
