// The simulated handset's NAND file system, seen from a bare tty client that
// speaks the boot-loader's file-system commands: what a package download
// leaves under the directory, what the explorer's requests read back, format
// and status, the faults, the refusal of bad requests, and the full dump.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/oriel/oriel_handset.h"
#include "sim/oriel/sim_command_line.h"
#include "tests/sim/sim_tty_client.h"

namespace {

using namespace std::chrono_literals;
using orielsim::Fault;
using orielsim::Step;
using simtest::Bytes;
using simtest::Client;
using simtest::Sum;
namespace fs = std::filesystem;

constexpr uint32_t kNandBytes = 0x7D20000;
constexpr uint32_t kPages = kNandBytes / 2048;

Bytes Be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

uint32_t GetBe32(const Bytes& b, size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) |
           b[at + 3];
}

uint32_t GetLe32(const Bytes& b, size_t at) {
    return (uint32_t{b[at + 3]} << 24) | (uint32_t{b[at + 2]} << 16) | (uint32_t{b[at + 1]} << 8) |
           b[at];
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A name as the host sends it: UTF-8 with its zero byte.
Bytes Name(const std::string& s) {
    Bytes b = Text(s);
    b.push_back(0);
    return b;
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    std::mt19937 rng(seed);
    for (uint8_t& x : b) {
        x = static_cast<uint8_t>(rng());
    }
    return b;
}

// Bit by bit, so it shares nothing with the handset's table.
uint32_t Crc32(const Bytes& b) {
    uint32_t c = 0xFFFFFFFFu;
    for (const uint8_t x : b) {
        c ^= x;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1u) != 0 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        }
    }
    return ~c;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), {});
}

std::string ReadText(const std::string& path) {
    const Bytes b = ReadFile(path);
    return std::string(b.begin(), b.end());
}

