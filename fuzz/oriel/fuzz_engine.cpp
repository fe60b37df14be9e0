// The engine itself fed what a handset might send, in every operation state:
// NOR download (one image, All Download, an image then an MFX package), erase
// and dump, MFX download, format, status and each explorer command. The host
// is the console's session on the fake port the tests use (a pseudo-terminal
// without its receive thread; the answers go into the ring as the thread
// would put them) with scripted prompts. The handset is the simulated
// boot-loader with its NOR and NAND, run in this process; the input is a
// tape that, answer by answer, lets the simulator's answer through, flips a
// bit of it, drops it, adds bytes, cuts it short, replaces it, splits it over
// two wake-ups, or puts bytes of its own on the line while the handset is
// quiet.
//
// Invariants, checked after every wake-up and at the end:
// - the engine's state is always one of its table's, the explorer's one of
//   its own;
// - a completion is shown only for what the handset holds: the NOR holds the
//   image, erased sectors are erased, the NAND holds the package or no
//   longer holds a deleted file, a formatted NAND is empty; a dump's file
//   has the size asked for and, when no answer was touched, the handset's
//   bytes;
// - a completion after the handset refused a step (and nothing was forged
//   on the line) is a host fault;
// - a transfer that did not complete leaves nothing under the chosen name.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/pty_line.h"
#include "fuzz/support/scratch_dir.h"
#include "oriel/engine/console_view.h"
#include "oriel/engine/engine_states.h"
#include "oriel/engine/nor_sectors.h"
#include "oriel/link/serial_port.h"
#include "oriel/mfx/code_page.h"
#include "oriel/mfx/mfx_explorer.h"
#include "oriel/ui/downloader_session.h"
#include "platform/format.h"
#include "platform/scripted_prompts.h"
#include "sim/oriel/boot_loader.h"
#include "sim/oriel/handset_context.h"
#include "sim/oriel/nand_store.h"
#include "sim/oriel/nor_flash.h"
#include "tests/support/recording_explorer_view.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// --- the line -------------------------------------------------------------

// The pseudo-terminal the host's port opens, its handset end read by a
// thread of its own so that no send of the host ever waits for the harness.
using CLine = fuzzsupport::CPtyLine;

CLine& Line() {
    static CLine line;
    return line;
}

// --- the handset ------------------------------------------------------------

class CQueueWire : public orielsim::IHandsetWire {
  public:
    void Send(const uint8_t* p, size_t n) override { answers.emplace_back(p, p + n); }
    void SetUart(uint32_t, int) override {}
    uint32_t HostBaud() const override { return 921600; }
    std::deque<Bytes> answers;
};

// What a sector holds before each run: a pattern of its own, so that erase
// and dump have something to show.
uint8_t Pristine(int nSector, uint32_t i) {
    return static_cast<uint8_t>(nSector * 7 + i * 13 + (i >> 9));
}

struct CStores {
    CStores() {
        std::string error;
        FUZZ_CHECK(nor.Open("", error), "NOR in memory");
        for (int s = 0; s < orielsim::kNorSectorCount; ++s) {
            Restore(s);
        }
        FUZZ_CHECK(nand.Open(fuzzsupport::ScratchPath("nand"), error), "NAND store");
        nand.SetNoticeSink([this](const std::string& text) { notices.push_back(text); });
    }
    void Restore(int s) {
        Bytes b(orielsim::NorSectorSize(s));
        for (uint32_t i = 0; i < b.size(); ++i) {
            b[i] = Pristine(s, i);
        }
        nor.Store(orielsim::NorSectorStart(s), b.data(), b.size());
    }
    orielsim::CNorFlash nor;
    orielsim::CNandStore nand;
    std::vector<std::string> notices;
    std::set<int> dirty;  // sectors the last run may have changed
};

CStores& Stores() {
    static CStores stores;
    return stores;
}

