#include "sim/oriel/mfx_service.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "sim/oriel/sim_checksums.h"

namespace orielsim {

namespace {

constexpr uint8_t kCmdMount = 0xDA;
constexpr uint8_t kCmdCrc = 0xC9;
constexpr uint8_t kCmdTime = 0xC4;
constexpr uint8_t kCmdDirectory = 0xDB;
constexpr uint8_t kDirectoryMade = 0xDC;
constexpr uint8_t kCmdFileHeader = 0xDD;
constexpr uint8_t kFileDone = 0xDF;
constexpr uint8_t kCmdVersion = 0xE3;  // also the answer to both version requests
constexpr uint8_t kCmdRelease = 0xF5;
constexpr uint8_t kCmdNoRelease = 0xF6;
constexpr uint8_t kCmdChunk = 0xFE;
constexpr uint8_t kCmdComplete = 0xC5;
constexpr uint8_t kCmdUnmount = 0xE4;
constexpr uint8_t kCmdFormat = 0xE0;
constexpr uint8_t kFormatDone = 0xE1;
constexpr uint8_t kFormatError = 0xF2;
constexpr uint8_t kCmdStatus = 0xEC;
constexpr uint8_t kStatusDone = 0xED;
constexpr uint8_t kStatusError = 0xF3;
constexpr uint8_t kCmdList = 0xE5;
constexpr uint8_t kListMore = 0xCB;
constexpr uint8_t kListError = 0xE6;
constexpr uint8_t kListEnd = 0xE7;
constexpr uint8_t kCmdRead = 0xE8;
constexpr uint8_t kReadFound = 0xE9;
constexpr uint8_t kReadStart = 0xEA;
constexpr uint8_t kChunkGood = 0x01;
constexpr uint8_t kChunkBad = 0x00;
constexpr uint8_t kCmdDelete = 0xEE;
constexpr uint8_t kCmdFileStatus = 0xF0;
constexpr uint8_t kFileStatusFollows = 0xF1;
constexpr uint8_t kCmdNandDump = 0xC0;
constexpr uint8_t kDumpNext = 0xC1;  // also the answer that starts the dump
constexpr uint8_t kDumpBad = 0xC2;
constexpr uint8_t kDumpEnd = 0xC3;

constexpr uint8_t kFuncFormat = 0x01;
constexpr uint8_t kFuncStatus = 0x02;
constexpr uint32_t kFaultErrno = 5;  // EIO

constexpr size_t kTimeArgs = 27;

void PutBig32(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x >> 24));
    v.push_back(static_cast<uint8_t>(x >> 16));
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

void PutLittle32(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x >> 16));
    v.push_back(static_cast<uint8_t>(x >> 24));
}

std::vector<uint8_t> ErrorReply(uint8_t byReply, uint8_t byFunc, uint32_t nError) {
    std::vector<uint8_t> v{byReply, byFunc};
    PutBig32(v, nError);
    return v;
}

// For notices: the name as far as it is printable.
std::string Shown(const std::string& name) {
    std::string out = "\"";
    for (const char ch : name.substr(0, 80)) {
        const auto c = static_cast<uint8_t>(ch);
        if (c == 0) {
            out += "\\0";
        } else if (c < 0x20 || c == 0x7F) {
            out += "?";
        } else {
            out += ch;
        }
    }
    return out + (name.size() > 80 ? "...\"" : "\"");
}

}  // namespace

CMfxService::CMfxService(CHandsetContext& ctx) : m_ctx(ctx), m_store(ctx.Nand()) {
    m_chunk.resize(kChunkSize);
}

CMfxService::~CMfxService() {
    EndRead();
}

void CMfxService::Reset() {
    if (m_bFileOpen) {
        DropFile("the boot-loader restarted");
    }
    EndRead();
    m_image.Release();
    m_state = State::Idle;
    m_bMounted = false;
    m_ctx.Rec().bMfxMounted = false;
    m_bCrcArmed = false;
    m_nDirs = m_nFiles = m_nChunks = 0;
}