bool Has(const std::vector<std::string>& notices, const std::string& part) {
    for (const std::string& n : notices) {
        if (n.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

struct Entry {
    uint8_t byType;
    std::string strName;
    bool operator==(const Entry& o) const { return byType == o.byType && strName == o.strName; }
};

std::ostream& operator<<(std::ostream& os, const Entry& e) {
    return os << int(e.byType) << ":" << e.strName;
}

struct PackageFile {
    std::string path;
    Bytes data;
};

// The 16- and 12-byte version records; the project version is the short
// "V1.0" that drags its line end and the next line's start along.
static_assert(sizeof("V1.0\r\nMFXRELEASE") == 17);
const Bytes kProjectVersion = Text("V1.0\r\nMFXRELEASE");
const Bytes kReleaseVersion = Text("R2008.03.07A");

class NandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char base[] = "/tmp/oriel_nand_test_XXXXXX";
        ASSERT_NE(mkdtemp(base), nullptr);
        m_base = base;
        m_dir = m_base + "/nand";
    }
    void TearDown() override {
        c.reset();
        handset.reset();
        std::error_code ec;
        fs::remove_all(m_base, ec);
    }

    void Start(orielsim::HandsetOptions o = {}) {
        o.bPace = false;
        if (o.strNandDir.empty()) {
            o.strNandDir = m_dir;
        }
        c.reset();
        handset = std::make_unique<orielsim::COrielHandset>(std::move(o));
        std::string error;
        ASSERT_TRUE(handset->Start(error)) << error;
        c = simtest::OpenBootLoader(handset->SlavePath());
        ASSERT_NE(c, nullptr);
    }
    void Restart(orielsim::HandsetOptions o = {}) {
        c.reset();
        handset.reset();
        Start(std::move(o));
    }

    uint8_t Ask(const Bytes& request) {
        c->Send(request);
        return c->ReadByte();
    }
    void Sync() { EXPECT_EQ(Ask({0xD9}), 0); }
    void Mount() { ASSERT_EQ(Ask({0xDA}), 0xDA); }
    void Unmount() { EXPECT_EQ(Ask({0xE4}), 0xE4); }

    static Bytes TimeRecord(uint32_t y, uint32_t mo, uint32_t d, uint32_t h, uint32_t mi,
                            uint32_t s) {
        Bytes r{0xC4, 0, 0, 0};
        for (const uint32_t v : {s, mi, h, d, mo, y}) {
            r = Cat(r, Le32(v));
        }
        return r;
    }
    static Bytes Request(uint8_t cmd, const Bytes& name) {
        const auto n = static_cast<uint16_t>(name.size());
        return Cat({cmd, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)}, name);
    }
    // The two answers to a directory request.
    Bytes Directory(const Bytes& name) {
        c->Send(Request(0xDB, name));
        return c->Read(2);
    }
    uint8_t Header(const Bytes& name, uint32_t size) {
        return Ask(Cat(Request(0xDD, name), Be32(size)));
    }
    // Header and chunks as the host sends them, every answer checked.
    void WriteFile(const std::string& path, const Bytes& data) {
        const Bytes header = Cat(Request(0xDD, Name(path)), Be32(uint32_t(data.size())));
        ASSERT_EQ(Ask(header), Sum(Bytes(header.begin() + 1, header.end()))) << path;
        size_t at = 0;
        for (;;) {
            const size_t n = data.size() - at >= 8192 ? 8192 : data.size() - at;
            const bool last = data.size() - at < 8192;
            const Bytes chunk(data.begin() + long(at), data.begin() + long(at + n));
            c->Send(Cat({0xFE}, chunk));
            at += n;
            if (last) {
                ASSERT_EQ(c->Read(2), (Bytes{Sum(chunk), 0xDF})) << path;
                return;
            }
            ASSERT_EQ(c->ReadByte(), Sum(chunk)) << path << " at " << at;
        }
    }

    // The whole package download; crc defaults to the right one.
    void Download(std::optional<uint32_t> crc = std::nullopt) {
        m_files = {
            {"/sys/empty.bin", {}},
            {"/sys/a.bin", Pattern(8192, 1)},
            {"/sys/data/b.bin", Pattern(16384, 2)},
            {"/top.bin", Pattern(20000, 3)},
            {"a", Pattern(300, 4)},
            {"/sys/caf\xC3\xA9.txt", Pattern(100, 5)},
        };
        Bytes all;
        for (const PackageFile& f : m_files) {
            all = Cat(all, f.data);
        }
        Sync();
        Mount();
        const uint32_t crcSent = crc.value_or(Crc32(all));
        ASSERT_EQ(Ask(Cat({0xC9}, Be32(crcSent))), Sum(Be32(crcSent)));
        // 7 March 2008 14:05:09: 9 + 5 + 14 + 7 + 3 + 0xD8 + 7 = 0x105.
        ASSERT_EQ(Ask(TimeRecord(2008, 3, 7, 14, 5, 9)), 0x05);
        for (const char* d : {"/sys", "/sys/data"}) {
            const Bytes name = Name(d);
            const auto n = static_cast<uint8_t>(name.size());
            ASSERT_EQ(Directory(name), (Bytes{uint8_t(n + Sum(name)), 0xDC})) << d;
        }
        ASSERT_EQ(Ask(Cat({0xE3}, kProjectVersion)), 0xE3);
        ASSERT_EQ(Ask(Cat({0xF5}, kReleaseVersion)), 0xE3);
        for (const PackageFile& f : m_files) {
            WriteFile(f.path, f.data);
        }
        ASSERT_EQ(Ask({0xC5}), 0xC5);
        Unmount();
    }

    std::vector<Entry> List(const Bytes& path, uint8_t* pEnd = nullptr) {
        c->Send(Cat({0xE5, static_cast<uint8_t>(path.size())}, path));
        std::vector<Entry> entries;
        for (int guard = 0; guard < 1000; ++guard) {
            const Bytes len = c->Read(1);
            if (len.empty()) {
                ADD_FAILURE() << "no entry";
                break;
            }
            const Bytes rest = c->Read(size_t(len[0]) + 1);
            if (rest.size() != size_t(len[0]) + 1) {
                ADD_FAILURE() << "short entry";
                break;
            }
            // The name is read up to its zero.
            std::string name(rest.begin() + 1, rest.end());
            name = name.substr(0, name.find('\0'));
            if (len[0] > 0) {
                EXPECT_EQ(rest.back(), 0) << "an entry's name ends with its zero";
            }
            entries.push_back({rest[0], name});
            c->Send({rest[0]});
            const uint8_t next = c->ReadByte();
            if (next != 0xCB) {
                if (pEnd != nullptr) {
                    *pEnd = next;
                }
                break;
            }
        }
        return entries;
    }

    // E8 ... EA, then every chunk acknowledged with 01.
    Bytes ReadBack(const std::string& path, std::vector<size_t>* pChunks = nullptr) {
        c->Send(Request(0xE8, Name(path)));
        const Bytes head = c->Read(5);
        if (head.size() != 5 || head[0] != 0xE9) {
            ADD_FAILURE() << "no size for " << path;
            return {};
        }
        const uint32_t size = GetBe32(head, 1);
        c->Send({0xEA});
        Bytes data;
        do {
            const size_t n = std::min<size_t>(8192, size - data.size());
            const Bytes chunk = c->Read(n + 1);
            if (chunk.size() != n + 1) {
                ADD_FAILURE() << "short chunk of " << path;
                return data;
            }
            const Bytes body(chunk.begin(), chunk.end() - 1);
            EXPECT_EQ(chunk.back(), Sum(body));
            data = Cat(data, body);
            if (pChunks != nullptr) {
                pChunks->push_back(n);
            }
            c->Send({0x01});
        } while (data.size() < size);
        return data;
    }

    Bytes FileStatus(const std::string& path) {
        c->Send(Request(0xF0, Name(path)));
        const uint8_t b = c->ReadByte();
        if (b != 0xF1) {
            return {b};
        }
        return c->Read(28);
    }

    std::string P(const std::string& rel) const { return m_dir + rel; }

    std::unique_ptr<orielsim::COrielHandset> handset;
    std::unique_ptr<Client> c;
    std::string m_base;
    std::string m_dir;
    std::vector<PackageFile> m_files;
};

TEST_F(NandTest, APackageLandsUnderTheDirectoryByteExactWithItsMetadata) {
    Start();
    ASSERT_NO_FATAL_FAILURE(Download());
    for (const PackageFile& f : m_files) {
        const std::string rel = f.path[0] == '/' ? f.path : "/" + f.path;
        EXPECT_EQ(ReadFile(P(rel)), f.data) << f.path;
        EXPECT_EQ(fs::file_size(P(rel)), f.data.size()) << f.path;
    }
    EXPECT_TRUE(fs::is_directory(P("/sys/data")));
    EXPECT_EQ(handset->MfxFilesWritten(), 6);
    ASSERT_TRUE(handset->LastMfxCrcAnnounced());
    EXPECT_EQ(handset->LastMfxCrcComputed(), handset->LastMfxCrcAnnounced());
    EXPECT_FALSE(Has(handset->Notices(), "FAILED"));
    EXPECT_FALSE(handset->MfxMounted());

    const std::string meta = ReadText(P("/.mfx-meta"));
    EXPECT_NE(meta.find("time 2008-03-07T14:05:09\n"), std::string::npos) << meta;
    EXPECT_NE(meta.find("project-version 56312e300d0a4d465852454c45415345\n"), std::string::npos)
        << meta;
    EXPECT_NE(meta.find("release-version 52323030382e30332e303741\n"), std::string::npos) << meta;
    char crc[64];
    std::snprintf(crc, sizeof crc, "package-crc 0x%08x 0x%08x\n", *handset->LastMfxCrcAnnounced(),
                  *handset->LastMfxCrcAnnounced());
    EXPECT_NE(meta.find(crc), std::string::npos) << meta;
    EXPECT_NE(meta.find(" file 20000 2008-03-07T14:05"), std::string::npos) << meta;
    EXPECT_NE(meta.find(" dir 0 2008-03-07T14:05"), std::string::npos) << meta;
    EXPECT_NE(meta.find("/sys/caf\xC3\xA9.txt\n"), std::string::npos) << meta;
    EXPECT_NE(meta.find(" /a\n"), std::string::npos) << meta;
    // 9 nodes; 9 header pages and 24 data pages in use.
    EXPECT_NE(meta.find("status 64063 64030 4096 4087\n"), std::string::npos) << meta;
}