struct CHandset {
    explicit CHandset(CStores& s) : stores(s), ctx(wire, faults, s.nor, s.nand, record, options) {
        options.fnNotice = [this](const std::string& text) {
            // Power-on is the end of a download, not a refusal.
            if (text.find("power on") == std::string::npos) {
                stores.notices.push_back(text);
            }
        };
        loader.Start(3);
        // The chip select the handshake sets: the NOR is mapped at 0x10000000.
        Feed({0xD0, 0x10, 0x00, 0x00, 0x00});
        wire.answers.clear();
    }
    void Feed(const Bytes& bytes) {
        for (const uint8_t b : bytes) {
            if (!bReleased && loader.OnByte(b) == orielsim::CBootLoader::Result::Release) {
                bReleased = true;
            }
        }
    }

    CStores& stores;
    CQueueWire wire;
    orielsim::CFaultPlan faults{{}};
    orielsim::HandsetRecord record;
    orielsim::HandsetOptions options;
    orielsim::CHandsetContext ctx;
    orielsim::CBootLoader loader{ctx};
    bool bReleased = false;
};

// --- what the run asks for ----------------------------------------------------

enum Op {
    kOpDownload,
    kOpDownloadAll,
    kOpErase,
    kOpDump,
    kOpMfx,
    kOpBinThenMfx,
    kOpFormat,
    kOpStatus,
    kOpExplorer,
    kOpCount
};

enum ExplorerCommand { kExpList, kExpGet, kExpDelete, kExpStat, kExpNandDump, kExpCount };

constexpr uint32_t kDefaultOffsets[4] = {0, 0x0, 0x20000, 0xB00000};

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// Reproducible bytes, never the same twice in a row.
Bytes Content(size_t n, uint32_t seed) {
    Bytes b(n);
    uint64_t s = seed;
    for (size_t i = 0; i < n; ++i) {
        if (i % 8 == 0) {
            s = Mix(s);
        }
        b[i] = static_cast<uint8_t>(s >> (8 * (i % 8)));
    }
    return b;
}

// Bytes of a length up to nMax and a seed, both from the input.
Bytes Content(fuzzsupport::CFuzzInput& in, uint32_t nMax) {
    const uint32_t n = in.Range(0, nMax);
    return Content(n, in.U32());
}

// A name of 1..12 characters a handset and any code page take as they are.
std::string PlainName(fuzzsupport::CFuzzInput& in) {
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789_.";
    const size_t n = in.Range(1, 12);
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kAlphabet[in.Byte() % (sizeof kAlphabet - 1)];
    }
    return s == "." || s == ".." ? "x" + s : s;
}

struct PackageFile {
    std::string path;
    Bytes data;
};

struct Package {
    std::string strMfx;
    std::vector<std::string> dirs;
    std::vector<PackageFile> files;
};

Package MakePackage(fuzzsupport::CFuzzInput& in, const std::string& dir) {
    Package p;
    std::string cfg = "MFXVERSION : " + std::string("PROJ-") + PlainName(in) + "\r\n";
    cfg.resize(cfg.size() < 31 ? 31 : cfg.size(), ' ');
    cfg += "\r\n";
    if (in.Bool()) {
        cfg += "MFXRELEASEVERSION : R-2008-03-07\r\n";
    }
    const size_t nDirs = in.Range(0, 2);
    for (size_t i = 0; i < nDirs; ++i) {
        p.dirs.push_back("/" + PlainName(in));
        cfg += "DIR_NAME : " + p.dirs.back() + "\r\n";
    }
    const size_t nFiles = in.Range(0, 3);
    Bytes all;
    for (size_t i = 0; i < nFiles; ++i) {
        const std::string parent = !p.dirs.empty() && in.Bool() ? p.dirs[i % p.dirs.size()] : "";
        PackageFile f{parent + "/" + PlainName(in), Content(in, 20000)};
        cfg +=
            "FILE_NAME : " + f.path + "\r\nFILE_SIZE : " + std::to_string(f.data.size()) + "\r\n";
        all.insert(all.end(), f.data.begin(), f.data.end());
        p.files.push_back(std::move(f));
    }
    p.strMfx = dir + "/pkg.mfx";
    FUZZ_CHECK(fuzzsupport::WriteFileBytes(p.strMfx, all) &&
                   fuzzsupport::WriteFileBytes(dir + "/pkg.cfg", Bytes(cfg.begin(), cfg.end())),
               "package written");
    return p;
}