bool CMfxService::OnByte(uint8_t b) {
    switch (m_state) {
        case State::Idle:
            return OnCommand(b);
        case State::Collect:
            m_args[m_nHave++] = b;
            if (m_nHave == m_nNeed) {
                m_state = State::Idle;
                OnCollected();
            }
            return true;
        case State::NameLength:
            m_args[m_nHave++] = b;
            m_bySum = static_cast<uint8_t>(m_bySum + b);
            if (m_nHave == 2) {
                m_nNameLength = (uint32_t{m_args[0]} << 8) | m_args[1];
                m_nNameHave = 0;
                m_name.clear();
                m_state = State::Name;
                if (m_nNameLength == 0) {
                    OnName();
                }
            }
            return true;
        case State::Name:
            m_bySum = static_cast<uint8_t>(m_bySum + b);
            if (m_name.size() <= kNandMaxPath) {
                m_name += static_cast<char>(b);
            }
            if (++m_nNameHave == m_nNameLength) {
                OnName();
            }
            return true;
        case State::FileSize:
            m_bySum = static_cast<uint8_t>(m_bySum + b);
            m_args[m_nHave++] = b;
            if (m_nHave == 4) {
                m_state = State::Idle;
                BeginFile(BigEndian32(m_args.data()), m_bySum);
            }
            return true;
        case State::ListLength:
            m_nNameLength = b;
            m_nNameHave = 0;
            m_name.clear();
            m_state = State::ListPath;
            if (b == 0) {
                List();
            }
            return true;
        case State::ListPath:
            m_name += static_cast<char>(b);
            if (++m_nNameHave == m_nNameLength) {
                List();
            }
            return true;
        case State::ListEcho:
            OnEcho(b);
            return true;
        case State::ChunkData:
            m_chunk[m_nHave++] = b;
            if (m_nHave == m_nChunkWant) {
                OnChunk();
            }
            return true;
        case State::ReadStart:
            if (b == kReadStart) {
                m_ctx.Record(HandsetStage::BootLoader, b);
                SendReadChunk();
                return true;
            }
            // No save file on the host's side: it never asks for the data.
            m_ctx.Trace("boot-loader: read of " + m_strRead + " not started");
            EndRead();
            return OnCommand(b);
        case State::ReadAck:
            if (b == kChunkGood) {
                if (m_bReadLast) {
                    m_ctx.Trace("boot-loader: " + m_strRead + " read back");
                    EndRead();
                } else {
                    SendReadChunk();
                }
                return true;
            }
            if (b == kChunkBad) {
                m_ctx.Notice("boot-loader: the host found chunk " +
                             std::to_string(m_nReadChunk - 1) + " of " + m_strRead +
                             " bad; read stopped");
                EndRead();
                return true;
            }
            m_ctx.Notice("boot-loader: " + Hex8(b) + " where a chunk of " + m_strRead +
                         " was to be acknowledged; read abandoned");
            EndRead();
            return OnCommand(b);
        case State::DumpAck:
            if (b == kDumpNext && m_nDumpPage < kNandPages) {
                SendDumpBlock();
                return true;
            }
            m_state = State::Idle;
            m_image.Release();
            if (b == kDumpBad) {
                m_ctx.Notice("boot-loader: the host found NAND dump block " +
                             std::to_string(m_nDumpPage - 1) + " bad; dump stopped");
                return true;
            }
            m_ctx.Notice("boot-loader: " + Hex8(b) + " where a NAND dump block was to be " +
                         "acknowledged; dump abandoned");
            return OnCommand(b);
    }
    return false;
}