TEST_F(NandTest, ChunksAndHeadersAreFramedAsTheHostSendsThem) {
    Start();
    Sync();
    Mount();
    // The header of "a" (2 bytes with its zero), 300 bytes: 02 + 61 + 01 + 2C.
    EXPECT_EQ(Ask({0xDD, 0x00, 0x02, 0x61, 0x00, 0x00, 0x00, 0x01, 0x2C}), 0x90);
    const Bytes a = Pattern(300, 9);
    c->Send(Cat({0xFE}, a));
    EXPECT_EQ(c->Read(2), (Bytes{Sum(a), 0xDF}));
    // 16384 bytes: two full chunks, then a lone FE answered 00 and DF.
    const Bytes b = Pattern(16384, 10);
    const Bytes header = Cat(Request(0xDD, Name("/b")), Be32(16384));
    ASSERT_EQ(Ask(header), Sum(Bytes(header.begin() + 1, header.end())));
    c->Send(Cat({0xFE}, Bytes(b.begin(), b.begin() + 8192)));
    EXPECT_EQ(c->ReadByte(), Sum(Bytes(b.begin(), b.begin() + 8192)));
    c->Send(Cat({0xFE}, Bytes(b.begin() + 8192, b.end())));
    EXPECT_EQ(c->Read(1, 300ms), Bytes{Sum(Bytes(b.begin() + 8192, b.end()))});
    EXPECT_TRUE(c->Read(1, 200ms).empty()) << "no DF before the empty last chunk";
    c->Send({0xFE});
    EXPECT_EQ(c->Read(2), (Bytes{0x00, 0xDF}));
    EXPECT_EQ(ReadFile(P("/b")), b);
    // A file of 0 bytes is a lone FE; F6 (no release version) is answered E3.
    ASSERT_EQ(Header(Name("/z"), 0), Sum(Cat(Bytes{0, 3}, Cat(Name("/z"), Be32(0)))));
    c->Send({0xFE});
    EXPECT_EQ(c->Read(2), (Bytes{0x00, 0xDF}));
    EXPECT_TRUE(fs::exists(P("/z")));
    EXPECT_EQ(Ask({0xF6}), 0xE3);
    EXPECT_NE(ReadText(P("/.mfx-meta")).find("release-version none\n"), std::string::npos);
}

TEST_F(NandTest, AWrongPackageChecksumIsNoticedAndTheDownloadStillCompletes) {
    Start();
    ASSERT_NO_FATAL_FAILURE(Download(0x12345678));
    EXPECT_EQ(handset->LastMfxCrcAnnounced(), 0x12345678u);
    ASSERT_TRUE(handset->LastMfxCrcComputed());
    EXPECT_NE(*handset->LastMfxCrcComputed(), 0x12345678u);
    EXPECT_TRUE(Has(handset->Notices(), "package checksum FAILED"));
    EXPECT_NE(ReadText(P("/.mfx-meta")).find("package-crc 0x12345678 0x"), std::string::npos);
}

TEST_F(NandTest, ListingsCarryTheDotEntriesTypesAndEndMarks) {
    Start();
    ASSERT_NO_FATAL_FAILURE(Download());
    Sync();
    Mount();
    uint8_t end = 0;
    // The explorer's first request: "/" without a zero byte.
    EXPECT_EQ(List(Text("/"), &end),
              (std::vector<Entry>{{2, "."}, {2, ".."}, {1, "a"}, {2, "sys"}, {1, "top.bin"}}));
    EXPECT_EQ(end, 0xE7);
    const std::vector<Entry> sys{{2, "."},    {2, ".."},       {1, "a.bin"}, {1, "caf\xC3\xA9.txt"},
                                 {2, "data"}, {1, "empty.bin"}};
    EXPECT_EQ(List(Name("/sys"), &end), sys);  // with its zero byte
    EXPECT_EQ(end, 0xE7);
    EXPECT_EQ(List(Text("/sys"), &end), sys);  // as re-listed after a delete
    EXPECT_EQ(end, 0xE7);
    EXPECT_EQ(List(Name("/"), &end).size(), 5u);
    EXPECT_EQ(end, 0xE7);
    // Neither a missing directory nor a file can be listed.
    EXPECT_EQ(List(Name("/nowhere"), &end), (std::vector<Entry>{{0, ""}}));
    EXPECT_EQ(end, 0xE6);
    EXPECT_EQ(List(Name("/top.bin"), &end), (std::vector<Entry>{{0, ""}}));
    EXPECT_EQ(end, 0xE6);
    EXPECT_TRUE(Has(handset->Notices(), "listing of \"/nowhere\\0\" refused"));
    // A wrong echo ends the listing.
    c->Send(Cat({0xE5, 2}, Name("/")));
    const Bytes first = c->Read(3);
    ASSERT_EQ(first, (Bytes{2, 2, '.'}));
    ASSERT_EQ(c->Read(1), Bytes{0});
    c->Send({0x01});
    EXPECT_EQ(c->ReadByte(), 0xE6);
    Sync();
}

