#include "oriel/engine/nor_download.h"

#include <sys/stat.h>

#include "oriel/engine/checksum.h"
#include "oriel/engine/console_view.h"
#include "oriel/engine/crc32.h"
#include "oriel/engine/nor_sectors.h"
#include "platform/format.h"
#include "platform/prompts.h"

namespace oriel {

namespace {

constexpr uint8_t kCmdCrc = 0xC8;
constexpr uint8_t kCmdOffset = 0xD3;
constexpr uint8_t kCmdLength = 0xD4;
constexpr uint8_t kCmdEnd = 0xC6;
constexpr size_t kChunk = 2048;

const char* Heading(int32_t nTarget) {
    switch (nTarget) {
        case kTargetBootLoader:
            return "** Start Downloading Boot Loader file **\r\n";
        case kTargetMainBinary:
            return "** Start Downloading Main Binary file **\r\n";
        default:
            return "** Start Downloading BP Engine file **\r\n";
    }
}

bool CanRead(const std::string& path) {
    CFileObject f;
    return !path.empty() && f.Open(path, CFileObject::Mode::Read);
}

}  // namespace

int32_t FileChecks(const NorDownloadControls& c) {
    int32_t mask = 0;
    if (c.nTab == kTabTamarin2) {
        mask |= CanRead(c.astrBinPath[1]) ? 0 : kMissingBinPath1;
    } else {
        mask |= CanRead(c.astrBinPath[4]) ? 0 : kMissingBinPath4;
    }
    mask |= CanRead(c.astrBinPath[2]) ? 0 : kMissingBinPath2;
    mask |= CanRead(c.astrBinPath[3]) ? 0 : kMissingBinPath3;
    return mask;
}

CNorDownload::CNorDownload(CDownloaderEngine& engine) : m_engine(engine) {
    m_engine.RegisterSyncHandler(OP_NOR_DOWNLOAD, [this] { OnSync(); });
    m_engine.RegisterSyncHandler(OP_BIN_THEN_MFX, [this] { OnSync(); });
    m_engine.RegisterStateHandler(WAIT_CRC_SUM, [this](uint8_t by) { OnCrcSum(by); });
    m_engine.RegisterStateHandler(WAIT_OFFSET_SUM, [this](uint8_t by) { OnOffsetSum(by); });
    m_engine.RegisterStateHandler(WAIT_LENGTH_SUM, [this](uint8_t by) { OnLengthSum(by); });
    m_engine.RegisterStateHandler(WAIT_CHUNK_ACK, [this](uint8_t by) { OnChunkAck(by); });
    m_engine.RegisterStateHandler(WAIT_SECTOR_SUM, [this](uint8_t by) { OnSectorSum(by); });
    m_engine.RegisterStateHandler(WAIT_DOWNLOAD_END, [this](uint8_t by) { OnDownloadEnd(by); });
}

void CNorDownload::OnStart() {
    m_nNorOffset = 0;
    m_bLastChunk = 0;
}

std::string CNorDownload::TargetPath(int32_t nTarget) const {
    switch (nTarget) {
        case kTargetBootLoader:
            return m_controls.astrBinPath[m_controls.nTab == kTabTamarin2 ? 1 : 4];
        case kTargetMainBinary:
            return m_controls.astrBinPath[2];
        default:
            return m_controls.astrBinPath[3];
    }
}

bool CNorDownload::DownloadBootLoader() {
    return StartDownload(kTargetBootLoader, OP_NOR_DOWNLOAD);
}
bool CNorDownload::DownloadMainBinary() {
    return StartDownload(kTargetMainBinary, OP_NOR_DOWNLOAD);
}
bool CNorDownload::DownloadBpEngine() {
    return StartDownload(kTargetBpEngine, OP_NOR_DOWNLOAD);
}
bool CNorDownload::DownloadBinThenMfx(int32_t nTarget) {
    return StartDownload(nTarget, OP_BIN_THEN_MFX);
}

bool ImageFits(const std::string& strPath, uint32_t nBusAddr, std::string& error) {
    struct stat st {};
    if (stat(strPath.c_str(), &st) != 0) {
        return true;  // unreadable: the open reports it
    }
    const auto nSize = static_cast<uint64_t>(st.st_size);
    if (nSize == 0) {
        error = "The image file is empty! (" + strPath + ")";
        return false;
    }
    if (nBusAddr < kNorBusBase || nBusAddr >= kNorBusBase + kNorBytes) {
        return true;
    }
    const uint64_t nRoom = kNorBusBase + kNorBytes - nBusAddr;
    if (nSize > nRoom) {
        error = platform::Format(
            "The image does not fit in the NOR flash! (%s: %llu bytes from 0x%08X, %llu bytes to "
            "the end)",
            strPath.c_str(), static_cast<unsigned long long>(nSize), nBusAddr,
            static_cast<unsigned long long>(nRoom));
        return false;
    }
    return true;
}

bool CNorDownload::TargetFits(int32_t nTarget) {
    const auto row = static_cast<size_t>(nTarget);
    const uint32_t nAddr = ParseHexAddress(m_controls.astrAddr[row].substr(0, 16));
    std::string error;
    if (ImageFits(TargetPath(nTarget), nAddr, error)) {
        return true;
    }
    m_engine.m_nState = IDLE;
    m_engine.Message(error, platform::MsgIcon::Warning);
    return false;
}

bool CNorDownload::StartDownload(int32_t nTarget, int32_t nOperation) {
    m_strPath = TargetPath(nTarget);
    m_nDownloadTarget = nTarget;
    if (!CanRead(m_strPath)) {
        m_engine.m_nState = IDLE;
        m_engine.Message("Fail to open bin file!");
        return false;
    }
    // A chained file of All Download was checked with the first.
    if (m_bDownloadAll != 1) {
        if (!TargetFits(nTarget)) {
            return false;
        }
        m_written.clear();
    }
    m_engine.Console().SetProgressPos(0);
    if (m_bDownloadAll != 1) {
        m_engine.Console().ReplaceLog(" \r\n");
    }
    m_engine.Log(Heading(nTarget));
    m_nNorOffset = 0;
    m_bLastChunk = 0;
    m_engine.StartOperation(nOperation);
    return true;
}

bool CNorDownload::DownloadAll() {
    const int32_t mask = m_fnFileChecks ? m_fnFileChecks() : FileChecks(m_controls);
    const char* const kAllHeading = "\r\n##### Start Downloading All Binary files ##### \r\n\r\n";
    if (m_controls.nTab == kTabTamarin2) {
        if ((mask & (kMissingBinPath1 | kMissingBinPath2 | kMissingBinPath3)) == 0) {
            // All three are checked before the first is begun.
            for (const int32_t nTarget : {kTargetBootLoader, kTargetMainBinary, kTargetBpEngine}) {
                if (!TargetFits(nTarget)) {
                    return false;
                }
            }
            m_written.clear();
            m_bDownloadAll = 1;
            m_engine.Console().ReplaceLog(" \r\n");
            m_engine.Log(kAllHeading);
            return DownloadBootLoader();
        }
        std::string text =
            (mask & kMissingBinPath1) != 0 ? "Can't find Boot Loader file!\r\n" : " ";
        if ((mask & kMissingBinPath2) != 0) {
            text += "Can't find Main Binary file!\r\n";
        }
        if ((mask & kMissingBinPath3) != 0) {
            text += "Can't find BP Engine file!\r\n";
        }
        m_engine.Message(text, platform::MsgIcon::Information);
        return false;
    }
    if ((mask & kMissingBinPath4) == 0) {
        m_engine.Console().ReplaceLog(" \r\n");
        m_engine.Log(kAllHeading);
        return DownloadBootLoader();
    }
    m_engine.Message(" Can't find Main Binary file!\r\n", platform::MsgIcon::Information);
    return false;
}

void CNorDownload::OnSync() {
    CDownloaderEngine& e = m_engine;
    const size_t row = static_cast<size_t>(m_nDownloadTarget);
    const std::string text = m_controls.astrAddr[row].substr(0, 16);
    if (m_controls.abAddrEnabled[row]) {
        uint32_t offset = 0;
        int32_t sector = 0;
        if (!CheckNorAddress(e, text, offset, sector)) {
            return;
        }
        m_nNorOffset = m_nStartOffset = offset;
        m_nCurSector = sector;
    } else {
        m_nNorOffset = m_nStartOffset = ParseHexAddress(text) - kNorBusBase;
        m_nCurSector = FindSectorByOffset(m_nNorOffset);
    }
    // The CRC is taken before the command goes out, so a file that cannot be
    // read leaves no half-sent command behind.
    uint32_t crc = 0;
    if (!Crc32OfFile(m_strPath, crc)) {
        e.m_nState = IDLE;
        e.Message("Fail to open bin file!");
        return;
    }
    e.SendByte(kCmdCrc);
    e.m_nState = WAIT_CRC_SUM;
    e.Log(platform::Format("Sending Binary CheckSum:%x \n", crc));
    e.SendBe32(crc);
    e.m_byExpected = Sum8OfBe32(crc);
}

void CNorDownload::OnCrcSum(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != e.m_byExpected) {
        e.m_nState = IDLE;
        e.Log(platform::Format("\n Mount Fail! (0x%X)\r\n", by));
        return;
    }
    e.SendByte(kCmdOffset);
    e.Log(platform::Format("\r\nSend the offset of writing address (0x%08X)... ", m_nNorOffset));
    e.m_nState = WAIT_OFFSET_SUM;
    e.SendBe32(m_nNorOffset);
    e.m_byExpected = Sum8OfBe32(m_nNorOffset);
}

