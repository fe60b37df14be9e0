#pragma once
// The boot-loader's NAND commands: mount and unmount, the package download
// (checksum, clock, directories, versions, files in chunks), format and
// status, and the explorer's listing, file read, delete, file status and
// full dump. It works on the NAND store of the context.
//
// A request the handset cannot carry out (bad name, path outside the file
// system, nothing mounted, no such file) is still taken in whole, so the line
// stays in step, and is answered with the refusal: the expected byte inverted
// (a wrong sum, no 0xDC/0xE3/0xDF/0xE9/0xEE/0xF1/0xC1), and a notice says
// why. A directory that cannot be listed is answered with one empty entry of
// type 0 and, after its echo, 0xE6.
//
// Paths: every request carries its path with the zero byte that ends it,
// counted in its length. A listing request alone may come without it (the
// explorer's first "/" and its listing after a delete): there the path is the
// bytes announced, with a trailing zero taken off when present.
//
// Format and status failures are the error replies 0xF2 / 0xF3 with function
// code 0x01 (format) or 0x02 (mount and status) and the errno value that
// failed; a fault reports EIO (5).

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/oriel/handset_context.h"
#include "sim/oriel/nand_image.h"
#include "sim/oriel/nand_store.h"

namespace orielsim {

class CMfxService {
  public:
    static constexpr size_t kChunkSize = 8192;

    explicit CMfxService(CHandsetContext& ctx);
    ~CMfxService();
    CMfxService(const CMfxService&) = delete;
    CMfxService& operator=(const CMfxService&) = delete;

    // A new boot-loader: nothing mounted, nothing in progress.
    void Reset();
    // Takes the byte when it is one of its commands or belongs to one in
    // progress; false leaves it to the boot-loader.
    bool OnByte(uint8_t b);

  private:
    enum class State {
        Idle,
        Collect,     // a fixed-size argument (0xC9, 0xC4, 0xE3, 0xF5)
        NameLength,  // the 2 length bytes of 0xDB, 0xDD, 0xE8, 0xEE, 0xF0
        Name,        // the name they announce
        FileSize,    // the 4 size bytes after a 0xDD name
        ListLength,  // the length byte of 0xE5
        ListPath,
        ListEcho,   // the host echoing an entry's type byte
        ChunkData,  // the data of a 0xFE chunk
        ReadStart,  // 0xEA after the size of a file read
        ReadAck,    // 0x01 / 0x00 after a chunk read back
        DumpAck,    // 0xC1 / 0xC2 after a NAND dump block
    };

    bool OnCommand(uint8_t b);
    void BeginCollect(uint8_t cmd, size_t n);
    void OnCollected();
    void OnName();
    void SetTime(const uint8_t* p);
    void MakeDirectory(uint8_t bySum);
    void BeginFile(uint32_t nSize, uint8_t bySum);
    void BeginChunk();
    void OnChunk();
    void Complete();
    void Unmount();
    void Format();
    void Status();
    void List();
    void SendEntry();
    void OnEcho(uint8_t b);
    void ReadFile();
    void SendReadChunk();
    void EndRead();
    void Delete();
    void FileStatus();
    void StartDump();
    void SendDumpBlock();
    void DropFile(const char* why);

    // The name of a 0xDB/0xDD/0xE8/0xEE/0xF0 request as a path, refused when
    // it has no zero byte at its end, is over the limit (zero counted) or is
    // no path of the file system.
    bool NamePath(size_t nLimit, NandPath& path, std::string& why) const;
    bool Mounted(const char* what);
    void Refuse(const std::string& what, const std::string& why, uint8_t byRight);

    CHandsetContext& m_ctx;
    CNandStore& m_store;
    State m_state = State::Idle;
    uint8_t m_byCommand = 0;
    bool m_bMounted = false;

    std::array<uint8_t, 28> m_args{};
    size_t m_nNeed = 0;
    size_t m_nHave = 0;
    uint8_t m_bySum = 0;  // over the bytes after the command

    // A name being received: all of it is counted, up to kNandMaxPath + 1
    // bytes of it kept (enough to tell that a longer one is too long).
    uint32_t m_nNameLength = 0;
    uint32_t m_nNameHave = 0;
    std::string m_name;

    // Counters since the mount, for the indexed fault steps.
    int m_nDirs = 0;
    int m_nFiles = 0;
    int m_nChunks = 0;

    // The package checksum since the last 0xC9.
    bool m_bCrcArmed = false;
    uint32_t m_nCrcAnnounced = 0;
    uint32_t m_nCrc = 0;

    // The file being written.
    bool m_bFileOpen = false;
    bool m_bFileFailed = false;
    int m_nFileIndex = 0;
    std::string m_strFile;
    uint32_t m_nFileRemaining = 0;
    std::vector<uint8_t> m_chunk;
    size_t m_nChunkWant = 0;
    bool m_bLastChunk = false;

    // The listing being sent: type byte (1 file, 2 directory, 0 for the
    // placeholder of a failed listing) and name.
    std::vector<std::pair<uint8_t, std::string>> m_listing;
    size_t m_nListPos = 0;
    bool m_bListFails = false;

    // The file being read back.
    int m_hRead = -1;
    std::string m_strRead;
    uint32_t m_nReadSize = 0;
    uint32_t m_nReadSent = 0;
    int m_nReadChunk = 0;
    bool m_bReadLast = false;

    // The full dump.
    CNandImage m_image;
    uint32_t m_nDumpPage = 0;
};

}  // namespace orielsim