TEST_F(NandTest, FilesReadBackInChunksEachWithItsSum) {
    Start();
    ASSERT_NO_FATAL_FAILURE(Download());
    Sync();
    Mount();
    const std::vector<std::pair<std::string, std::vector<size_t>>> expect{
        {"/sys/empty.bin", {0}},          {"/sys/a.bin", {8192}}, {"/sys/data/b.bin", {8192, 8192}},
        {"/top.bin", {8192, 8192, 3616}}, {"/a", {300}},
    };
    for (const auto& [path, chunks] : expect) {
        std::vector<size_t> got;
        const Bytes data = ReadBack(path, &got);
        EXPECT_EQ(data, ReadFile(P(path))) << path;
        EXPECT_EQ(got, chunks) << path;
        EXPECT_TRUE(c->Read(1, 100ms).empty()) << "nothing after the last chunk of " << path;
    }
    // A bad chunk stops the read: nothing more comes, the next command works.
    c->Send(Request(0xE8, Name("/top.bin")));
    ASSERT_EQ(c->Read(5), Cat({0xE9}, Be32(20000)));
    c->Send({0xEA});
    ASSERT_EQ(c->Read(8193).size(), 8193u);
    c->Send({0x00});
    EXPECT_TRUE(c->Read(1, 200ms).empty());
    EXPECT_TRUE(Has(handset->Notices(), "found chunk 0 of /top.bin bad"));
    Sync();
    // A read the host never starts (no save file): the next command is served.
    c->Send(Request(0xE8, Name("/sys/a.bin")));
    ASSERT_EQ(c->Read(5), Cat({0xE9}, Be32(8192)));
    Sync();
}

TEST_F(NandTest, DeleteRemovesTheFileAndOnlyFiles) {
    Start();
    ASSERT_NO_FATAL_FAILURE(Download());
    Sync();
    Mount();
    EXPECT_EQ(Ask(Request(0xEE, Name("/sys/a.bin"))), 0xEE);
    EXPECT_FALSE(fs::exists(P("/sys/a.bin")));
    uint8_t end = 0;
    const std::vector<Entry> after{
        {2, "."}, {2, ".."}, {1, "caf\xC3\xA9.txt"}, {2, "data"}, {1, "empty.bin"}};
    EXPECT_EQ(List(Text("/sys"), &end), after);
    EXPECT_EQ(end, 0xE7);
    EXPECT_EQ(Ask(Request(0xEE, Name("/sys/a.bin"))), 0x11) << "already gone";
    EXPECT_EQ(Ask(Request(0xEE, Name("/sys/data"))), 0x11) << "a directory";
    EXPECT_TRUE(fs::is_directory(P("/sys/data")));
    EXPECT_EQ(Ask(Request(0xEE, Name("/"))), 0x11);
    EXPECT_EQ(ReadText(P("/.mfx-meta")).find("/sys/a.bin"), std::string::npos);
}

TEST_F(NandTest, FileStatusGivesRealSizesAndFatDates) {
    Start();
    ASSERT_NO_FATAL_FAILURE(Download());
    Sync();
    Mount();
    const Bytes b = FileStatus("/sys/data/b.bin");
    ASSERT_EQ(b.size(), 28u);
    EXPECT_EQ(GetBe32(b, 0), 0x81A4u);  // regular file, rw-r--r--
    const uint32_t inode = GetBe32(b, 4);
    EXPECT_GT(inode, 1u);
    EXPECT_EQ(b[8], 0x00);  // device 1
    EXPECT_EQ(b[9], 0x01);
    EXPECT_EQ(b[10], 0x00);  // dummy entry
    EXPECT_EQ(b[11], 0x00);
    EXPECT_EQ(GetBe32(b, 12), 16384u);
    const uint32_t access = GetBe32(b, 16);
    EXPECT_EQ((access >> 9) + 1980, 2008u);
    EXPECT_EQ((access >> 5) & 0xF, 3u);
    EXPECT_EQ(access & 0x1F, 7u);
    for (const size_t at : {size_t{20}, size_t{24}}) {
        const uint32_t v = GetBe32(b, at);
        EXPECT_EQ((v >> 25) + 1980, 2008u);
        EXPECT_EQ((v >> 21) & 0xF, 3u);
        EXPECT_EQ((v >> 16) & 0x1F, 7u);
        EXPECT_EQ((v >> 11) & 0x1F, 14u);
        EXPECT_EQ((v >> 5) & 0x3F, 5u);
        EXPECT_GE(v & 0x1F, 4u);  // 9 seconds, stored halved; the clock has run on a little
        EXPECT_LE(v & 0x1F, 8u);
    }
    const Bytes other = FileStatus("/top.bin");
    ASSERT_EQ(other.size(), 28u);
    EXPECT_EQ(GetBe32(other, 12), 20000u);
    EXPECT_NE(GetBe32(other, 4), inode);
    const Bytes dir = FileStatus("/sys");
    ASSERT_EQ(dir.size(), 28u);
    EXPECT_EQ(GetBe32(dir, 0), 0x41EDu);
    EXPECT_EQ(GetBe32(dir, 12), 0u);
    const Bytes root = FileStatus("/");
    ASSERT_EQ(root.size(), 28u);
    EXPECT_EQ(GetBe32(root, 4), 1u);
    EXPECT_EQ(FileStatus("/missing"), Bytes{0x0E});
}

