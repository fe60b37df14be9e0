#include "oriel/mfx/mfx_download.h"

#include <vector>

#include "oriel/engine/checksum.h"
#include "oriel/engine/console_view.h"
#include "oriel/engine/crc32.h"
#include "oriel/engine/time_log.h"
#include "platform/format.h"

namespace oriel {

namespace {

constexpr uint8_t kCmdMount = 0xDA;
constexpr uint8_t kCmdCrc = 0xC9;
constexpr uint8_t kCmdTime = 0xC4;
constexpr uint8_t kCmdDirectory = 0xDB;
constexpr uint8_t kDirectoryDone = 0xDC;
constexpr uint8_t kCmdProjectVersion = 0xE3;
constexpr uint8_t kCmdReleaseVersion = 0xF5;
constexpr uint8_t kCmdNoReleaseVersion = 0xF6;
constexpr uint8_t kCmdFileHeader = 0xDD;
constexpr uint8_t kCmdChunk = 0xFE;
constexpr uint8_t kFileDone = 0xDF;
constexpr uint8_t kCmdComplete = 0xC5;
constexpr uint8_t kCmdUnmount = 0xE4;
constexpr int32_t kChunk = 8192;

void PutLe32(uint8_t* p, uint32_t v) {
    const auto b = Le32(v);
    std::copy(b.begin(), b.end(), p);
}

// A name on the wire: 2-byte big-endian length (zero byte counted), then the name.
std::vector<uint8_t> NameField(const std::string& utf8) {
    const auto n = static_cast<uint16_t>(utf8.size());
    std::vector<uint8_t> v;
    v.reserve(utf8.size() + 6);
    v.push_back(static_cast<uint8_t>(n >> 8));
    v.push_back(static_cast<uint8_t>(n));
    for (const char c : utf8) {
        v.push_back(static_cast<uint8_t>(c));
    }
    return v;
}

}  // namespace

std::array<uint8_t, 28> MfxTimeRecord(const std::tm& t) {
    std::array<uint8_t, 28> r{};
    r[0] = kCmdTime;
    PutLe32(&r[4], static_cast<uint32_t>(t.tm_sec));
    PutLe32(&r[8], static_cast<uint32_t>(t.tm_min));
    PutLe32(&r[12], static_cast<uint32_t>(t.tm_hour));
    PutLe32(&r[16], static_cast<uint32_t>(t.tm_mday));
    PutLe32(&r[20], static_cast<uint32_t>(t.tm_mon + 1));
    PutLe32(&r[24], static_cast<uint32_t>(t.tm_year + 1900));
    return r;
}

uint8_t MfxTimeRecordSum(const std::array<uint8_t, 28>& record) {
    return Sum8(record.data() + 1, record.size() - 1);
}

CMfxDownload::CMfxDownload(CDownloaderEngine& engine, CMfxPackage& package)
    : m_engine(engine), m_package(package) {
    auto on = [this](int32_t state, void (CMfxDownload::*fn)(uint8_t)) {
        m_engine.RegisterStateHandler(state, [this, fn](uint8_t by) { (this->*fn)(by); });
    };
    m_engine.RegisterSyncHandler(OP_MFX_DOWNLOAD, [this] { OnSync(); });
    on(WAIT_MOUNT_ACK, &CMfxDownload::OnMountAck);
    on(WAIT_MFX_CRC_SUM, &CMfxDownload::OnCrcSum);
    on(WAIT_TIME_SUM, &CMfxDownload::OnTimeSum);
    on(WAIT_NAME_SUM, &CMfxDownload::OnNameSum);
    on(WAIT_NAME_ACK, &CMfxDownload::OnNameAck);
    on(WAIT_VERSION_ACK, &CMfxDownload::OnVersionAck);
    on(WAIT_RELEASE_ACK, &CMfxDownload::OnReleaseAck);
    on(WAIT_FILE_HEADER_SUM, &CMfxDownload::OnFileHeaderSum);
    on(WAIT_DATA_SUM, &CMfxDownload::OnDataSum);
    on(WAIT_LAST_DATA_SUM, &CMfxDownload::OnLastDataSum);
    on(WAIT_FILE_ACK, &CMfxDownload::OnFileAck);
    on(WAIT_COMPLETE_ACK, &CMfxDownload::OnCompleteAck);
    on(WAIT_UNMOUNT_ACK, &CMfxDownload::OnUnmountAck);
}

bool CMfxDownload::StartMfxDownload() {
    CDownloaderEngine& e = m_engine;
    m_nBinaryBytes = 0;
    e.Console().SetProgressPos(0);
    e.Console().ReplaceLog(" \r\n");
    e.Log("** Start Downloading MFX file **\r\n");
    e.StartOperation(OP_MFX_DOWNLOAD);
    return true;
}

void CMfxDownload::Fail(const char* fmt, uint8_t by) {
    m_engine.m_nState = IDLE;
    m_engine.Log(platform::Format(fmt, by));
}

void CMfxDownload::OnSync() {
    CDownloaderEngine& e = m_engine;
    if (m_package.LoadMfxPackage() == 0) {
        e.m_nState = IDLE;
        return;
    }
    e.Log("\r\n** Mounting MFX system... ");
    e.SendByte(kCmdMount);
    e.m_byExpected = kCmdMount;
    e.m_nState = WAIT_MOUNT_ACK;
}

void CMfxDownload::OnMountAck(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != kCmdMount) {
        Fail("\n Mount Fail! (0x%X)\r\n", by);
        return;
    }
    e.Log("OK!\r\n");
    uint32_t crc = 0;
    if (!Crc32OfFile(m_package.m_strMfxPath, crc)) {
        e.m_nState = IDLE;
        e.Message(platform::Format("Fail to open %s", m_package.m_strMfxPath.c_str()));
        return;
    }
    e.SendByte(kCmdCrc);
    e.Log(platform::Format("Sending NAND CheckSum:%x \n", crc));
    e.SendBe32(crc);
    e.m_byExpected = Sum8OfBe32(crc);
    e.m_nState = WAIT_MFX_CRC_SUM;
}