// --- the run ----------------------------------------------------------------------

class CRun {
  public:
    CRun(fuzzsupport::CFuzzInput& in, CStores& stores)
        : m_in(in), m_stores(stores), m_handset(stores) {}

    void Go();

  private:
    // The tape's verdict on one answer: the pieces that reach the host.
    std::vector<Bytes> Tape(Bytes answer);
    void Deliver(const Bytes& bytes);
    void Pump() {
        const Bytes sent = Line().Take();
        m_handset.Feed(sent);
    }
    // Runs the conversation until the handset has nothing more to say and
    // the tape adds nothing, or the limit of answers is reached.
    void Converse(size_t nLimit);
    void CheckState();

    void PrepareSectors(const std::vector<int>& sectors);
    std::string WriteImage(const std::string& name, size_t n);
    bool Shown(const std::string& text) const;
    Bytes Nor(uint32_t offset, size_t n) const { return m_stores.nor.Read(offset, n); }
    bool NandHolds(const std::string& path, const Bytes& data) const;
    bool NandHas(const std::string& path) const {
        return fuzzsupport::FileExists(m_stores.nand.Dir() + path);
    }
    // Whether the handset refused or complained about anything.
    bool HandsetRefused() const { return m_stores.notices.size() > m_nNoticesBefore; }

    void RunDownload(bool bAll);
    void RunErase();
    void RunDump();
    void RunMfx(bool bBinFirst);
    void RunNand(bool bFormat);
    void RunExplorer();

    fuzzsupport::CFuzzInput& m_in;
    CStores& m_stores;
    CHandset m_handset;
    size_t m_nNoticesBefore = 0;
    bool m_bTouched = false;  // an answer was changed or bytes were added
    std::string m_strWork;

    oriel::CRecordingConsole m_console;
    platform::CScriptedPrompts m_prompts;
    oriel::CSerialPort m_port;
    oriel::CDownloaderSession m_session{m_port, m_console, m_prompts, nullptr};
    oriel::CMfxExplorer* m_pExplorer = nullptr;
};

std::vector<Bytes> CRun::Tape(Bytes a) {
    const uint8_t op = m_in.Byte();
    if (op < 0xC0 || a.empty()) {
        return {a};
    }
    m_bTouched = true;
    switch (op % 8) {
        case 0: {  // one bit flipped
            const size_t at = m_in.U16() % a.size();
            a[at] = static_cast<uint8_t>(a[at] ^ (1u << (m_in.Byte() % 8)));
            return {a};
        }
        case 1:  // dropped
            return {};
        case 2: {  // bytes added after it
            const Bytes extra = m_in.Bytes(m_in.Range(1, 8));
            a.insert(a.end(), extra.begin(), extra.end());
            return {a};
        }
        case 3:  // cut short
            a.resize(m_in.U16() % a.size());
            return {a};
        case 4:  // replaced
            return {m_in.ShortBytes()};
        case 5: {  // in two wake-ups
            const size_t at = m_in.U16() % a.size();
            return {Bytes(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(at)),
                    Bytes(a.begin() + static_cast<std::ptrdiff_t>(at), a.end())};
        }
        case 6: {  // bytes before it
            Bytes b = m_in.ShortBytes();
            b.insert(b.end(), a.begin(), a.end());
            return {b};
        }
        default:  // the answer of another moment: held back until after the next one
            m_handset.wire.answers.insert(m_handset.wire.answers.size() > 1
                                              ? m_handset.wire.answers.begin() + 1
                                              : m_handset.wire.answers.end(),
                                          a);
            return {};
    }
}