void CNorDownload::OnOffsetSum(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != e.m_byExpected) {
        e.m_nState = IDLE;
        e.Log("Fail!");
        e.FinishOperation();
        return;
    }
    e.Log("OK!\r\n");
    const int64_t length =
        e.m_fileBin.Open(m_strPath, CFileObject::Mode::Read) ? e.m_fileBin.Length() : -1;
    // The protocol carries a 32-bit length; larger files are not images for it.
    if (length < 0 || length > INT32_MAX) {
        e.m_fileBin.Close();
        e.m_nState = IDLE;
        e.Message("Fail to open bin file!");
        e.FinishOperation();
        return;
    }
    e.m_bBinFileOpen = 1;
    m_nFileSize = static_cast<int32_t>(length);
    m_nRemaining = static_cast<uint32_t>(length);
    e.Console().SetProgressRange(m_nFileSize);
    e.SendByte(kCmdLength);
    e.Log(platform::Format("** Send file length(%d bytes)... ", m_nFileSize));
    e.m_nState = WAIT_LENGTH_SUM;
    e.SendBe32(m_nRemaining);
    e.m_byExpected = Sum8OfBe32(m_nRemaining);
}

void CNorDownload::OnLengthSum(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != e.m_byExpected) {
        e.m_nState = IDLE;
        e.Log("Fail!\r\n");
        e.FinishOperation();
        return;
    }
    e.Log("OK!\r\n");
    e.Log("** Start BINARY downloading...\r\n");
    e.m_nState = WAIT_CHUNK_ACK;
    e.Log(platform::Format("Address 0x%08X... ", m_nNorOffset + kNorBusBase));
    StartSector(m_nNorOffset);
}