TEST_F(NandTest, StatusCountsTheStoredFilesAndFormatEmptiesTheFileSystem) {
    Start();
    ASSERT_NO_FATAL_FAILURE(Download());
    Sync();
    c->Send({0xEC});
    ASSERT_EQ(c->ReadByte(), 0xED);
    Bytes r = c->Read(44);
    ASSERT_EQ(r.size(), 44u);
    // Nodes: the root, 2 directories, 6 files, one header page each; data
    // pages 0 + 4 + 8 + 10 + 1 + 1.
    EXPECT_EQ(GetLe32(r, 0), 0x4D465831u);
    EXPECT_EQ(GetLe32(r, 4), 2048u);
    EXPECT_EQ(GetLe32(r, 8), 11u);
    EXPECT_EQ(GetLe32(r, 12), 64063u);
    EXPECT_EQ(GetLe32(r, 16), 64063u - 33u);
    EXPECT_EQ(GetLe32(r, 20), 64063u - 33u);
    EXPECT_EQ(GetLe32(r, 24), 4096u);
    EXPECT_EQ(GetLe32(r, 28), 4096u - 9u);
    EXPECT_EQ((Bytes(r.begin() + 32, r.begin() + 36)), (Bytes{'D', 'N', 'A', 'N'}));
    EXPECT_EQ(GetLe32(r, 36), 64061u * 2048u);
    EXPECT_EQ(r[40] | (r[41] << 8), 255);

    Sync();
    EXPECT_EQ(Ask({0xE0}), 0xE1);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(m_dir)) {
        left.push_back(e.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{".mfx-meta"});
    const std::string meta = ReadText(P("/.mfx-meta"));
    EXPECT_NE(meta.find("project-version none\n"), std::string::npos) << meta;
    EXPECT_NE(meta.find("package-crc none none\n"), std::string::npos) << meta;
    EXPECT_EQ(meta.find("formatted never"), std::string::npos) << meta;
    EXPECT_NE(meta.find("time 2008-03-07T14:05:09\n"), std::string::npos) << "the clock stays";

    Sync();
    c->Send({0xEC});
    ASSERT_EQ(c->ReadByte(), 0xED);
    r = c->Read(44);
    ASSERT_EQ(r.size(), 44u);
    EXPECT_EQ(GetLe32(r, 16), 64062u);  // the root's header page alone
    EXPECT_EQ(GetLe32(r, 28), 4095u);
    Sync();
    Mount();
    uint8_t end = 0;
    EXPECT_EQ(List(Text("/"), &end), (std::vector<Entry>{{2, "."}, {2, ".."}}));
    EXPECT_EQ(end, 0xE7);
}

TEST_F(NandTest, EachFaultDrivesTheHostsFailurePathOnce) {
    orielsim::HandsetOptions o;
    std::string error;
    orielsim::SimCommandLine cl;
    ASSERT_TRUE(orielsim::ParseSimCommandLine(
        {"--link", "x", "--refuse-mount", "--format-error", "--status-error", "--listing-error",
         "--wrong", "mfx-chunk-sum:1", "--wrong", "read-chunk-sum:1", "--wrong", "nand-dump-sum:2",
         "--wrong", "dir-ack:0"},
        cl, error))
        << error;
    o.faults = cl.options.faults;
    Start(o);
    // Mount refused: the wrong byte, and nothing is served until a mount.
    EXPECT_EQ(Ask({0xDA}), 0x25);
    EXPECT_FALSE(handset->MfxMounted());
    uint8_t end = 0;
    EXPECT_EQ(List(Text("/"), &end), (std::vector<Entry>{{0, ""}}));
    EXPECT_EQ(end, 0xE6);
    Mount();
    EXPECT_TRUE(handset->MfxMounted());
    // The directory exists, its acknowledgement is wrong.
    const Bytes name = Name("/d");
    EXPECT_EQ(Directory(name), (Bytes{uint8_t(name.size() + Sum(name)), 0x23}));
    EXPECT_TRUE(fs::is_directory(P("/d")));
    // The second chunk of a file has a wrong sum.
    const Bytes data = Pattern(20000, 7);
    ASSERT_EQ(Header(Name("/d/f"), 20000), Sum(Cat(Bytes{0, 5}, Cat(Name("/d/f"), Be32(20000)))));
    c->Send(Cat({0xFE}, Bytes(data.begin(), data.begin() + 8192)));
    EXPECT_EQ(c->ReadByte(), Sum(Bytes(data.begin(), data.begin() + 8192)));
    c->Send(Cat({0xFE}, Bytes(data.begin() + 8192, data.begin() + 16384)));
    EXPECT_EQ(c->ReadByte(), uint8_t(~Sum(Bytes(data.begin() + 8192, data.begin() + 16384))));
    c->Send(Cat({0xFE}, Bytes(data.begin() + 16384, data.end())));
    EXPECT_EQ(c->Read(2), (Bytes{Sum(Bytes(data.begin() + 16384, data.end())), 0xDF}));
    // The first listing after the mount ends in E6.
    EXPECT_EQ(List(Text("/"), &end).size(), 3u);
    EXPECT_EQ(end, 0xE6);
    EXPECT_EQ(List(Text("/"), &end).size(), 3u);
    EXPECT_EQ(end, 0xE7);
    // The second chunk read back has a wrong check byte; the host says 00.
    c->Send(Request(0xE8, Name("/d/f")));
    ASSERT_EQ(c->Read(5), Cat({0xE9}, Be32(20000)));
    c->Send({0xEA});
    Bytes chunk = c->Read(8193);
    ASSERT_EQ(chunk.size(), 8193u);
    c->Send({0x01});
    chunk = c->Read(8193);
    ASSERT_EQ(chunk.size(), 8193u);
    EXPECT_NE(chunk.back(), Sum(Bytes(chunk.begin(), chunk.end() - 1)));
    c->Send({0x00});
    EXPECT_TRUE(c->Read(1, 200ms).empty());
    // Format and status fail with their error replies, and nothing is lost.
    Sync();
    c->Send({0xE0});
    EXPECT_EQ(c->Read(6), (Bytes{0xF2, 0x01, 0x00, 0x00, 0x00, 0x05}));
    EXPECT_TRUE(fs::exists(P("/d/f")));
    Sync();
    c->Send({0xEC});
    EXPECT_EQ(c->Read(6), (Bytes{0xF3, 0x02, 0x00, 0x00, 0x00, 0x05}));
    EXPECT_TRUE(c->Read(1, 200ms).empty());
    // The third NAND dump block has a wrong check byte; C2 stops the dump.
    c->Send({0xC0});
    ASSERT_EQ(c->ReadByte(), 0xC1);
    for (int k = 0; k < 3; ++k) {
        const Bytes block = c->Read(2049);
        ASSERT_EQ(block.size(), 2049u);
        const uint8_t sum = Sum(Bytes(block.begin(), block.end() - 1));
        if (k < 2) {
            EXPECT_EQ(block.back(), sum) << k;
            c->Send({0xC1});
        } else {
            EXPECT_NE(block.back(), sum);
            c->Send({0xC2});
        }
    }
    EXPECT_TRUE(c->Read(1, 300ms).empty());
    EXPECT_TRUE(Has(handset->Notices(), "NAND dump block 2 bad; dump stopped"));
    // Every fault fired once, and the second try of each succeeds.
    EXPECT_EQ(handset->FaultsFired(), 8);
    Sync();
    EXPECT_EQ(Ask({0xE0}), 0xE1);
    EXPECT_FALSE(fs::exists(P("/d")));
}