bool CMfxService::OnCommand(uint8_t b) {
    m_byCommand = b;
    m_bySum = 0;
    m_nHave = 0;
    switch (b) {
        case kCmdMount: {
            m_ctx.Record(HandsetStage::BootLoader, b);
            const CFaultPlan::Decision d = m_ctx.Decide(Step::MountAck, 0);
            m_bMounted = !d.bSpoil;
            m_ctx.Rec().bMfxMounted = m_bMounted;
            if (m_bMounted) {
                m_nDirs = m_nFiles = m_nChunks = 0;
            }
            m_ctx.Deliver(Step::MountAck, d, {d.bSpoil ? Spoil(kCmdMount) : kCmdMount});
            return true;
        }
        case kCmdCrc:
            BeginCollect(b, 4);
            return true;
        case kCmdTime:
            BeginCollect(b, kTimeArgs);
            return true;
        case kCmdVersion:
            BeginCollect(b, 16);
            return true;
        case kCmdRelease:
            BeginCollect(b, 12);
            return true;
        case kCmdNoRelease:
            m_ctx.Record(HandsetStage::BootLoader, b);
            if (!Mounted("release version")) {
                m_ctx.SendRaw(Spoil(kCmdVersion));
                return true;
            }
            m_store.SetReleaseVersion(std::nullopt);
            m_ctx.Answer(Step::ReleaseAck, 0, kCmdVersion);
            return true;
        case kCmdDirectory:
        case kCmdFileHeader:
        case kCmdRead:
        case kCmdDelete:
        case kCmdFileStatus:
            m_state = State::NameLength;
            return true;
        case kCmdList:
            m_ctx.Record(HandsetStage::BootLoader, b);
            m_state = State::ListLength;
            return true;
        case kCmdChunk:
            BeginChunk();
            return true;
        case kCmdComplete:
            m_ctx.Record(HandsetStage::BootLoader, b);
            Complete();
            return true;
        case kCmdUnmount:
            m_ctx.Record(HandsetStage::BootLoader, b);
            Unmount();
            return true;
        case kCmdFormat:
            m_ctx.Record(HandsetStage::BootLoader, b);
            Format();
            return true;
        case kCmdStatus:
            m_ctx.Record(HandsetStage::BootLoader, b);
            Status();
            return true;
        case kCmdNandDump:
            m_ctx.Record(HandsetStage::BootLoader, b);
            StartDump();
            return true;
        default:
            return false;
    }
}

void CMfxService::BeginCollect(uint8_t cmd, size_t n) {
    m_byCommand = cmd;
    m_nNeed = n;
    m_nHave = 0;
    m_state = State::Collect;
}

void CMfxService::OnCollected() {
    const uint8_t* p = m_args.data();
    switch (m_byCommand) {
        case kCmdCrc: {
            const uint32_t crc = BigEndian32(p);
            m_ctx.Record(HandsetStage::BootLoader, m_byCommand, crc);
            // The checksum covers all file data from here to 0xC5.
            m_bCrcArmed = true;
            m_nCrcAnnounced = crc;
            m_nCrc = 0;
            m_ctx.Rec().lastMfxCrcAnnounced = crc;
            m_ctx.Rec().lastMfxCrcComputed.reset();
            m_store.SetPackageCrc(crc);
            m_ctx.Answer(Step::MfxCrcSum, 0, Sum8OfWord(crc));
            return;
        }
        case kCmdTime:
            m_ctx.Record(HandsetStage::BootLoader, m_byCommand);
            SetTime(p);
            return;
        case kCmdVersion: {
            m_ctx.Record(HandsetStage::BootLoader, m_byCommand);
            if (!Mounted("project version")) {
                m_ctx.SendRaw(Spoil(kCmdVersion));
                return;
            }
            std::array<uint8_t, 16> version{};
            std::copy(p, p + 16, version.begin());
            m_store.SetProjectVersion(version);
            m_ctx.Answer(Step::VersionAck, 0, kCmdVersion);
            return;
        }
        case kCmdRelease: {
            m_ctx.Record(HandsetStage::BootLoader, m_byCommand);
            if (!Mounted("release version")) {
                m_ctx.SendRaw(Spoil(kCmdVersion));
                return;
            }
            std::array<uint8_t, 12> version{};
            std::copy(p, p + 12, version.begin());
            m_store.SetReleaseVersion(version);
            m_ctx.Answer(Step::ReleaseAck, 0, kCmdVersion);
            return;
        }
        default:
            return;
    }
}