void CMfxDownload::OnCrcSum(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != e.m_byExpected) {
        Fail("\n Write nand checksum Error! (0x%X)\r\n", by);
        return;
    }
    e.Log("OK!\r\n");
    const std::time_t now = e.Now();
    std::tm local{};
    localtime_r(&now, &local);
    const std::array<uint8_t, 28> record = MfxTimeRecord(local);
    e.Send(record.data(), record.size());
    e.m_byExpected = MfxTimeRecordSum(record);
    e.m_nState = WAIT_TIME_SUM;
}

void CMfxDownload::OnTimeSum(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != e.m_byExpected) {
        Fail("\n Write Set MFXTIME Error! (0x%X)\r\n", by);
        return;
    }
    e.Log("MFX time set OK!\r\n");
    m_package.m_nCfgCursor = 0;
    e.m_nState = WAIT_NAME_SUM;
    if (m_package.NextDirectoryEntry()) {
        SendDirectory();
    } else {
        StartVersions();
    }
}

void CMfxDownload::SendDirectory() {
    if (m_package.EntryRefused()) {
        return;  // logged; the engine is idle
    }
    CDownloaderEngine& e = m_engine;
    const std::vector<uint8_t> name = NameField(m_package.m_strEntryUtf8);
    std::vector<uint8_t> req;
    req.reserve(name.size() + 1);
    req.push_back(kCmdDirectory);
    for (const uint8_t b : name) {
        req.push_back(b);
    }
    e.Send(req.data(), req.size());
    e.m_byExpected = Sum8(name.data(), name.size());
}

void CMfxDownload::OnNameSum(uint8_t by) {
    if (by != m_engine.m_byExpected) {
        m_engine.m_nState = IDLE;
        m_engine.Log("Fail! (in sending name)\r\n");
        return;
    }
    m_engine.m_nState = WAIT_NAME_ACK;
}

void CMfxDownload::OnNameAck(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != kDirectoryDone) {
        Fail("Fail! (0x%X)\r\n", by);
        return;
    }
    e.Log("OK!\r\n");
    e.m_nState = WAIT_NAME_SUM;
    if (m_package.NextDirectoryEntry()) {
        SendDirectory();
    } else {
        StartVersions();
    }
}

void CMfxDownload::StartVersions() {
    CDownloaderEngine& e = m_engine;
    if (!e.m_fileMfx.Open(m_package.m_strMfxPath, CFileObject::Mode::Read)) {
        e.m_nState = IDLE;
        e.Message(platform::Format("Fail to open %s", m_package.m_strMfxPath.c_str()));
        return;
    }
    e.m_bMfxFileOpen = 1;
    e.Log("Writing a MFX Version... ");
    e.SendByte(kCmdProjectVersion);
    e.Send(m_package.m_abyProjectVersion.data(), m_package.m_abyProjectVersion.size());
    e.m_nState = WAIT_VERSION_ACK;
}

void CMfxDownload::OnVersionAck(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != kCmdProjectVersion) {
        Fail("Release Version Fail! (0x%X)\r\n", by);
        return;
    }
    e.m_nState = WAIT_RELEASE_ACK;
    if (m_package.m_bHasReleaseVersion == 1) {
        e.SendByte(kCmdReleaseVersion);
        e.Send(m_package.m_abyReleaseVersion.data(), m_package.m_abyReleaseVersion.size());
    } else {
        e.SendByte(kCmdNoReleaseVersion);
    }
}

void CMfxDownload::OnReleaseAck(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != kCmdProjectVersion) {
        Fail("Project Version Fail! (0x%X)\r\n", by);
        return;
    }
    e.Log("OK!\r\n");
    e.Console().SetProgressRange(m_package.m_nMfxFileSize);
    e.Console().SetProgressPos(0);
    m_nMfxSent = 0;
    m_package.m_nCfgCursor = 0;
    e.m_nState = WAIT_FILE_HEADER_SUM;
    NextFileOrComplete();
}