void CRun::CheckState() {
    const int32_t s = m_session.Engine().m_nState;
    FUZZ_CHECK(s == oriel::STATE_NONE || std::string(oriel::StateName(s)) != "state",
               "the engine is in a state of its table");
    if (m_pExplorer != nullptr) {
        using E = oriel::CMfxExplorer;
        static const std::set<int32_t> kStates = {
            E::EXP_SYNC,       E::EXP_MOUNT,          E::EXP_ENTRY_LENGTH, E::EXP_ENTRY,
            E::EXP_ENTRY_NEXT, E::EXP_FILE_FOUND,     E::EXP_FILE_SIZE,    E::EXP_FILE_DATA,
            E::EXP_DELETE,     E::EXP_STATUS_FOLLOWS, E::EXP_STATUS,       E::EXP_DUMP_START,
            E::EXP_DUMP_BLOCK, E::EXP_DUMP_END,       E::EXP_UNMOUNT,      E::EXP_LIST_FAILED,
            E::EXP_IDLE};
        FUZZ_CHECK(kStates.count(m_pExplorer->State()) != 0,
                   "the explorer is in a state of its own");
    }
}

void CRun::Deliver(const Bytes& bytes) {
    if (!m_session.IsConnected() || bytes.empty()) {
        return;
    }
    m_port.DeliverChunk(bytes.data(), static_cast<int32_t>(bytes.size()));
    m_session.OnMessage({oriel::WM_COMM_RXCHAR, 1, 0});
    CheckState();
}

void CRun::Converse(size_t nLimit) {
    for (size_t k = 0; k < nLimit && m_session.IsConnected(); ++k) {
        Pump();
        if (m_handset.wire.answers.empty()) {
            // The handset is quiet: the tape may put bytes on the line anyway.
            if (m_in.Empty() || m_in.Byte() < 0xE0) {
                return;
            }
            m_bTouched = true;
            Deliver(m_in.ShortBytes());
            continue;
        }
        Bytes answer = std::move(m_handset.wire.answers.front());
        m_handset.wire.answers.pop_front();
        for (const Bytes& piece : Tape(std::move(answer))) {
            Deliver(piece);
        }
    }
}

void CRun::PrepareSectors(const std::vector<int>& sectors) {
    for (const int s : sectors) {
        if (s >= 0 && s < orielsim::kNorSectorCount) {
            m_stores.dirty.insert(s);
        }
    }
}

std::string CRun::WriteImage(const std::string& name, size_t n) {
    const std::string path = m_strWork + "/" + name;
    const uint32_t seed = m_in.U32();
    FUZZ_CHECK(fuzzsupport::WriteFileBytes(path, Content(n, seed)), "image written");
    return path;
}