TEST_F(NandTest, BadRequestsAreRefusedWithANoticeAndNothingLeavesTheDirectory) {
    Start();
    Sync();
    // Nothing is served before the mount.
    const Bytes early = Name("/early");
    EXPECT_EQ(Directory(early), (Bytes{uint8_t(early.size() + Sum(early)), 0x23}));
    EXPECT_FALSE(fs::exists(P("/early")));
    EXPECT_EQ(Ask({0xF6}), 0x1C);
    Mount();
    const size_t notices = handset->Notices().size();

    // Directories: escaping, without the zero, empty, too long, zero inside.
    fs::create_directories(m_base + "/outside");
    for (const Bytes& bad :
         {Name("/../x"), Name("/sys/../../x"), Name(".."), Text("abc"), Bytes{},
          Name("/" + std::string(61, 'd')), Cat(Text(std::string("/a\0b", 4)), Bytes{0}),
          Name("/\xFF\xFE"), Name("/./x"), Name("/.mfx-meta")}) {
        const auto n = static_cast<uint8_t>(bad.size());
        EXPECT_EQ(Directory(bad), (Bytes{uint8_t(n + Sum(bad)), 0x23}))
            << std::string(bad.begin(), bad.end());
    }
    // A directory path of 61 characters (62 bytes with its zero) is the longest.
    const Bytes longest = Name("/" + std::string(60, 'd'));
    EXPECT_EQ(Directory(longest), (Bytes{uint8_t(62 + Sum(longest)), 0xDC}));
    EXPECT_FALSE(fs::exists(m_base + "/x"));
    EXPECT_FALSE(fs::exists(P("/x")));
    EXPECT_FALSE(fs::exists(P("/abc")));

    // File headers: refused with a wrong sum, all their bytes taken in.
    const Bytes longName = Name(std::string(600, 'f'));
    for (const Bytes& bad :
         {Name("/../escape.bin"), Text("/nozero"), longName, Name("/" + std::string(255, 'n')),
          Name("/missing/dir/f"), Name("/.mfx-meta"), Name("/")}) {
        const Bytes header = Cat(Request(0xDD, bad), Be32(10));
        EXPECT_EQ(Ask(header), uint8_t(~Sum(Bytes(header.begin() + 1, header.end()))))
            << std::string(bad.begin(), bad.begin() + long(std::min<size_t>(bad.size(), 20)));
    }
    EXPECT_FALSE(fs::exists(m_base + "/escape.bin"));
    // A name of 254 bytes is the longest.
    ASSERT_NO_FATAL_FAILURE(WriteFile("/" + std::string(254, 'n'), Pattern(5, 1)));
    // A chunk without an accepted header is refused.
    EXPECT_EQ(Ask({0xFE}), 0xFF);
    // More than the free space.
    const Bytes big = Cat(Request(0xDD, Name("/big")), Be32(0x7D20000));
    EXPECT_EQ(Ask(big), uint8_t(~Sum(Bytes(big.begin() + 1, big.end()))));
    EXPECT_TRUE(Has(handset->Notices(), "no room for /big"));

    // A link planted inside the directory leads nowhere.
    fs::create_directory_symlink(m_base + "/outside", P("/link"));
    fs::create_symlink("/etc/hostname", P("/host"));
    const Bytes viaLink = Cat(Request(0xDD, Name("/link/evil.bin")), Be32(3));
    EXPECT_EQ(Ask(viaLink), uint8_t(~Sum(Bytes(viaLink.begin() + 1, viaLink.end()))));
    EXPECT_FALSE(fs::exists(m_base + "/outside/evil.bin"));
    const Bytes overLink = Cat(Request(0xDD, Name("/host")), Be32(3));
    EXPECT_EQ(Ask(overLink), uint8_t(~Sum(Bytes(overLink.begin() + 1, overLink.end()))));
    EXPECT_EQ(Ask(Request(0xE8, Name("/host"))), 0x16);
    EXPECT_EQ(Ask(Request(0xEE, Name("/host"))), 0x11);
    EXPECT_TRUE(fs::is_symlink(P("/host")));
    uint8_t end = 0;
    EXPECT_EQ(List(Name("/link"), &end), (std::vector<Entry>{{0, ""}}));
    EXPECT_EQ(end, 0xE6);
    const std::vector<Entry> root = List(Text("/"), &end);
    EXPECT_EQ(root.size(), 4u) << "., .., the two names; links and the metadata left out";

    // Reads, deletes and status requests outside, of the metadata, or bad.
    for (const Bytes& bad :
         {Name("/../../etc/passwd"), Name("/.mfx-meta"), Text("/d"), Name("/nothing"), Bytes{}}) {
        EXPECT_EQ(Ask(Request(0xE8, bad)), 0x16);
        EXPECT_EQ(Ask(Request(0xEE, bad)), 0x11);
        EXPECT_EQ(Ask(Request(0xF0, bad)), 0x0E);
    }
    EXPECT_TRUE(fs::exists(P("/.mfx-meta")));
    // Listing requests: empty, escaping.
    EXPECT_EQ(List(Bytes{}, &end), (std::vector<Entry>{{0, ""}}));
    EXPECT_EQ(end, 0xE6);
    EXPECT_EQ(List(Text("/.."), &end), (std::vector<Entry>{{0, ""}}));
    EXPECT_EQ(end, 0xE6);
    // A time record with no such date, or with bytes 1..3 set.
    const Bytes feb30 = TimeRecord(2008, 2, 30, 1, 2, 3);
    EXPECT_EQ(Ask(feb30), uint8_t(~Sum(Bytes(feb30.begin() + 1, feb30.end()))));
    Bytes odd = TimeRecord(2008, 3, 7, 14, 5, 9);
    odd[2] = 1;
    EXPECT_EQ(Ask(odd), uint8_t(~Sum(Bytes(odd.begin() + 1, odd.end()))));

    // Every refusal was noticed; the handset still answers; nothing outside.
    EXPECT_GE(handset->Notices().size(), notices + 40);
    Sync();
    std::vector<std::string> outside;
    for (const auto& e : fs::directory_iterator(m_base)) {
        outside.push_back(e.path().filename().string());
    }
    std::sort(outside.begin(), outside.end());
    EXPECT_EQ(outside, (std::vector<std::string>{"nand", "outside"}));
    EXPECT_TRUE(fs::is_empty(m_base + "/outside"));
}

