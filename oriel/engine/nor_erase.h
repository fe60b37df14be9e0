#pragma once
// Erasing the selected NOR sectors, one erase command per sector in ascending
// order, each answered by the sum of its offset bytes.

#include <cstdint>

#include "oriel/engine/downloader_engine.h"

namespace oriel {

class CNorErase {
  public:
    explicit CNorErase(CDownloaderEngine& engine);

    // "Erase...": asks for the sectors, then starts. False when nothing started.
    bool StartErase();
    // The same with the selection already in g_abSectorSelected (command line).
    bool StartSelected();

    int32_t m_nCurSector = 0;
    int32_t m_nEraseCount = 0;

  private:
    void OnSync();
    void OnEraseSum(uint8_t by);
    void SendErase();

    CDownloaderEngine& m_engine;
};

// Asks the operator for sectors through the prompts into g_abSectorSelected
// (cleared first). False when the dialog was not closed with START.
bool ChooseSectors(platform::IPrompts& prompts);

}  // namespace oriel