bool CRun::Shown(const std::string& text) const {
    const std::vector<std::string> texts = m_prompts.MessageTexts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

bool CRun::NandHolds(const std::string& path, const Bytes& data) const {
    Bytes held;
    return fuzzsupport::ReadFileBytes(m_stores.nand.Dir() + path, held) && held == data;
}

// The sectors an image from the offset may write.
std::vector<int> SectorsOf(uint32_t offset, size_t n) {
    std::vector<int> out;
    for (int s = 0; s < orielsim::kNorSectorCount; ++s) {
        const uint32_t start = orielsim::NorSectorStart(s);
        const uint32_t end = start + orielsim::NorSectorSize(s);
        if (end > offset && start <= offset + n) {
            out.push_back(s);
        }
    }
    return out;
}

void CRun::RunDownload(bool bAll) {
    oriel::NorDownloadControls& c = m_session.Download().m_controls;
    c = {};
    c.nTab = oriel::kTabTamarin2;
    c.bPowerOn = m_in.Byte() % 8 == 0;
    std::array<size_t, 4> sizes{};
    std::array<std::string, 4> paths{};
    std::array<uint32_t, 4> offsets = {0, kDefaultOffsets[1], kDefaultOffsets[2],
                                       kDefaultOffsets[3]};
    // Boot loader and main binary must not overlap in an All Download.
    const size_t limits[4] = {0, 0x20000, 0x60000, 0x40000};
    const int32_t single = static_cast<int32_t>(m_in.Range(1, 3));
    for (int32_t t = 1; t <= 3; ++t) {
        if (!bAll && t != single) {
            continue;
        }
        sizes[static_cast<size_t>(t)] = m_in.Range(0, static_cast<uint32_t>(limits[t]));
        paths[static_cast<size_t>(t)] =
            WriteImage("img" + std::to_string(t) + ".bin", sizes[static_cast<size_t>(t)]);
        c.astrBinPath[static_cast<size_t>(t)] = paths[static_cast<size_t>(t)];
    }
    if (!bAll && m_in.Byte() % 4 == 0) {
        // "Start NOR Addr(hex):" edited: a sector start, or any text at all.
        c.abAddrEnabled[static_cast<size_t>(single)] = true;
        std::string text;
        if (m_in.Bool()) {
            const int s = static_cast<int>(m_in.Range(0, orielsim::kNorSectorCount));
            text = platform::Format(
                "%X", 0x10000000u + (s < orielsim::kNorSectorCount ? orielsim::NorSectorStart(s)
                                                                   : m_in.U32() % 0x1000000u));
        } else {
            text = m_in.ShortString();
        }
        c.astrAddr[static_cast<size_t>(single)] = text;
        const uint32_t value = oriel::ParseHexAddress(text.substr(0, 16));
        offsets[static_cast<size_t>(single)] = value - oriel::kNorBusBase;
    }
    for (int32_t t = 1; t <= 3; ++t) {
        if (!paths[static_cast<size_t>(t)].empty() &&
            offsets[static_cast<size_t>(t)] < orielsim::kNorSize) {
            PrepareSectors(
                SectorsOf(offsets[static_cast<size_t>(t)], sizes[static_cast<size_t>(t)]));
        }
    }
    const bool bStarted = bAll          ? m_session.Download().DownloadAll()
                          : single == 1 ? m_session.Download().DownloadBootLoader()
                          : single == 2 ? m_session.Download().DownloadMainBinary()
                                        : m_session.Download().DownloadBpEngine();
    if (bStarted) {
        Converse(200000);
    }
    const bool bDone = Shown(bAll ? "Download All completed!" : "Download completed!");
    if (bDone && !HandsetRefused()) {
        for (int32_t t = 1; t <= 3; ++t) {
            const size_t i = static_cast<size_t>(t);
            if (paths[i].empty()) {
                continue;
            }
            Bytes image;
            FUZZ_CHECK(fuzzsupport::ReadFileBytes(paths[i], image), "image read back");
            FUZZ_CHECK(Nor(offsets[i], image.size()) == image,
                       "a completed download: the NOR holds the image");
        }
    }
    FUZZ_CHECK(!bDone || m_bTouched || !HandsetRefused(),
               "no completion after the handset refused a step");
}

void CRun::RunErase() {
    oriel::g_abSectorSelected.fill(0);
    std::vector<int> chosen;
    const size_t n = m_in.Range(1, 4);
    for (size_t i = 0; i < n; ++i) {
        const int s = static_cast<int>(m_in.Range(0, orielsim::kNorSectorCount - 1));
        oriel::g_abSectorSelected[static_cast<size_t>(s)] = 1;
        chosen.push_back(s);
    }
    PrepareSectors(chosen);
    if (m_session.Erase().StartSelected()) {
        Converse(2000);
    }
    const bool bDone = Shown("Erasing Completed!");
    if (bDone && !HandsetRefused()) {
        for (const int s : chosen) {
            const Bytes held = Nor(orielsim::NorSectorStart(s), orielsim::NorSectorSize(s));
            FUZZ_CHECK(std::all_of(held.begin(), held.end(), [](uint8_t b) { return b == 0xFF; }),
                       "an erase that completed left the sectors erased");
        }
    }
    FUZZ_CHECK(!bDone || m_bTouched || !HandsetRefused(),
               "no completion after the handset refused a step");
}

void CRun::RunDump() {
    // Small sectors mostly: the dump's blocks are 8 KB each.
    static const int kSmall[] = {0, 1, 2, 3, 130, 131, 132, 133};
    oriel::g_abSectorSelected.fill(0);
    std::set<int> chosen;
    const size_t n = m_in.Range(1, 3);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t pick = m_in.Byte();
        chosen.insert(pick < 0xF0 ? kSmall[pick % 8]
                                  : static_cast<int>(m_in.Range(0, orielsim::kNorSectorCount - 1)));
    }
    Bytes expected;
    for (const int s : chosen) {
        oriel::g_abSectorSelected[static_cast<size_t>(s)] = 1;
        const Bytes b = Nor(orielsim::NorSectorStart(s), orielsim::NorSectorSize(s));
        expected.insert(expected.end(), b.begin(), b.end());
    }
    const std::string out = m_strWork + "/dump.hex";
    if (m_session.Dump().StartSelected(out)) {
        Converse(400);
    }
    m_session.Stop();
    Bytes held;
    const bool bHeld = fuzzsupport::ReadFileBytes(out, held);
    if (Shown("Dump Completed!")) {
        FUZZ_CHECK(bHeld && held.size() == expected.size(), "a completed dump has every block");
        FUZZ_CHECK(m_bTouched || held == expected, "an untouched dump holds the handset's bytes");
    } else {
        FUZZ_CHECK(!bHeld, "a dump that did not complete leaves nothing under the chosen name");
    }
}

