#pragma once
// Reading the selected NOR sectors back into a file: one 8 KB request at a
// time, each answered by 8192 data bytes and their sum, taken whole from the
// receive ring in block mode.

#include <array>
#include <cstdint>
#include <string>

#include "oriel/engine/downloader_engine.h"

namespace oriel {

constexpr int32_t kDumpBlockBytes = 8192;
using DumpBlock = std::array<uint8_t, kDumpBlockBytes>;

// Block mode on, then D8 and the block's offset: the boot-loader answers with
// 8192 bytes and their sum.
void RequestDumpBlock(CDownloaderEngine& engine, uint32_t offset);
// The answer, taken whole from the ring, block mode off. False (nothing
// taken) while less than a whole block is queued; bSumOk: the check byte matched.
bool TakeDumpBlock(CSerialPort& port, DumpBlock& block, bool& bSumOk);

class CNorDump {
  public:
    explicit CNorDump(CDownloaderEngine& engine);

    // "Dump...": asks for the sectors and the file, then starts.
    bool StartNorDump();
    // The same with the selection in g_abSectorSelected and a path given.
    bool StartSelected(const std::string& strPath);
    // Stop during a dump: the partial file is set aside as for a failure.
    void OnStop();
    // The same when the handset's port went away.
    void OnPortGone();

    void RequestDumpBlock(uint32_t offset);

    std::string m_strDumpPath;
    std::string m_strKeptPath;  // where a failed dump's blocks were left
    int32_t m_nDumpTotalKB = 0;
    int32_t m_nDumpDoneKB = 0;
    int32_t m_nBlockInSector = 0;
    int32_t m_nCurSector = 0;

  private:
    bool Begin();
    void OnSync();
    void OnBlock();
    void SetAsideIncomplete(const char* why);

    CDownloaderEngine& m_engine;
    DumpBlock m_abBlock{};
};

}  // namespace oriel