void CNorDownload::StartSector(uint32_t offset) {
    CDownloaderEngine& e = m_engine;
    const int32_t nClass = GetSectorSizeClass(offset);
    if (nClass == kSizeClassNone) {
        e.Log("Address is not allowed\r\n");
        e.m_nState = IDLE;
        return;
    }
    const SectorWrite w = SectorWriteOfClass(nClass);
    m_nChunksPerSector = w.nChunks;
    m_nChunkCount = 0;
    e.SendByte(w.byCommand);
    e.SendBe32(offset);
    e.m_byExpected = 0;
    SendChunk();
}

void CNorDownload::SendChunk() {
    CDownloaderEngine& e = m_engine;
    // Never more than the length announced with 0xD4: a file that grew since
    // must not send bytes the handset was not told of.
    const size_t nWant = m_nRemaining < kChunk ? m_nRemaining : kChunk;
    const size_t n = nWant == 0 ? 0 : e.m_fileBin.Read(m_abChunk.data(), nWant);
    if (e.m_fileBin.HadError()) {
        // A read error is not the end of the file: nothing half-read goes out.
        e.m_nState = IDLE;
        e.Log(platform::Format("** Fail to read %s **\r\n", m_strPath.c_str()));
        e.Message("Fail to open bin file!");
        e.FinishOperation();
        return;
    }
    if (n == 0) {
        m_bLastChunk = 1;
        e.m_nState = WAIT_SECTOR_SUM;
        return;
    }
    if (n < kChunk) {
        e.Log(platform::Format("Last size(%d)", static_cast<int>(n)));
        m_bLastChunk = 1;
    }
    e.m_byExpected = Sum8(m_abChunk.data(), n, e.m_byExpected);
    m_nRemaining -=
        static_cast<uint32_t>(n) < m_nRemaining ? static_cast<uint32_t>(n) : m_nRemaining;
    e.Send(m_abChunk.data(), n);
}