void CRun::RunMfx(bool bBinFirst) {
    oriel::SetAnsiCodePage(m_in.Bool() ? "UTF-8" : "ISO-8859-1");
    std::string error;
    FUZZ_CHECK(m_stores.nand.Format(error) == 0, "NAND formatted");
    const Package pkg = MakePackage(m_in, m_strWork);
    m_session.Package().m_strMfxPath = pkg.strMfx;
    oriel::NorDownloadControls& c = m_session.Download().m_controls;
    c = {};
    c.nTab = oriel::kTabTamarin2;
    c.bPowerOn = m_in.Byte() % 8 == 0;
    std::string image;
    size_t nImage = 0;
    if (bBinFirst) {
        nImage = m_in.Range(0, 0x30000);
        image = WriteImage("img.bin", nImage);
        c.astrBinPath[2] = image;
        PrepareSectors(SectorsOf(kDefaultOffsets[2], nImage));
    }
    const bool bStarted = bBinFirst
                              ? m_session.Download().DownloadBinThenMfx(oriel::kTargetMainBinary)
                              : m_session.Mfx().StartMfxDownload();
    if (bStarted) {
        Converse(20000);
    }
    const bool bDone = Shown("Download completed!");
    if (bDone && !HandsetRefused()) {
        for (const std::string& dir : pkg.dirs) {
            FUZZ_CHECK(fs::is_directory(m_stores.nand.Dir() + dir),
                       "a completed package: its directories exist");
        }
        // A later file of the same path replaces an earlier one.
        for (size_t i = 0; i < pkg.files.size(); ++i) {
            bool bLater = false;
            for (size_t j = i + 1; j < pkg.files.size(); ++j) {
                bLater = bLater || pkg.files[j].path == pkg.files[i].path;
            }
            FUZZ_CHECK(bLater || NandHolds(pkg.files[i].path, pkg.files[i].data),
                       "a completed package: the NAND holds its files");
        }
        if (bBinFirst) {
            Bytes bytes;
            FUZZ_CHECK(fuzzsupport::ReadFileBytes(image, bytes), "image read back");
            FUZZ_CHECK(Nor(kDefaultOffsets[2], bytes.size()) == bytes,
                       "a completed download: the NOR holds the image");
        }
    }
    FUZZ_CHECK(!bDone || m_bTouched || !HandsetRefused(),
               "no completion after the handset refused a step");
}