void CMfxService::SetTime(const uint8_t* p) {
    // p holds bytes 1..27 of the record: three zero bytes, then seconds,
    // minutes, hours, day, month and year, 4 bytes each, little-endian.
    const uint8_t bySum = Sum8(p, kTimeArgs);
    auto field = [&](size_t at) {
        const uint32_t v = LittleEndian32(p + at);
        return v > 100000 ? -1 : static_cast<int>(v);
    };
    CivilTime t;
    t.nSecond = field(3);
    t.nMinute = field(7);
    t.nHour = field(11);
    t.nDay = field(15);
    t.nMonth = field(19);
    t.nYear = field(23);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d-%02d-%02d %02d:%02d:%02d", t.nYear, t.nMonth, t.nDay,
                  t.nHour, t.nMinute, t.nSecond);
    if (p[0] != 0 || p[1] != 0 || p[2] != 0 || !CivilTimeValid(t)) {
        m_ctx.Notice(std::string("boot-loader: time record refused: ") +
                     (p[0] != 0 || p[1] != 0 || p[2] != 0 ? "bytes 1..3 are not zero"
                                                          : std::string("no such time ") + buf));
        m_ctx.SendRaw(Spoil(bySum));
        return;
    }
    m_store.SetClock(ToCivilSeconds(t));
    m_ctx.Trace(std::string("boot-loader: clock set to ") + buf);
    m_ctx.Answer(Step::TimeSum, 0, bySum);
}

bool CMfxService::NamePath(size_t nLimit, NandPath& path, std::string& why) const {
    if (m_nNameLength == 0) {
        why = "an empty name";
        return false;
    }
    if (m_nNameLength > nLimit) {
        why = "a name of " + std::to_string(m_nNameLength) + " bytes (at most " +
              std::to_string(nLimit) + " with its zero)";
        return false;
    }
    if (m_name.back() != '\0') {
        why = "the name does not end with its zero byte";
        return false;
    }
    return ParseNandPath(std::string_view(m_name).substr(0, m_name.size() - 1), path, why);
}

bool CMfxService::Mounted(const char* what) {
    if (m_bMounted) {
        return true;
    }
    m_ctx.Notice(std::string("boot-loader: ") + what + " refused: the file system is not mounted");
    return false;
}

void CMfxService::Refuse(const std::string& what, const std::string& why, uint8_t byRight) {
    m_ctx.Notice("boot-loader: " + what + " refused: " + why);
    m_ctx.SendRaw(Spoil(byRight));
}

void CMfxService::OnName() {
    m_state = State::Idle;
    switch (m_byCommand) {
        case kCmdDirectory:
            m_ctx.Record(HandsetStage::BootLoader, m_byCommand);
            MakeDirectory(m_bySum);
            return;
        case kCmdFileHeader:
            m_nHave = 0;
            m_state = State::FileSize;
            return;
        case kCmdRead:
            m_ctx.Record(HandsetStage::BootLoader, m_byCommand);
            ReadFile();
            return;
        case kCmdDelete:
            m_ctx.Record(HandsetStage::BootLoader, m_byCommand);
            Delete();
            return;
        case kCmdFileStatus:
            m_ctx.Record(HandsetStage::BootLoader, m_byCommand);
            FileStatus();
            return;
        default:
            return;
    }
}

void CMfxService::MakeDirectory(uint8_t bySum) {
    const int index = m_nDirs++;
    // The sum acknowledges the bytes as they came; 0xDC that the directory
    // exists.
    m_ctx.Answer(Step::DirSum, index, bySum);
    NandPath path;
    std::string why;
    if (!NamePath(kNandMaxDirPath, path, why)) {
        Refuse("directory " + Shown(m_name), why, kDirectoryMade);
        return;
    }
    if (!Mounted("directory")) {
        m_ctx.SendRaw(Spoil(kDirectoryMade));
        return;
    }
    if (m_store.MakeDirectory(path, why) != 0) {
        Refuse("directory " + JoinNandPath(path), why, kDirectoryMade);
        return;
    }
    m_ctx.Trace("boot-loader: directory " + JoinNandPath(path));
    m_ctx.Answer(Step::DirAck, index, kDirectoryMade);
}

void CMfxService::DropFile(const char* why) {
    m_ctx.Notice("boot-loader: " + m_strFile + " left incomplete, " +
                 std::to_string(m_nFileRemaining) + " bytes short (" + why + ")");
    m_store.EndFile();
    m_bFileOpen = false;
}