TEST_F(NandTest, TheFullDumpSendsEveryBlockOfTheImageAndEndsWithC3) {
    Start();
    ASSERT_NO_FATAL_FAILURE(Download());
    Sync();
    Mount();
    c->Send({0xC0});
    ASSERT_EQ(c->ReadByte(), 0xC1);
    Bytes expected;
    uint64_t total = 0;
    for (uint32_t k = 0; k < kPages; ++k) {
        if (k % 512 == 0) {
            expected = handset->NandImage(k * 2048, 512 * 2048);
            ASSERT_EQ(expected.size(), std::min<size_t>(512 * 2048, kNandBytes - k * 2048u));
        }
        const Bytes block = c->Read(2049);
        ASSERT_EQ(block.size(), 2049u) << "block " << k;
        const Bytes body(block.begin(), block.end() - 1);
        ASSERT_EQ(block.back(), Sum(body)) << "block " << k;
        const auto at = static_cast<long>((k % 512) * 2048);
        ASSERT_TRUE(std::equal(body.begin(), body.end(), expected.begin() + at)) << "block " << k;
        total += body.size();
        if (k == 0) {
            EXPECT_EQ(Bytes(body.begin(), body.begin() + 8), Cat(Text("MFXNAND"), Bytes{0}));
            EXPECT_EQ(GetLe32(body, 12), kPages);
            EXPECT_EQ(Bytes(body.begin() + 32, body.begin() + 48), kProjectVersion);
            EXPECT_EQ(body[48], 1);
            EXPECT_EQ(Bytes(body.begin() + 49, body.begin() + 61), kReleaseVersion);
        } else if (k == 1) {
            EXPECT_EQ(Text("NODE"), Bytes(body.begin(), body.begin() + 4));
            EXPECT_EQ(GetLe32(body, 4), 1u);  // the root
            EXPECT_EQ(body[8], 2);
        } else if (k == 2) {
            // Walk order: /a, the first name under the root.
            EXPECT_EQ(body[8], 1);
            EXPECT_EQ(GetLe32(body, 12), 300u);
            EXPECT_EQ(std::string(body.begin() + 34, body.begin() + 36), "/a");
        } else if (k == 3) {
            EXPECT_EQ(Bytes(body.begin(), body.begin() + 300), m_files[4].data);
            EXPECT_EQ(Bytes(body.begin() + 300, body.end()), Bytes(2048 - 300, 0xFF));
        } else if (k == kPages - 1) {
            EXPECT_EQ(body, Bytes(2048, 0xFF));
        }
        if (k + 1 < kPages) {
            c->Send({0xC1});
        }
    }
    EXPECT_EQ(total, 131203072u);
    EXPECT_EQ(c->ReadByte(), 0xC3);
    EXPECT_TRUE(c->Read(1, 200ms).empty());
    EXPECT_EQ(handset->NandDumpBlocks(), int(kPages));
    Sync();
}