void CRun::RunNand(bool bFormat) {
    std::string error;
    // Something to format away.
    m_stores.nand.Format(error);
    m_stores.nand.MakeDirectory({"keep"}, error);
    if (bFormat) {
        m_prompts.m_yesNoAnswers.push_back(m_in.Byte() % 8 == 0 ? platform::MsgAnswer::No
                                                                : platform::MsgAnswer::Yes);
    }
    const bool bStarted = bFormat ? m_session.Nand().StartFormat() : m_session.Nand().StartStatus();
    if (bStarted) {
        Converse(200);
    }
    const bool bDone = Shown("NAND-Formatting Completed!");
    FUZZ_CHECK(bFormat || !bDone, "a status never says a format completed");
    if (bDone && !HandsetRefused()) {
        FUZZ_CHECK(!NandHas("/keep"), "a completed format leaves the NAND empty");
    }
    FUZZ_CHECK(!bDone || m_bTouched || !HandsetRefused(),
               "no completion after the handset refused a step");
}

void CRun::RunExplorer() {
    oriel::SetAnsiCodePage("ISO-8859-1");
    std::string error;
    orielsim::CNandStore& nand = m_stores.nand;
    FUZZ_CHECK(nand.Format(error) == 0, "NAND formatted");
    const Bytes a = Content(m_in, 20000);
    const Bytes b = Content(m_in, 3000);
    auto put = [&](const orielsim::NandPath& path, const Bytes& data) {
        FUZZ_CHECK(nand.BeginFile(path, static_cast<uint32_t>(data.size()), error) == 0 &&
                       nand.AppendFile(data.data(), data.size(), error) == 0,
                   "NAND file made");
        nand.EndFile();
    };
    FUZZ_CHECK(
        nand.MakeDirectory({"dir"}, error) == 0 && nand.MakeDirectory({"dir", "sub"}, error) == 0,
        "NAND directories made");
    put({"a.bin"}, a);
    put({"dir", "b.txt"}, b);
    m_stores.notices.clear();
    m_nNoticesBefore = 0;

    static const char* const kPaths[] = {"/a.bin", "/dir/b.txt", "/dir/none", "/dir/sub", "/"};
    const auto command = static_cast<ExplorerCommand>(m_in.Byte() % kExpCount);
    const std::string path = kPaths[m_in.Byte() % std::size(kPaths)];
    const size_t slash = path.rfind('/');
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    const std::string out = m_strWork + "/out.hex";

    testsupport::RecordingView view;
    oriel::CMfxExplorer exp(m_session.Port(), m_prompts, view);
    exp.SetClock([] { return std::time_t{1207577109}; });
    m_pExplorer = &exp;
    m_session.TakeOverReceive([&exp] { exp.OnExplorerRx(); });
    exp.Open();
    Converse(200);
    if (command == kExpList) {
        exp.ListDirectory(exp.ItemForPath(path));
        Converse(200);
    } else {
        if (dir != "/") {
            exp.ListDirectory(exp.ItemForPath(dir));
            Converse(200);
        }
        m_prompts.m_saveAnswers.push_back(out);
        m_prompts.m_yesNoAnswers.push_back(platform::MsgAnswer::Yes);
        switch (command) {
            case kExpGet:
                exp.DumpSelectedFile(name);
                Converse(200);
                break;
            case kExpDelete:
                exp.DeleteSelectedFile(name);
                Converse(200);
                break;
            case kExpStat:
                exp.ShowFileStatus(name);
                Converse(200);
                break;
            default:
                exp.DumpWholeNand();
                Converse(40);  // a whole dump is 64064 blocks: only its start here
                break;
        }
    }
    exp.CloseExplorer();
    Converse(50);
    m_session.GiveBackReceive();
    m_pExplorer = nullptr;
    m_session.Stop();

    for (const std::string& file : exp.Files()) {
        FUZZ_CHECK(file.find('\0') == std::string::npos, "no zero byte in a listed name");
    }
    Bytes held;
    const bool bHeld = fuzzsupport::ReadFileBytes(out, held);
    if (command == kExpGet && Shown("Dump Completed!")) {
        const Bytes& want = path == "/a.bin" ? a : b;
        FUZZ_CHECK(bHeld && (path == "/a.bin" || path == "/dir/b.txt"),
                   "a completed read leaves the file under the chosen name");
        FUZZ_CHECK(held.size() == want.size() || m_bTouched, "a completed read has every byte");
        FUZZ_CHECK(m_bTouched || held == want, "an untouched read holds the handset's bytes");
    } else {
        FUZZ_CHECK(!bHeld, "a transfer that did not complete leaves nothing under the chosen name");
    }
    if (command == kExpDelete && !m_bTouched && view.log.find("'... OK!") != std::string::npos) {
        FUZZ_CHECK(!NandHas(path), "a delete the handset answered removed the file");
    }
}