void CMfxService::BeginFile(uint32_t nSize, uint8_t bySum) {
    m_ctx.Record(HandsetStage::BootLoader, m_byCommand, nSize);
    const int index = m_nFiles++;
    if (m_bFileOpen) {
        DropFile("a new file header came");
    }
    NandPath path;
    std::string why;
    if (!NamePath(kNandMaxPath, path, why)) {
        Refuse("file header " + Shown(m_name), why, bySum);
        return;
    }
    if (!Mounted("file header")) {
        m_ctx.SendRaw(Spoil(bySum));
        return;
    }
    if (m_store.BeginFile(path, nSize, why) != 0) {
        Refuse("file " + JoinNandPath(path), why, bySum);
        return;
    }
    m_bFileOpen = true;
    m_bFileFailed = false;
    m_nFileIndex = index;
    m_strFile = JoinNandPath(path);
    m_nFileRemaining = nSize;
    m_ctx.Answer(Step::FileHeaderSum, index, bySum);
}

void CMfxService::BeginChunk() {
    if (!m_bFileOpen) {
        // Without a header the chunk's length is unknown; what follows is
        // taken as commands.
        m_ctx.Notice("boot-loader: 0xFE without an accepted file header; refused");
        m_ctx.SendRaw(Spoil(0x00));
        return;
    }
    // Full chunks while 8192 bytes or more remain; the rest (possibly none)
    // is the last.
    m_bLastChunk = m_nFileRemaining < kChunkSize;
    m_nChunkWant = m_bLastChunk ? m_nFileRemaining : kChunkSize;
    m_nHave = 0;
    if (m_nChunkWant == 0) {
        OnChunk();
        return;
    }
    m_state = State::ChunkData;
}

void CMfxService::OnChunk() {
    m_state = State::Idle;
    const size_t n = m_nChunkWant;
    const int index = m_nChunks++;
    if (m_bCrcArmed) {
        m_nCrc = Crc32Update(m_nCrc, m_chunk.data(), n);
    }
    const uint8_t bySum = Sum8(m_chunk.data(), n);
    std::string why;
    if (!m_bFileFailed && m_store.AppendFile(m_chunk.data(), n, why) != 0) {
        m_bFileFailed = true;
        m_ctx.Notice("boot-loader: " + why);
    }
    m_nFileRemaining -= static_cast<uint32_t>(n);
    if (m_bFileFailed) {
        m_ctx.SendRaw(Spoil(bySum));
    } else {
        m_ctx.Answer(Step::MfxChunkSum, index, bySum);
    }
    if (!m_bLastChunk) {
        return;
    }
    m_store.EndFile();
    m_bFileOpen = false;
    if (m_bFileFailed) {
        return;
    }
    ++m_ctx.Rec().nMfxFilesWritten;
    m_ctx.Trace("boot-loader: " + m_strFile + " written");
    m_ctx.Answer(Step::FileAck, m_nFileIndex, kFileDone);
}

void CMfxService::Complete() {
    if (!Mounted("writing complete")) {
        m_ctx.SendRaw(Spoil(kCmdComplete));
        return;
    }
    if (m_bCrcArmed) {
        m_ctx.Rec().lastMfxCrcComputed = m_nCrc;
        m_store.SetPackageCrcComputed(m_nCrc);
        if (m_nCrc != m_nCrcAnnounced) {
            m_ctx.Notice("boot-loader: package checksum FAILED: CRC-32 of the file data " +
                         Hex32(m_nCrc) + ", announced " + Hex32(m_nCrcAnnounced));
        } else {
            m_ctx.Trace("boot-loader: package checksum " + Hex32(m_nCrc) + " verified");
        }
        m_bCrcArmed = false;
    } else {
        m_ctx.Notice("boot-loader: writing complete without a package checksum (0xC9)");
    }
    if (m_bFileOpen) {
        DropFile("writing complete came first");
        m_ctx.SendRaw(Spoil(kCmdComplete));
        return;
    }
    m_ctx.Answer(Step::CompleteAck, 0, kCmdComplete);
}