TEST_F(NandTest, TheFileSystemOutlivesTheSimulatorAndATemporaryOneDoesNot) {
    Start();
    ASSERT_NO_FATAL_FAILURE(Download());
    Sync();
    Mount();
    const Bytes before = FileStatus("/top.bin");
    ASSERT_EQ(before.size(), 28u);
    Restart();
    Sync();
    Mount();
    uint8_t end = 0;
    EXPECT_EQ(List(Text("/"), &end).size(), 5u);
    EXPECT_EQ(FileStatus("/top.bin"), before) << "same i-node and dates";
    EXPECT_EQ(ReadBack("/top.bin"), m_files[3].data);
    EXPECT_NE(ReadText(P("/.mfx-meta")).find("project-version 56312e30"), std::string::npos);
    // A file put there by hand is part of the file system.
    std::ofstream(P("/sys/extra.txt")) << "hello";
    EXPECT_EQ(ReadBack("/sys/extra.txt"), Text("hello"));

    orielsim::HandsetOptions o;
    o.strNandDir.clear();
    o.bPace = false;
    orielsim::COrielHandset temp(o);
    std::string error;
    ASSERT_TRUE(temp.Start(error)) << error;
    const std::string dir = temp.NandDir();
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_TRUE(fs::exists(dir + "/.mfx-meta"));
    std::ofstream(dir + "/leftover") << "x";
    temp.Stop();
    EXPECT_FALSE(fs::exists(dir));
}

TEST(SimNandCommandLine, TurnsTheNandOptionsIntoSettings) {
    orielsim::SimCommandLine cl;
    std::string error;
    ASSERT_TRUE(orielsim::ParseSimCommandLine(
        {"--link", "/tmp/x", "--nand", "/tmp/n", "--refuse-mount", "--format-error",
         "--status-error", "--listing-error", "--wrong", "mfx-chunk-sum:7", "--stop-after",
         "nand-dump-sum:64063"},
        cl, error))
        << error;
    EXPECT_EQ(cl.options.strNandDir, "/tmp/n");
    ASSERT_EQ(cl.options.faults.size(), 6u);
    EXPECT_EQ(cl.options.faults[0].step, Step::MountAck);
    EXPECT_EQ(cl.options.faults[1].step, Step::FormatResult);
    EXPECT_EQ(cl.options.faults[2].step, Step::StatusResult);
    EXPECT_EQ(cl.options.faults[3].step, Step::ListEnd);
    EXPECT_EQ(cl.options.faults[4].step, Step::MfxChunkSum);
    EXPECT_EQ(cl.options.faults[4].nIndex, 7);
    EXPECT_EQ(cl.options.faults[5].kind, Fault::Kind::StopAfter);
    EXPECT_EQ(cl.options.faults[5].nIndex, 64063);
    EXPECT_FALSE(orielsim::ParseSimCommandLine({"--link", "x", "--nand"}, cl, error));
    // Every step has a name that leads back to it, and the usage lists it.
    for (const Step s : orielsim::AllSteps()) {
        EXPECT_EQ(orielsim::StepFromName(orielsim::StepName(s)), s);
        EXPECT_NE(std::string(orielsim::SimUsage()).find(orielsim::StepName(s)), std::string::npos)
            << orielsim::StepName(s);
    }
}

// The program reports a package checksum mismatch on stderr.
TEST(SimNandProgram, ReportsAPackageChecksumMismatchOnStderr) {
    char base[] = "/tmp/oriel_nand_prog_XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    const std::string link = std::string(base) + "/COM1";
    const std::string nand = std::string(base) + "/nand";
    int out[2];
    int err[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(err), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execl(ORIEL_HANDSET_SIM_PATH, ORIEL_HANDSET_SIM_PATH, "--link", link.c_str(), "--nand",
              nand.c_str(), "--no-pace", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    std::string line;
    char ch = 0;
    while (read(out[0], &ch, 1) == 1 && ch != '\n') {
        line += ch;
    }
    ASSERT_EQ(line, "ready " + link);
    {
        std::unique_ptr<Client> c = simtest::OpenBootLoader(link);
        ASSERT_NE(c, nullptr);
        c->Send({0xDA});
        ASSERT_EQ(c->ReadByte(), 0xDA);
        c->Send({0xC9, 0xDE, 0xAD, 0xBE, 0xEF});
        ASSERT_EQ(c->ReadByte(), uint8_t(0xDE + 0xAD + 0xBE + 0xEF));
        c->Send({0xDD, 0x00, 0x03, '/', 'f', 0x00, 0x00, 0x00, 0x00, 0x02});
        ASSERT_EQ(c->ReadByte(), uint8_t(3 + '/' + 'f' + 2));
        c->Send({0xFE, 'o', 'k'});
        ASSERT_EQ(c->Read(2), (Bytes{uint8_t('o' + 'k'), 0xDF}));
        c->Send({0xC5});
        ASSERT_EQ(c->ReadByte(), 0xC5);
    }
    std::string text;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (text.find("package checksum FAILED") == std::string::npos &&
           std::chrono::steady_clock::now() < until) {
        pollfd p{err[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[512];
            const ssize_t r = read(err[0], buf, sizeof buf);
            if (r > 0) {
                text.append(buf, size_t(r));
            }
        }
    }
    EXPECT_NE(text.find("sim: boot-loader: package checksum FAILED: CRC-32 of the file data"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("announced 0xDEADBEEF"), std::string::npos) << text;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(ReadFile(nand + "/f"), Text("ok"));
    close(out[0]);
    close(err[0]);
    std::error_code ec;
    fs::remove_all(base, ec);
}

}  // namespace