void CMfxDownload::NextFileOrComplete() {
    if (m_package.NextFileEntry()) {
        SendFileHeader();
    } else if (!m_package.EntryRefused()) {
        WritingComplete();
    }
}

void CMfxDownload::SendFileHeader() {
    CDownloaderEngine& e = m_engine;
    std::vector<uint8_t> body = NameField(m_package.m_strEntryUtf8);
    for (const uint8_t b : Be32(static_cast<uint32_t>(m_package.m_nEntryFileSize))) {
        body.push_back(b);
    }
    std::vector<uint8_t> req;
    req.reserve(body.size() + 1);
    req.push_back(kCmdFileHeader);
    for (const uint8_t b : body) {
        req.push_back(b);
    }
    e.Send(req.data(), req.size());
    e.m_byExpected = Sum8(body.data(), body.size());
}

void CMfxDownload::OnFileHeaderSum(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != e.m_byExpected) {
        e.m_nState = IDLE;
        e.Log(platform::Format("Fail!(%x:%x) (in sending name and size)\r\n", by, e.m_byExpected));
        return;
    }
    m_bLastMfxChunk = 0;
    m_nFileRemaining = m_package.m_nEntryFileSize;
    e.m_nState = WAIT_DATA_SUM;
    SendDataChunk();
}

void CMfxDownload::SendDataChunk() {
    CDownloaderEngine& e = m_engine;
    const int32_t n = m_nFileRemaining >= kChunk ? kChunk : m_nFileRemaining;
    const size_t got = n > 0 ? e.m_fileMfx.Read(m_abChunk.data(), static_cast<size_t>(n)) : 0;
    if (got != static_cast<size_t>(n)) {
        // The data file is shorter than its description says (or unreadable):
        // stop rather than send bytes that are not the file's.
        e.m_nState = IDLE;
        e.Log(platform::Format("** Fail to read %s **\r\n", m_package.m_strMfxPath.c_str()));
        return;
    }
    e.m_byExpected = 0;
    e.SendByte(kCmdChunk);
    if (m_nFileRemaining >= kChunk) {
        m_nFileRemaining -= kChunk;
    } else {
        m_bLastMfxChunk = 1;
        m_nFileRemaining = 0;
    }
    e.Send(m_abChunk.data(), static_cast<size_t>(n));
    m_nMfxSent += n;
    e.Console().SetProgressPos(m_nMfxSent);
    e.m_byExpected = Sum8(m_abChunk.data(), static_cast<size_t>(n));
    if (m_bLastMfxChunk == 1) {
        e.m_nState = WAIT_LAST_DATA_SUM;
    }
}

void CMfxDownload::OnDataSum(uint8_t by) {
    if (by != m_engine.m_byExpected) {
        m_engine.m_nState = IDLE;
        m_engine.Log("checksum mismatched!\r\n");
        return;
    }
    SendDataChunk();
}

void CMfxDownload::OnLastDataSum(uint8_t by) {
    if (by != m_engine.m_byExpected) {
        m_engine.m_nState = IDLE;
        m_engine.Log("checksum mismatched!\r\n");
        return;
    }
    m_engine.m_nState = WAIT_FILE_ACK;
}

void CMfxDownload::OnFileAck(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != kFileDone) {
        Fail("Writing error(0x%X)\r\n", by);
        return;
    }
    e.Log("OK!\r\n");
    e.m_nState = WAIT_FILE_HEADER_SUM;
    NextFileOrComplete();
}

void CMfxDownload::WritingComplete() {
    CDownloaderEngine& e = m_engine;
    e.m_fileMfx.Close();
    e.m_bMfxFileOpen = 0;
    e.Log("Complete nand!\r\n");
    e.SendByte(kCmdComplete);
    e.m_nState = WAIT_COMPLETE_ACK;
}

void CMfxDownload::OnCompleteAck(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != kCmdComplete) {
        // The handset may still finish; the engine keeps waiting here.
        e.Log("Writing NAND Fail! \r\n");
        return;
    }
    e.Log("Unmounting MFX!");
    e.SendByte(kCmdUnmount);
    e.m_nState = WAIT_UNMOUNT_ACK;
}

void CMfxDownload::OnUnmountAck(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != kCmdUnmount) {
        Fail("Unmounting Error!(0x%0X)\r\n", by);
        return;
    }
    e.Log("OK!\r\n");
    e.m_tEnd = e.Now();
    e.m_tsElapsed = static_cast<int64_t>(e.m_tEnd - e.m_tStart);
    e.Log(FormatSpan("\r\n** Downloading Time %M:%S **\r\n", e.m_tsElapsed));
    e.Log(platform::Format("** (Total %d bytes) **\r\n", m_nBinaryBytes + m_nMfxSent));
    m_package.Release();
    e.Message("Download completed!", platform::MsgIcon::Information);
    e.FinishOperation();
    if (m_fnPowerOn && m_fnPowerOn()) {
        e.SendByte(CMD_POWER_ON);
        if (m_fnStop) {
            m_fnStop();
        }
    }
}

}  // namespace oriel
