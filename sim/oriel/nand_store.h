#pragma once
// The handset's NAND file system (MFX) kept as a real directory tree: every
// handset directory and file is a directory and file under the root
// directory, so what the host wrote can be checked with ordinary tools. What a
// plain tree cannot hold (i-nodes, the handset's own dates, the version
// records, the package checksum) lives in the metadata file ".mfx-meta" at the
// root; the handset never shows it and rewrites it after every change.
//
// Every access goes through descriptors opened below the root without
// following symbolic links, so no handset path can reach outside the root.
//
// Geometry (what the status record and the full dump report): 64064 pages of
// 2048 bytes (0x7D20000 bytes). Page 0 is the superblock; every node (the root
// included) takes one header page plus one page per started 2048 bytes of
// data, and at most 4096 nodes exist. The status record therefore reports
// f_type 0x4D465831, f_bsize 2048, f_bsizebits 11, f_blocks 64063, f_bfree =
// f_bavail = the pages no node takes, f_files 4096, f_ffree = 4096 - nodes,
// f_fsid "NAND", f_maxfilesize 64061 * 2048 (one file alone beside the root)
// and f_namelen 255 (a name with its zero byte, as every length on the wire).
//
// The metadata file, one record a line ('#' lines are comments):
//   mfx-meta 1
//   formatted 2008-03-07T14:05:09 | never
//   time 2008-03-07T14:05:09 | none           the last time record the host sent
//   project-version <32 hex digits> | none
//   release-version <24 hex digits> | none
//   package-crc <announced> <computed>        0x%08x each, or none
//   next-inode N
//   status <f_blocks> <f_bfree> <f_files> <f_ffree>
//   node <inode> dir|file <size> <change> <modify> <access> <path>
// Paths are %XX-escaped where a byte would break the line. Sizes and the
// status line are rewritten from the tree each time; nodes no longer in the
// tree are dropped, and a file put there by hand gets its node when first
// seen.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orielsim {

constexpr uint32_t kNandSize = 0x7D20000;
constexpr uint32_t kNandPageSize = 2048;
constexpr uint32_t kNandPages = kNandSize / kNandPageSize;  // 64064
constexpr uint32_t kNandDataBlocks = kNandPages - 1;        // all but the superblock
constexpr uint32_t kNandNodes = 4096;
// Longest name in a directory, in bytes, its zero not counted: a listing
// entry's length byte counts the name with its zero.
constexpr size_t kNandMaxName = 254;
// Longest path a request may carry, its zero counted.
constexpr size_t kNandMaxPath = 510;
// Longest directory path a 0xDB request may create, its zero counted.
constexpr size_t kNandMaxDirPath = 62;
constexpr const char* kNandMetaName = ".mfx-meta";

// The handset's clock: seconds since 1970-01-01 00:00:00 of whatever local
// time the host set (no time zone is applied anywhere).
using CivilSeconds = int64_t;

struct CivilTime {
    int nYear = 1980;
    int nMonth = 1;
    int nDay = 1;
    int nHour = 0;
    int nMinute = 0;
    int nSecond = 0;
};
// False when a field is out of range (years 1980..2107, as FAT dates hold).
bool CivilTimeValid(const CivilTime& t);
CivilSeconds ToCivilSeconds(const CivilTime& t);
CivilTime FromCivilSeconds(CivilSeconds s);
// "2008-03-07T14:05:09", and back.
std::string FormatCivil(CivilSeconds s);
bool ParseCivil(std::string_view text, CivilSeconds& s);
// FAT-style packing: the date alone ((year - 1980) << 9 | month << 5 | day),
// and date with time (date << 16 | hour << 11 | minute << 5 | second / 2).
uint32_t FatDate(CivilSeconds s);
uint32_t FatDateTime(CivilSeconds s);

// A handset path split into its names; empty for the root.
using NandPath = std::vector<std::string>;

// A path as the host sent it, its zero byte already taken off. Refused (false
// with the reason) when it is empty, not UTF-8, holds a zero byte, has a "."
// or ".." name or a name over kNandMaxName bytes, or names the metadata file.
// Empty names (a leading, doubled or trailing "/") are skipped; a path without
// a leading "/" is taken from the root as well.
bool ParseNandPath(std::string_view text, NandPath& path, std::string& why);
std::string JoinNandPath(const NandPath& path);  // "/a/b"; "/" for the root

struct NandEntry {
    std::string strName;
    bool bDirectory = false;
};

struct NandNodeInfo {
    bool bDirectory = false;
    uint32_t nInode = 0;
    uint32_t nSize = 0;  // 0 for directories
    CivilSeconds tAccess = 0;
    CivilSeconds tModify = 0;
    CivilSeconds tChange = 0;
};

// One node of a walk over the whole tree.
struct NandNode {
    NandPath path;
    NandNodeInfo info;
};

// The values of the status record.
struct NandStatus {
    uint32_t nType = 0;
    uint32_t nBlockSize = 0;
    uint32_t nBlockBits = 0;
    uint32_t nBlocks = 0;
    uint32_t nFreeBlocks = 0;
    uint32_t nAvailBlocks = 0;
    uint32_t nNodes = 0;
    uint32_t nFreeNodes = 0;
    uint32_t nFsid = 0;
    uint32_t nMaxFileSize = 0;
    int16_t nNameLen = 0;
};