void CMfxService::Unmount() {
    if (m_bFileOpen) {
        DropFile("unmounted");
    }
    m_bMounted = false;
    m_ctx.Rec().bMfxMounted = false;
    m_ctx.Answer(Step::UnmountAck, 0, kCmdUnmount);
}

void CMfxService::Format() {
    const CFaultPlan::Decision d = m_ctx.Decide(Step::FormatResult, 0);
    if (d.bSpoil) {
        m_ctx.Deliver(Step::FormatResult, d, ErrorReply(kFormatError, kFuncFormat, kFaultErrno));
        return;
    }
    if (m_bFileOpen) {
        DropFile("formatted");
    }
    std::string why;
    const int e = m_store.Format(why);
    if (e != 0) {
        m_ctx.Notice("boot-loader: format failed: " + why);
        m_ctx.Deliver(Step::FormatResult, d,
                      ErrorReply(kFormatError, kFuncFormat, static_cast<uint32_t>(e)));
        return;
    }
    m_bCrcArmed = false;
    m_ctx.Trace("boot-loader: NAND formatted");
    m_ctx.Deliver(Step::FormatResult, d, {kFormatDone});
}

void CMfxService::Status() {
    const CFaultPlan::Decision d = m_ctx.Decide(Step::StatusResult, 0);
    if (d.bSpoil) {
        m_ctx.Deliver(Step::StatusResult, d, ErrorReply(kStatusError, kFuncStatus, kFaultErrno));
        return;
    }
    NandStatus s;
    std::string why;
    const int e = m_store.Status(s, why);
    if (e != 0) {
        m_ctx.Notice("boot-loader: status failed: " + why);
        m_ctx.Deliver(Step::StatusResult, d,
                      ErrorReply(kStatusError, kFuncStatus, static_cast<uint32_t>(e)));
        return;
    }
    std::vector<uint8_t> v{kStatusDone};
    for (const uint32_t x : {s.nType, s.nBlockSize, s.nBlockBits, s.nBlocks, s.nFreeBlocks,
                             s.nAvailBlocks, s.nNodes, s.nFreeNodes, s.nFsid, s.nMaxFileSize}) {
        PutLittle32(v, x);
    }
    const auto nameLen = static_cast<uint16_t>(s.nNameLen);
    v.push_back(static_cast<uint8_t>(nameLen));
    v.push_back(static_cast<uint8_t>(nameLen >> 8));
    v.push_back(0);
    v.push_back(0);
    m_ctx.Deliver(Step::StatusResult, d, v);
}

