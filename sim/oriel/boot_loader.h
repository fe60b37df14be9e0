#pragma once
// The boot-loader running in RAM: CS0 base and flash ID, then the NOR
// commands (download with CRC check, sector erase, 8 KB dumps), the NAND file
// system's commands (CMfxService) and the power-on that ends it.

#include <array>
#include <cstdint>
#include <optional>

#include "sim/oriel/handset_context.h"
#include "sim/oriel/mfx_service.h"

namespace orielsim {

class CBootLoader {
  public:
    static constexpr uint32_t kCs0Base = 0x10000000;
    static constexpr size_t kChunkSize = 2048;
    static constexpr size_t kDumpBlock = 8192;
    static constexpr uint8_t kChunkAck = 0x06;

    explicit CBootLoader(CHandsetContext& ctx);

    void Start(int nRateIndex);

    enum class Result { Stay, Release };
    Result OnByte(uint8_t b);

  private:
    enum class State { Commands, SectorData };

    Result OnCommand(uint8_t b);
    void OnArgument(uint8_t cmd, uint32_t value);
    void Sync();
    void BeginSector(uint8_t cmd, uint32_t offset);
    size_t ChunkLength() const;
    void OnChunk();
    void EndDownload();
    void Erase(uint32_t offset);
    void Dump(uint32_t offset);
    bool NorMapped() const { return m_cs0 && *m_cs0 == kCs0Base; }

    CHandsetContext& m_ctx;
    CMfxService m_mfx;
    State m_state = State::Commands;
    int m_nRate = 0;
    CArgCollector m_args;
    std::optional<uint32_t> m_cs0;

    // The download in progress (0xC8, 0xD3, 0xD4, sectors, 0xC6).
    std::optional<uint32_t> m_crcAnnounced;
    uint32_t m_nCrc = 0;
    uint32_t m_nWritten = 0;               // bytes programmed since 0xC8
    std::optional<uint32_t> m_length;      // announced by 0xD4
    uint32_t m_nRemaining = 0;             // of the announced length
    std::optional<uint32_t> m_nextSector;  // where the next sector must start

    // The sector being written.
    int m_nSector = -1;
    bool m_bSectorBad = false;
    uint32_t m_nSectorStart = 0;
    uint32_t m_nSectorSize = 0;
    uint32_t m_nSectorFilled = 0;
    uint8_t m_bySectorSum = 0;
    int m_nChunk = 0;  // chunk index within the sector
    std::array<uint8_t, kChunkSize> m_chunk{};
    size_t m_nChunkHave = 0;
    size_t m_nChunkWant = 0;

    int m_nDumps = 0;
};

}  // namespace orielsim