constexpr uint32_t kNandFsType = 0x4D465831;     // "MFX1" in ASCII, most significant first
constexpr uint32_t kNandFsid = 0x4E414E44;       // the host prints it as "NAND"
constexpr uint32_t kNandModeFile = 0x81A4;       // regular file, rw-r--r--
constexpr uint32_t kNandModeDirectory = 0x41ED;  // directory, rwxr-xr-x
constexpr uint16_t kNandDeviceId = 1;

// Pages a node takes: its header and its data.
uint32_t NandNodePages(const NandNodeInfo& info);

class CNandStore {
  public:
    CNandStore() = default;
    ~CNandStore();
    CNandStore(const CNandStore&) = delete;
    CNandStore& operator=(const CNandStore&) = delete;

    // An empty path makes a fresh temporary directory that Close removes.
    // A missing directory is created (with its parents); a metadata file in
    // it is read back.
    bool Open(const std::string& strDir, std::string& error);
    void Close();
    bool IsOpen() const { return m_hRoot >= 0; }
    const std::string& Dir() const { return m_strDir; }
    bool IsTemporary() const { return m_bTemporary; }
    std::string MetadataPath() const { return m_strDir + "/" + kNandMetaName; }
    // Problems that are nobody's answer (the metadata could not be written).
    void SetNoticeSink(std::function<void(const std::string&)> fn) { m_fnNotice = std::move(fn); }

    // The clock runs on from the last time the host set.
    void SetClock(CivilSeconds t);
    CivilSeconds Now() const;

    void SetProjectVersion(const std::array<uint8_t, 16>& version);
    void SetReleaseVersion(const std::optional<std::array<uint8_t, 12>>& version);
    // The package checksum as announced, and what the data since then gave.
    void SetPackageCrc(uint32_t nAnnounced);
    void SetPackageCrcComputed(uint32_t nComputed);

    // Each returns 0 or an errno value, with the reason in why.
    int MakeDirectory(const NandPath& path, std::string& why);
    // Creates (or empties) the file and keeps it open for AppendFile; nSize
    // is what the host announced, checked against the free space.
    int BeginFile(const NandPath& path, uint32_t nSize, std::string& why);
    int AppendFile(const uint8_t* p, size_t n, std::string& why);
    void EndFile();
    bool Writing() const { return m_hWrite >= 0; }
    // The directory's entries, sorted by name; the metadata file is left out.
    int List(const NandPath& path, std::vector<NandEntry>& entries, std::string& why);
    // A descriptor the caller closes; the access date becomes today.
    int OpenForReading(const NandPath& path, int& hFile, uint32_t& nSize, std::string& why);
    int Remove(const NandPath& path, std::string& why);
    int Stat(const NandPath& path, NandNodeInfo& info, std::string& why);
    // Empties the file system; versions and checksums go with it, the clock
    // stays.
    int Format(std::string& why);
    int Status(NandStatus& status, std::string& why);

    // Every node, root first, each directory followed by its entries in name
    // order (the order the full dump lays them out in).
    int Walk(std::vector<NandNode>& nodes, std::string& why);
    // A regular file below the root, for reading; -1 with errno otherwise.
    int OpenFile(const NandPath& path) const;

    std::optional<std::array<uint8_t, 16>> ProjectVersion() const { return m_projectVersion; }
    std::optional<std::array<uint8_t, 12>> ReleaseVersion() const { return m_releaseVersion; }
    std::optional<CivilSeconds> TimeSet() const { return m_timeSet; }

  private:
    struct NodeMeta {
        uint32_t nInode = 0;
        CivilSeconds tAccess = 0;
        CivilSeconds tModify = 0;
        CivilSeconds tChange = 0;
    };

    // The directory made of the path's first nNames names; -1 with errno.
    int OpenDirectory(const NandPath& path, size_t nNames) const;
    NodeMeta& Meta(const NandPath& path);
    int Usage(uint32_t& nNodes, uint32_t& nPages, std::string& why);
    int WalkDirectory(int hDir, NandPath& path, std::vector<NandNode>& nodes, int nDepth);
    void LoadMetadata();
    void SaveMetadata();
    void ResetRecords();
    void Notice(const std::string& text);

    std::string m_strDir;
    bool m_bTemporary = false;
    int m_hRoot = -1;
    int m_hWrite = -1;
    NandPath m_writePath;
    std::function<void(const std::string&)> m_fnNotice;

    CivilSeconds m_clockBase = 0;
    std::chrono::steady_clock::time_point m_clockSetAt{};
    std::optional<CivilSeconds> m_timeSet;
    std::optional<CivilSeconds> m_formatted;
    std::optional<std::array<uint8_t, 16>> m_projectVersion;
    std::optional<std::array<uint8_t, 12>> m_releaseVersion;
    std::optional<uint32_t> m_crcAnnounced;
    std::optional<uint32_t> m_crcComputed;
    uint32_t m_nNextInode = 2;               // the root is 1
    std::map<std::string, NodeMeta> m_meta;  // by JoinNandPath
};

}  // namespace orielsim