void CMfxService::List() {
    m_state = State::Idle;
    m_listing.clear();
    m_nListPos = 0;
    m_bListFails = false;
    std::string text = m_name;
    if (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    NandPath path;
    std::string why;
    std::vector<NandEntry> entries;
    bool bOk = m_bMounted;
    if (!bOk) {
        why = "the file system is not mounted";
    } else {
        bOk = ParseNandPath(text, path, why) && m_store.List(path, entries, why) == 0;
    }
    if (!bOk) {
        m_ctx.Notice("boot-loader: listing of " + Shown(m_name) + " refused: " + why);
        m_listing.emplace_back(0, std::string());
        m_bListFails = true;
        SendEntry();
        return;
    }
    m_listing.emplace_back(2, ".");
    m_listing.emplace_back(2, "..");
    for (const NandEntry& e : entries) {
        if (e.strName.size() > kNandMaxName) {
            // A name put there by hand that no entry can carry.
            m_ctx.Notice("boot-loader: a name of " + std::to_string(e.strName.size()) +
                         " bytes in " + JoinNandPath(path) + " left out of the listing");
            continue;
        }
        m_listing.emplace_back(e.bDirectory ? 2 : 1, e.strName);
    }
    m_ctx.Trace("boot-loader: listing " + JoinNandPath(path) + ", " +
                std::to_string(m_listing.size()) + " entries");
    SendEntry();
}

void CMfxService::SendEntry() {
    const auto& [byType, name] = m_listing[m_nListPos];
    std::vector<uint8_t> v;
    // The length counts the name with its zero; the placeholder has neither.
    const size_t n = name.empty() ? 0 : name.size() + 1;
    v.push_back(static_cast<uint8_t>(n));
    v.push_back(byType);
    v.insert(v.end(), name.begin(), name.end());
    if (n > 0) {
        v.push_back(0);
    }
    m_ctx.SendRaw(v.data(), v.size());
    m_state = State::ListEcho;
}

void CMfxService::OnEcho(uint8_t b) {
    m_state = State::Idle;
    const uint8_t byType = m_listing[m_nListPos].first;
    if (b != byType) {
        m_ctx.Notice("boot-loader: entry type " + Hex8(byType) + " echoed as " + Hex8(b) +
                     "; listing stopped");
        m_ctx.SendRaw(kListError);
        return;
    }
    if (m_bListFails) {
        m_ctx.SendRaw(kListError);
        return;
    }
    if (++m_nListPos < m_listing.size()) {
        m_ctx.SendRaw(kListMore);
        SendEntry();
        return;
    }
    const CFaultPlan::Decision d = m_ctx.Decide(Step::ListEnd, 0);
    m_ctx.Deliver(Step::ListEnd, d, {d.bSpoil ? kListError : kListEnd});
}

void CMfxService::ReadFile() {
    EndRead();
    NandPath path;
    std::string why;
    if (!NamePath(kNandMaxPath, path, why)) {
        Refuse("read of " + Shown(m_name), why, kReadFound);
        return;
    }
    if (!Mounted("read")) {
        m_ctx.SendRaw(Spoil(kReadFound));
        return;
    }
    const std::string name = JoinNandPath(path);
    int hFile = -1;
    uint32_t nSize = 0;
    if (m_store.OpenForReading(path, hFile, nSize, why) != 0) {
        Refuse("read of " + name, why, kReadFound);
        return;
    }
    const CFaultPlan::Decision d = m_ctx.Decide(Step::ReadSize, 0);
    if (d.bSpoil) {
        ::close(hFile);
        m_ctx.Deliver(Step::ReadSize, d, {Spoil(kReadFound)});
        return;
    }
    m_hRead = hFile;
    m_strRead = name;
    m_nReadSize = nSize;
    m_nReadSent = 0;
    m_nReadChunk = 0;
    m_bReadLast = false;
    std::vector<uint8_t> v{kReadFound};
    PutBig32(v, nSize);
    m_ctx.Deliver(Step::ReadSize, d, v);
    m_state = State::ReadStart;
}

void CMfxService::SendReadChunk() {
    // Chunks of 8192 bytes; the last is what is left (a file of 0 bytes is
    // one empty chunk).
    const uint32_t nLeft = m_nReadSize - m_nReadSent;
    const auto n = static_cast<size_t>(std::min<uint32_t>(nLeft, kChunkSize));
    std::vector<uint8_t> v(n);
    size_t nHave = 0;
    while (nHave < n) {
        const ssize_t r =
            pread(m_hRead, v.data() + nHave, n - nHave, static_cast<off_t>(m_nReadSent + nHave));
        if (r <= 0) {
            break;
        }
        nHave += static_cast<size_t>(r);
    }
    if (nHave < n) {
        m_ctx.Notice("boot-loader: " + m_strRead + " shrank while being read; zeros sent");
    }
    m_nReadSent += static_cast<uint32_t>(n);
    m_bReadLast = m_nReadSent == m_nReadSize;
    v.push_back(Sum8(v.data(), n));
    m_ctx.AnswerBytes(Step::ReadChunkSum, m_nReadChunk++, std::move(v), n);
    m_state = State::ReadAck;
}

void CMfxService::EndRead() {
    if (m_hRead >= 0) {
        ::close(m_hRead);
        m_hRead = -1;
    }
    if (m_state == State::ReadStart || m_state == State::ReadAck) {
        m_state = State::Idle;
    }
}

void CMfxService::Delete() {
    NandPath path;
    std::string why;
    if (!NamePath(kNandMaxPath, path, why)) {
        Refuse("delete of " + Shown(m_name), why, kCmdDelete);
        return;
    }
    if (!Mounted("delete")) {
        m_ctx.SendRaw(Spoil(kCmdDelete));
        return;
    }
    if (m_store.Remove(path, why) != 0) {
        Refuse("delete of " + JoinNandPath(path), why, kCmdDelete);
        return;
    }
    m_ctx.Trace("boot-loader: deleted " + JoinNandPath(path));
    m_ctx.Answer(Step::DeleteAck, 0, kCmdDelete);
}

void CMfxService::FileStatus() {
    NandPath path;
    std::string why;
    if (!NamePath(kNandMaxPath, path, why)) {
        Refuse("status of " + Shown(m_name), why, kFileStatusFollows);
        return;
    }
    if (!Mounted("file status")) {
        m_ctx.SendRaw(Spoil(kFileStatusFollows));
        return;
    }
    NandNodeInfo info;
    if (m_store.Stat(path, info, why) != 0) {
        Refuse("status of " + JoinNandPath(path), why, kFileStatusFollows);
        return;
    }
    std::vector<uint8_t> v{kFileStatusFollows};
    PutBig32(v, info.bDirectory ? kNandModeDirectory : kNandModeFile);
    PutBig32(v, info.nInode);
    v.push_back(static_cast<uint8_t>(kNandDeviceId >> 8));
    v.push_back(static_cast<uint8_t>(kNandDeviceId));
    v.push_back(0);  // the dummy entry
    v.push_back(0);
    PutBig32(v, info.nSize);
    PutBig32(v, FatDate(info.tAccess));
    PutBig32(v, FatDateTime(info.tModify));
    PutBig32(v, FatDateTime(info.tChange));
    const CFaultPlan::Decision d = m_ctx.Decide(Step::FileStatus, 0);
    if (d.bSpoil) {
        v.assign(1, Spoil(kFileStatusFollows));
    }
    m_ctx.Deliver(Step::FileStatus, d, v);
}

void CMfxService::StartDump() {
    m_image.Release();
    const CFaultPlan::Decision d = m_ctx.Decide(Step::NandDumpStart, 0);
    if (d.bSpoil) {
        m_ctx.Deliver(Step::NandDumpStart, d, {Spoil(kDumpNext)});
        return;
    }
    std::string why;
    if (m_image.Build(m_store, why) != 0) {
        m_ctx.Notice("boot-loader: NAND dump refused: " + why);
        m_ctx.Deliver(Step::NandDumpStart, d, {Spoil(kDumpNext)});
        return;
    }
    if (m_image.NodesLeftOut() > 0) {
        m_ctx.Notice("boot-loader: " + std::to_string(m_image.NodesLeftOut()) +
                     " node(s) do not fit in the NAND and are left out of the dump");
    }
    m_ctx.Rec().nNandDumpBlocks = 0;
    m_nDumpPage = 0;
    m_ctx.Deliver(Step::NandDumpStart, d, {kDumpNext});
    SendDumpBlock();
}

void CMfxService::SendDumpBlock() {
    const uint32_t nPage = m_nDumpPage++;
    std::vector<uint8_t> v(kNandPageSize + 1);
    m_image.ReadPage(nPage, v.data());
    const uint8_t bySum = Sum8(v.data(), kNandPageSize);
    const CFaultPlan::Decision d = m_ctx.Decide(Step::NandDumpSum, static_cast<int>(nPage));
    v[kNandPageSize] = d.bSpoil ? Spoil(bySum) : bySum;
    m_ctx.Deliver(Step::NandDumpSum, d, v);
    ++m_ctx.Rec().nNandDumpBlocks;
    m_state = State::DumpAck;
    // The host takes the last good block without answering; a bad one it
    // still answers with 0xC2.
    if (m_nDumpPage == kNandPages && !d.bSpoil) {
        m_state = State::Idle;
        m_image.Release();
        m_ctx.Trace("boot-loader: NAND dump of " + std::to_string(kNandPages) + " blocks sent");
        m_ctx.Answer(Step::NandDumpEnd, 0, kDumpEnd);
    }
}

}  // namespace orielsim