void CNorDownload::OnChunkAck(uint8_t /*by*/) {
    CDownloaderEngine& e = m_engine;
    if (m_bLastChunk == 1) {
        e.m_nState = WAIT_SECTOR_SUM;
        return;
    }
    if (++m_nChunkCount == m_nChunksPerSector) {
        e.m_nState = WAIT_SECTOR_SUM;
        if (m_nCurSector >= 0 && m_nCurSector < g_nNorSectors) {
            m_nNorOffset = SectorOffset(m_nCurSector) + SectorBytes(m_nCurSector);
        }
        ++m_nCurSector;
        if (m_nRemaining == 0) {
            m_bLastChunk = 1;
        }
        return;
    }
    SendChunk();
}

void CNorDownload::OnSectorSum(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != e.m_byExpected) {
        e.Log(platform::Format("Fail to download sector(send(%x)recive(%x))!\r\n", e.m_byExpected,
                               by));
        e.m_nState = IDLE;
        e.FinishOperation();
        return;
    }
    e.Console().SetProgressPos(static_cast<int32_t>(m_nNorOffset - m_nStartOffset));
    if (m_bLastChunk == 1) {
        e.SendByte(kCmdEnd);
        e.m_nState = WAIT_DOWNLOAD_END;
        return;
    }
    e.Log(platform::Format("OK!\r\nAddress 0x%08X... ", m_nNorOffset + kNorBusBase));
    e.m_nState = WAIT_CHUNK_ACK;
    StartSector(m_nNorOffset);
}

void CNorDownload::OnDownloadEnd(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    e.m_nState = IDLE;
    if (by != kCmdEnd) {
        e.Log(platform::Format("Not Complete! (0x%x)", by));
        return;
    }
    e.Log("OK!\r\n");
    Complete();
}

void CNorDownload::Complete() {
    CDownloaderEngine& e = m_engine;
    // The next image of a chain opens its own file.
    e.m_fileBin.Close();
    e.m_bBinFileOpen = 0;
    if (e.m_nOperation == OP_BIN_THEN_MFX) {
        e.Log("\r\n** Start Downloading MFX file **\r\n");
        e.m_nOperation = OP_MFX_DOWNLOAD;
        e.Console().SetProgressPos(0);
        m_bLastChunk = 0;
        if (m_fnMfxFollowUp) {
            m_fnMfxFollowUp();
        }
        e.m_nState = WAIT_SYNC;
        e.SendByte(CMD_SYNC);
        e.Console().DisableControls();
        return;
    }
    e.LogTimes("\r\n** Start Time            %H:%M:%S **",
               "\r\n** End Time              %H:%M:%S **",
               "\r\n** Downloading Time %H:%M:%S **\r\n");
    e.Log(platform::Format("** (Total %d bytes) **\r\n\r\n", m_nFileSize));
    m_written.push_back({m_strPath, m_nStartOffset});
    if (m_bDownloadAll == 1) {
        if (m_nDownloadTarget == kTargetBootLoader) {
            DownloadMainBinary();
            return;
        }
        if (m_nDownloadTarget == kTargetMainBinary) {
            DownloadBpEngine();
            return;
        }
        e.Log("##### End Download All Binary files ##### \r\n\r\n");
        m_bDownloadAll = 0;
        e.Message("Download All completed!", platform::MsgIcon::Information);
        e.FinishOperation();
    } else {
        e.Message("Download completed!", platform::MsgIcon::Information);
        e.FinishOperation();
    }
    if (m_bDownloadAll == 0 && m_controls.bVerify && m_fnVerify) {
        // The power-on waits for the verification: a handset whose flash
        // differs stays connected.
        std::vector<VerifyItem> items;
        items.swap(m_written);
        m_fnVerify(std::move(items), m_controls.bPowerOn);
        return;
    }
    if (m_bDownloadAll == 0 && m_controls.bPowerOn) {
        e.SendByte(CMD_POWER_ON);
        if (m_fnStop) {
            m_fnStop();
        }
    }
}

}  // namespace oriel
