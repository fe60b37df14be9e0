#include "sim/oriel/boot_loader.h"

#include <algorithm>
#include <vector>

#include "sim/oriel/nor_flash.h"
#include "sim/oriel/sim_checksums.h"

namespace orielsim {

namespace {

constexpr uint8_t kCmdCs0 = 0xD0;
constexpr uint8_t kCmdFlashId = 0xD1;
constexpr uint8_t kCmdSync = 0xD9;
constexpr uint8_t kCmdCrc = 0xC8;
constexpr uint8_t kCmdOffset = 0xD3;
constexpr uint8_t kCmdLength = 0xD4;
constexpr uint8_t kCmdEnd = 0xC6;
constexpr uint8_t kCmdErase = 0xD5;
constexpr uint8_t kCmdDump = 0xD8;
constexpr uint8_t kCmdPowerOn = 0xFD;

constexpr uint32_t kRates[4] = {115200, 230400, 460800, 921600};

// Sector-write commands and the sector size each one writes.
uint32_t SectorCommandSize(uint8_t cmd) {
    switch (cmd) {
        case 0xC7:
            return 0x20000;
        case 0xFA:
            return 0x10000;
        case 0xCC:
            return 0x8000;
        case 0xFB:
            return 0x4000;
        case 0xFC:
            return 0x2000;
        default:
            return 0;
    }
}

}  // namespace

CBootLoader::CBootLoader(CHandsetContext& ctx) : m_ctx(ctx), m_mfx(ctx) {}

void CBootLoader::Start(int nRateIndex) {
    m_state = State::Commands;
    m_nRate = nRateIndex;
    m_args.Cancel();
    m_cs0.reset();
    m_crcAnnounced.reset();
    m_nCrc = 0;
    m_nWritten = 0;
    m_length.reset();
    m_nRemaining = 0;
    m_nextSector.reset();
    m_nSector = -1;
    m_nDumps = 0;
    m_mfx.Reset();
}

CBootLoader::Result CBootLoader::OnByte(uint8_t b) {
    if (m_state == State::SectorData) {
        m_chunk[m_nChunkHave++] = b;
        if (m_nChunkHave == m_nChunkWant) {
            OnChunk();
        }
        return Result::Stay;
    }
    if (m_args.Active()) {
        if (m_args.Add(b)) {
            OnArgument(m_args.Command(), BigEndian32(m_args.Bytes()));
        }
        return Result::Stay;
    }
    if (m_mfx.OnByte(b)) {
        return Result::Stay;
    }
    return OnCommand(b);
}

CBootLoader::Result CBootLoader::OnCommand(uint8_t b) {
    switch (b) {
        case kCmdCs0:
        case kCmdCrc:
        case kCmdOffset:
        case kCmdLength:
        case kCmdErase:
        case kCmdDump:
            m_args.Begin(b, 4);
            return Result::Stay;
        case kCmdFlashId: {
            m_ctx.Record(HandsetStage::BootLoader, b);
            // Without the chip select the bus reads back all ones.
            std::vector<uint8_t> id(8, 0xFF);
            if (NorMapped()) {
                id.assign(m_ctx.Options().flashId.begin(), m_ctx.Options().flashId.end());
            } else {
                m_ctx.Notice("boot-loader: flash ID read with CS0 not at 0x10000000");
            }
            m_ctx.AnswerBytes(Step::FlashIdReply, 0, std::move(id), 7);
            return Result::Stay;
        }
        case kCmdSync:
            m_ctx.Record(HandsetStage::BootLoader, b);
            Sync();
            return Result::Stay;
        case kCmdEnd:
            m_ctx.Record(HandsetStage::BootLoader, b);
            EndDownload();
            return Result::Stay;
        case kCmdPowerOn:
            m_ctx.Record(HandsetStage::BootLoader, b);
            m_ctx.Notice("boot-loader: power on; loaders gone until the next power-on");
            return Result::Release;
        default:
            if (SectorCommandSize(b) != 0) {
                m_args.Begin(b, 4);
            } else {
                m_ctx.Notice("boot-loader: unknown command " + Hex8(b) + " ignored");
            }
            return Result::Stay;
    }
}

void CBootLoader::OnArgument(uint8_t cmd, uint32_t value) {
    m_ctx.Record(HandsetStage::BootLoader, cmd, value);
    const uint8_t bySum = Sum8OfWord(value);
    switch (cmd) {
        case kCmdCs0:
            m_cs0 = value;
            if (value != kCs0Base) {
                m_ctx.Notice("boot-loader: CS0 base " + Hex32(value) + "; the NOR is not mapped");
            }
            m_ctx.Answer(Step::Cs0Sum, 0, bySum);
            return;
        case kCmdCrc:
            // A new download: its CRC covers everything written from here on.
            m_crcAnnounced = value;
            m_ctx.Rec().lastCrcAnnounced = value;
            m_nCrc = 0;
            m_nWritten = 0;
            m_length.reset();
            m_nextSector.reset();
            m_ctx.Answer(Step::CrcSum, 0, bySum);
            return;
        case kCmdOffset:
            m_nextSector = value;
            m_ctx.Answer(Step::OffsetSum, 0, bySum);
            return;
        case kCmdLength:
            m_length = value;
            m_nRemaining = value;
            m_ctx.Answer(Step::NorLengthSum, 0, bySum);
            return;
        case kCmdErase:
            Erase(value);
            return;
        case kCmdDump:
            Dump(value);
            return;
        default:
            BeginSector(cmd, value);
            return;
    }
}

void CBootLoader::Sync() {
    const uint32_t nHost = m_ctx.Wire().HostBaud();
    const auto byIndex = static_cast<uint8_t>(m_nRate);
    if (nHost != kRates[m_nRate]) {
        m_ctx.Notice("boot-loader: 0xD9 at " + std::to_string(nHost) + " baud, line at " +
                     std::to_string(kRates[m_nRate]) + "; the byte arrives garbled");
        m_ctx.SendRaw(Spoil(byIndex));
        return;
    }
    m_ctx.Answer(Step::Sync, 0, byIndex);
}

void CBootLoader::BeginSector(uint8_t cmd, uint32_t offset) {
    const uint32_t nCmdSize = SectorCommandSize(cmd);
    const int index = NorSectorAt(offset);
    std::string why;
    if (!NorMapped()) {
        why = "CS0 not at 0x10000000";
    } else if (index < 0) {
        why = "offset " + Hex32(offset) + " is not a sector start";
    } else if (NorSectorSize(index) != nCmdSize) {
        why = "command " + Hex8(cmd) + " writes " + std::to_string(nCmdSize / 1024) +
              " KB but sector " + std::to_string(index) + " has " +
              std::to_string(NorSectorSize(index) / 1024) + " KB";
    } else if (m_nextSector && *m_nextSector != offset) {
        why = "sector at " + Hex32(offset) + " where " + Hex32(*m_nextSector) + " was next";
    } else if (m_length && m_nRemaining == 0) {
        why = "the announced length is already written";
    }
    m_bSectorBad = !why.empty();
    m_nSector = index;
    m_nSectorStart = offset;
    m_nSectorSize = nCmdSize;
    m_nSectorFilled = 0;
    m_bySectorSum = 0;
    m_nChunk = 0;
    m_nChunkHave = 0;
    if (m_bSectorBad) {
        // The data still comes; it is taken and dropped, and the sector is
        // answered with a wrong sum.
        m_ctx.Notice("boot-loader: sector write refused: " + why);
    } else {
        m_ctx.Nor().EraseSector(index);
        m_nextSector = offset + nCmdSize;
    }
    m_nChunkWant = ChunkLength();
    m_state = State::SectorData;
}

size_t CBootLoader::ChunkLength() const {
    size_t n = std::min<size_t>(kChunkSize, m_nSectorSize - m_nSectorFilled);
    if (m_length && m_nRemaining > 0) {
        n = std::min<size_t>(n, m_nRemaining);
    }
    return n;
}

void CBootLoader::OnChunk() {
    const size_t n = m_nChunkHave;
    if (!m_bSectorBad) {
        m_ctx.Nor().Program(m_nSectorStart + m_nSectorFilled, m_chunk.data(), n);
        m_nCrc = Crc32Update(m_nCrc, m_chunk.data(), n);
        m_nWritten += static_cast<uint32_t>(n);
    }
    m_bySectorSum = Sum8(m_chunk.data(), n, m_bySectorSum);
    m_nSectorFilled += static_cast<uint32_t>(n);
    if (m_length) {
        m_nRemaining -= std::min<uint32_t>(m_nRemaining, static_cast<uint32_t>(n));
    }
    m_nChunkHave = 0;
    const int chunk = m_nChunk++;
    const bool bSectorDone = m_nSectorFilled == m_nSectorSize || (m_length && m_nRemaining == 0);
    m_ctx.Answer(Step::ChunkAck, chunk, kChunkAck);
    if (!bSectorDone) {
        m_nChunkWant = ChunkLength();
        return;
    }
    m_state = State::Commands;
    if (m_bSectorBad) {
        m_ctx.SendRaw(Spoil(m_bySectorSum));
        return;
    }
    m_ctx.Answer(Step::SectorSum, m_nSector, m_bySectorSum);
}

void CBootLoader::EndDownload() {
    m_ctx.Rec().lastCrcComputed = m_nCrc;
    std::string why;
    if (!m_crcAnnounced) {
        why = "no CRC announced";
    } else if (m_length && m_nWritten != *m_length) {
        why = std::to_string(m_nWritten) + " bytes written, " + std::to_string(*m_length) +
              " announced";
    } else if (m_nCrc != *m_crcAnnounced) {
        why = "CRC-32 of the data " + Hex32(m_nCrc) + ", announced " + Hex32(*m_crcAnnounced);
    }
    m_crcAnnounced.reset();
    m_length.reset();
    m_nextSector.reset();
    // The end is acknowledged either way, as the device does; a mismatch is
    // the handset's own finding and goes to its log.
    if (!why.empty()) {
        m_ctx.Notice("boot-loader: download check FAILED: " + why);
    } else {
        m_ctx.Trace("boot-loader: download of " + std::to_string(m_nWritten) + " bytes verified");
    }
    m_ctx.Answer(Step::DownloadEnd, 0, kCmdEnd);
}

void CBootLoader::Erase(uint32_t offset) {
    const uint8_t bySum = Sum8OfWord(offset);
    const int index = NorSectorAt(offset);
    if (!NorMapped() || index < 0) {
        m_ctx.Notice("boot-loader: erase at " + Hex32(offset) +
                     " refused: " + (NorMapped() ? "not a sector start" : "CS0 not at 0x10000000"));
        m_ctx.SendRaw(Spoil(bySum));
        return;
    }
    m_ctx.Nor().EraseSector(index);
    m_ctx.Answer(Step::EraseSum, index, bySum);
}

void CBootLoader::Dump(uint32_t offset) {
    const int index = m_nDumps++;
    std::vector<uint8_t> block;
    bool bOk = NorMapped() && offset <= kNorSize - kDumpBlock;
    if (bOk) {
        block = m_ctx.Nor().Read(offset, kDumpBlock);
    } else {
        // Still a whole block, so the host is not left waiting for it; the
        // check byte tells it the block is bad.
        m_ctx.Notice("boot-loader: dump at " + Hex32(offset) + " refused: " +
                     (NorMapped() ? "past the end of the flash" : "CS0 not at 0x10000000"));
        block.assign(kDumpBlock, 0xFF);
    }
    const uint8_t bySum = Sum8(block.data(), block.size());
    block.push_back(bOk ? bySum : Spoil(bySum));
    if (!bOk) {
        m_ctx.SendRaw(block.data(), block.size());
        return;
    }
    m_ctx.AnswerBytes(Step::DumpSum, index, std::move(block), kDumpBlock);
}

}  // namespace orielsim