void CRun::Go() {
    m_strWork = fuzzsupport::ScratchPath("work");
    std::error_code ec;
    fs::remove_all(m_strWork, ec);
    fs::create_directories(m_strWork, ec);

    m_port.SetPrompts(&m_prompts);
    FUZZ_CHECK(m_port.OpenPath(Line().SlavePath(), 1, 921600, true), "the port opens");
    Line().Take();  // nothing of an earlier run
    oriel::CDownloaderEngine& e = m_session.Engine();
    e.SetClock([] { return std::time_t{1207577109}; });
    // Where the handshake leaves a connection: the flash identified, idle.
    oriel::g_nNorSectors = oriel::kNorSectorCount;
    e.m_bIdentified = 1;
    e.m_nState = oriel::IDLE;
    m_nNoticesBefore = m_stores.notices.size();

    switch (static_cast<Op>(m_in.Byte() % kOpCount)) {
        case kOpDownload:
            RunDownload(false);
            break;
        case kOpDownloadAll:
            RunDownload(true);
            break;
        case kOpErase:
            RunErase();
            break;
        case kOpDump:
            RunDump();
            break;
        case kOpMfx:
            RunMfx(false);
            break;
        case kOpBinThenMfx:
            RunMfx(true);
            break;
        case kOpFormat:
            RunNand(true);
            break;
        case kOpStatus:
            RunNand(false);
            break;
        default:
            RunExplorer();
            break;
    }
    m_session.Stop();
    CheckState();
    if (std::getenv("ORIEL_FUZZ_VERBOSE") != nullptr) {
        std::fprintf(stderr, "engine: state %d, touched %d, handset notices %zu, boxes:",
                     m_session.Engine().m_nState, m_bTouched ? 1 : 0,
                     m_stores.notices.size() - m_nNoticesBefore);
        for (const std::string& text : m_prompts.MessageTexts()) {
            std::fprintf(stderr, " \"%s\"", text.c_str());
        }
        std::fprintf(stderr, "\n");
        for (size_t i = m_nNoticesBefore; i < m_stores.notices.size(); ++i) {
            std::fprintf(stderr, "  handset: %s\n", m_stores.notices[i].c_str());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    CStores& stores = Stores();
    for (const int s : stores.dirty) {
        stores.Restore(s);
    }
    stores.dirty.clear();
    stores.notices.clear();
    fuzzsupport::CFuzzInput in(pData, nSize);
    CRun run(in, stores);
    run.Go();
    return 0;
}
