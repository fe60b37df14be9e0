// Writes the seed corpus of every fuzz target: valid inputs, laid out value
// for value as each target reads them, so that fuzzing starts from complete
// conversations and well-formed files.
//
//   build/fuzz/fuzz_make_seeds fuzz/corpus
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fleet/images/container.h"
#include "fleet/images/platform_profile.h"
#include "fleet/tools/mkimg.h"
#include "fuzz/support/fuzz_input.h"

namespace {

using Bytes = std::vector<uint8_t>;
using fuzzsupport::CFuzzOutput;

std::string g_strRoot;
int g_nWritten = 0;

void Seed(const std::string& target, const std::string& name, const Bytes& bytes) {
    const std::string dir = g_strRoot + "/" + target;
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
    std::fclose(f);
    ++g_nWritten;
}

Bytes Str(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// --- oriel ---

void CodePage() {
    // page index, cap choice (0: 500, 1: 510, 2: the next byte), the name
    Seed("fuzz_code_page", "latin1",
         CFuzzOutput().Byte(2).Byte(0).String("Caf\xe9 M\xfcller.bin").Data());
    Seed("fuzz_code_page", "utf8",
         CFuzzOutput().Byte(0).Byte(1).String("sys/\xc3\xa9t\xc3\xa9.cfg").Data());
    Seed("fuzz_code_page", "sjis",
         CFuzzOutput().Byte(3).Byte(0).String("\x83\x65\x83\x58\x83\x67.txt").Data());
    Seed("fuzz_code_page", "short_cap",
         CFuzzOutput().Byte(1).Byte(2).Byte(8).String("abcdefghij").Data());
    Seed("fuzz_code_page", "gb18030",
         CFuzzOutput().Byte(5).Byte(1).String("\xd6\xd0\xce\xc4").Data());
}

void MfxPackage() {
    const std::string head = "MFXVERSION : 0123456789ABCDEF\r\n";
    Seed(
        "fuzz_mfx_package", "full",
        CFuzzOutput()
            .Byte(0)
            .U32(128)
            .String(
                head +
                "MFXRELEASEVERSION : R-2008-03-07\r\nDIR_NAME : /sys\r\nDIR_NAME : /sys/etc\r\n"
                "FILE_NAME : /sys/a.bin\r\nFILE_SIZE : 100\r\nFILE_NAME : /b\r\nFILE_SIZE : 28\r\n")
            .Data());
    Seed("fuzz_mfx_package", "latin1_names",
         CFuzzOutput()
             .Byte(0)
             .U32(7)
             .String(head +
                     "DIR_NAME : /\xe9t\xe9\r\nFILE_NAME : /\xe9t\xe9/caf\xe9\r\nFILE_SIZE : 7\r\n")
             .Data());
    Seed("fuzz_mfx_package", "no_size",
         CFuzzOutput().Byte(1).U32(0).String(head + "FILE_NAME : /a\r\n").Data());
    Seed(
        "fuzz_mfx_package", "mismatch",
        CFuzzOutput().Byte(2).U32(99).String(head + "FILE_NAME : /a\r\nFILE_SIZE : 98\r\n").Data());
    Seed("fuzz_mfx_package", "long_name",
         CFuzzOutput()
             .Byte(1)
             .U32(1)
             .String(head + "DIR_NAME : /" + std::string(70, 'd') + "\r\nFILE_NAME : /" +
                     std::string(600, 'f') + "\r\nFILE_SIZE : 1\r\n")
             .Data());
}

void NorAddress() {
    // sectors known, probe offset, address text, sector list
    Seed("fuzz_nor_address", "main",
         CFuzzOutput().Byte(1).U32(0x20000).ShortString("10020000").String("4").Data());
    Seed("fuzz_nor_address", "prefix",
         CFuzzOutput().Byte(1).U32(0).ShortString("0x10000000").String("2,5,133").Data());
    Seed("fuzz_nor_address", "range",
         CFuzzOutput().Byte(1).U32(0x8000).ShortString("10008000").String("4-20").Data());
    Seed("fuzz_nor_address", "end",
         CFuzzOutput().Byte(2).U32(0xFF8000).ShortString("10FF8000").String("0-3,130").Data());
    Seed("fuzz_nor_address", "refused",
         CFuzzOutput().Byte(0).U32(0x12345).ShortString("0x10000100").String("133-1").Data());
}

Bytes StatusRecord() {
    CFuzzOutput o;
    o.U32(0x4D465831).U32(2048).U32(11).U32(64063).U32(60000).U32(60000).U32(4096).U32(4000);
    o.U32(0x4E414E44).U32(64061 * 2048).U16(255).U16(0);
    return o.Data();
}

void NandStatus() {
    auto chunk = [](CFuzzOutput& o, const Bytes& b) {
        o.Range(1, 64, static_cast<uint32_t>(b.size())).Bytes(b);
    };
    CFuzzOutput status;
    status.Bool(false).Bytes(StatusRecord());
    chunk(status, {0x03});
    chunk(status, {0xED});
    chunk(status, StatusRecord());
    Seed("fuzz_nand_status", "status", status.Data());
    CFuzzOutput format;
    format.Bool(true).Bytes(StatusRecord());
    chunk(format, {0x03});
    chunk(format, {0xE1});
    Seed("fuzz_nand_status", "format", format.Data());
    CFuzzOutput error;
    error.Bool(true).Bytes(StatusRecord());
    chunk(error, {0x03, 0xF2});
    chunk(error, {0x81, 0x00, 0x00, 0x00, 0x05});
    Seed("fuzz_nand_status", "format_error", error.Data());
    CFuzzOutput serror;
    serror.Bool(false).Bytes(StatusRecord());
    chunk(serror, {0x03, 0xF3, 0x02, 0x00, 0x00, 0x00, 0x05});
    Seed("fuzz_nand_status", "status_error", serror.Data());
}

void ExplorerReplies() {
    auto deliver = [](CFuzzOutput& o, const Bytes& b) {
        o.Byte(0).Range(1, 300, static_cast<uint32_t>(b.size())).Bytes(b);
    };
    // Mounted, "/" listed: a file and a directory.
    const Bytes listing = {0x03, 0xDA, 0x06, 0x01, 'a', '.', 'b', 'i',  'n',
                           0x00, 0xCB, 0x04, 0x02, 'd', 'i', 'r', 0x00, 0xE7};
    CFuzzOutput get;
    get.Bool(false);
    deliver(get, listing);
    get.Byte(161).Byte(1).ShortString("a.bin");  // read the file
    // Found, 5 bytes, the chunk and its sum (532 & 0xFF).
    deliver(get, {0xE9, 0x00, 0x00, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o', 20});
    get.Byte(167);  // close
    deliver(get, {0xE4});
    Seed("fuzz_explorer_replies", "get", get.Data());

    CFuzzOutput rm;
    rm.Bool(true);
    deliver(rm, listing);
    rm.Byte(162).Bool(true).ShortString("a.bin");
    deliver(rm, {0xEE, 0x04, 0x02, 'd', 'i', 'r', 0x00, 0xE7});
    rm.Byte(163).ShortString("a.bin");  // status
    Bytes stat = {0xF1};
    for (int i = 0; i < 28; ++i) {
        stat.push_back(static_cast<uint8_t>(i * 9));
    }
    deliver(rm, stat);
    rm.Byte(160).Byte(1).ShortString("/dir");  // list a directory
    deliver(rm, {0x05, 0x01, 'x', '.', 't', 'x', 0x00, 0xE6, 0xAA});
    Seed("fuzz_explorer_replies", "delete_status_list", rm.Data());

    CFuzzOutput dump;
    dump.Bool(false);
    deliver(dump, listing);
    dump.Byte(164).Byte(1);  // the whole NAND
    // Its start, and the first bytes of the first block.
    Bytes block = {0xC1};
    for (int i = 0; i < 299; ++i) {
        block.push_back(static_cast<uint8_t>(i));
    }
    deliver(dump, block);
    Seed("fuzz_explorer_replies", "nand_dump", dump.Data());
}

// --- the engine: operation, its parameters, then an empty tape ---

enum { kDownload, kDownloadAll, kErase, kDump, kMfx, kBinThenMfx, kFormat, kStatus, kExplorer };

void Name(CFuzzOutput& o, const std::string& name) {
    static const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789_.";
    o.Range(1, 12, static_cast<uint32_t>(name.size()));
    for (const char c : name) {
        o.Byte(static_cast<uint8_t>(kAlphabet.find(c)));
    }
}

void Package(CFuzzOutput& o, bool bRelease, const std::vector<std::string>& dirs,
             const std::vector<std::pair<int, size_t>>& files) {
    o.Bool(true);  // UTF-8
    Name(o, "v1");
    o.Bool(bRelease);
    o.Range(0, 2, static_cast<uint32_t>(dirs.size()));
    for (const std::string& d : dirs) {
        Name(o, d);
    }
    o.Range(0, 3, static_cast<uint32_t>(files.size()));
    int n = 0;
    for (const auto& [parent, size] : files) {
        if (!dirs.empty()) {
            o.Bool(parent >= 0);
        }
        Name(o, "f" + std::to_string(n++));
        o.Range(0, 20000, static_cast<uint32_t>(size)).U32(static_cast<uint32_t>(7 * n));
    }
}

void Engine() {
    const std::string t = "fuzz_engine";
    const uint32_t limits[4] = {0, 0x20000, 0x60000, 0x40000};
    auto download = [&](int target, uint32_t size, bool bPowerOn) {
        CFuzzOutput o;
        o.Byte(kDownload).Byte(bPowerOn ? 0 : 1).Range(1, 3, static_cast<uint32_t>(target));
        o.Range(0, limits[target], size).U32(1234);
        return o;
    };
    Seed(t, "download_boot", download(1, 5000, false).Byte(1).Data());
    Seed(t, "download_main", download(2, 131072 + 300, false).Byte(1).Data());
    Seed(t, "download_bp_power_on", download(3, 4096, true).Byte(1).Data());
    Seed(t, "download_address",
         download(2, 40000, false).Byte(0).Bool(true).Range(0, 134, 130).Data());
    Seed(t, "download_bad_address",
         download(1, 100, false).Byte(0).Bool(false).ShortString("0x10000100").Data());
    {
        CFuzzOutput o;
        o.Byte(kDownloadAll).Byte(1).Range(1, 3, 1);
        o.Range(0, limits[1], 3000)
            .U32(1)
            .Range(0, limits[2], 70000)
            .U32(2)
            .Range(0, limits[3], 2049)
            .U32(3);
        Seed(t, "download_all", o.Data());
    }
    Seed(t, "erase", CFuzzOutput().Byte(kErase).Range(1, 4, 3).Byte(0).Byte(4).Byte(133).Data());
    Seed(t, "dump", CFuzzOutput().Byte(kDump).Range(1, 3, 2).Byte(0).Byte(7).Data());
    Seed(t, "dump_large",
         CFuzzOutput().Byte(kDump).Range(1, 3, 1).Byte(0xF0).Range(0, 133, 5).Data());
    {
        CFuzzOutput o;
        o.Byte(kMfx);
        Package(o, true, {"sys", "data"}, {{0, 100}, {1, 9000}, {-1, 0}});
        o.Byte(1);
        Seed(t, "mfx", o.Data());
    }
    {
        CFuzzOutput o;
        o.Byte(kMfx);
        Package(o, false, {}, {{-1, 8192}});
        o.Byte(1);
        Seed(t, "mfx_one_chunk", o.Data());
    }
    {
        CFuzzOutput o;
        o.Byte(kBinThenMfx);
        Package(o, true, {"d"}, {{0, 300}});
        o.Byte(1).Range(0, 0x30000, 20000).U32(77);
        Seed(t, "bin_then_mfx", o.Data());
    }
    Seed(t, "format", CFuzzOutput().Byte(kFormat).Byte(1).Data());
    Seed(t, "status", CFuzzOutput().Byte(kStatus).Data());
    static const char* const kCommands[] = {"list", "get", "delete", "stat", "nand_dump"};
    for (uint8_t c = 0; c < 5; ++c) {
        for (uint8_t p = 0; p < (c == 4 ? 1 : 2); ++p) {
            CFuzzOutput o;
            o.Byte(kExplorer).Range(0, 20000, 12000).U32(5).Range(0, 3000, 700).U32(6);
            o.Byte(c).Byte(c == 0 ? static_cast<uint8_t>(p == 0 ? 4 : 3) : p);
            Seed(t, std::string("explorer_") + kCommands[c] + (p == 0 ? "" : "_2"), o.Data());
        }
    }
}

// --- fleet ---

void CombinedImage() {
    const auto profiles = fleet::BuildPlatformProfiles();
    // A short EBOOT part, and one of the platform's length (mode bit 16): a
    // pick that is taken.
    for (const bool bWhole : {false, true}) {
        for (uint8_t row = 0; row < 4; row += 2) {
            CFuzzOutput o;
            o.Byte(row).Byte(bWhole ? 16 : 0).Byte(1).Byte(1);
            o.ShortBytes(fleet::PatternBytes(200, 1));
            if (bWhole) {
                o.Byte(7);  // the pattern's seed
            } else {
                o.ShortBytes(fleet::PatternBytes(100, 2));
            }
            o.Range(0, 2, 1).ShortBytes(fleet::PatternBytes(150, 3));
            Seed("fuzz_combined_image", (bWhole ? "whole_eboot_row" : "row") + std::to_string(row),
                 o.Data());
        }
    }
    fleet::CombinedImageParts parts;
    parts.strPlatform = profiles[3].name;
    parts.phone = fleet::PatternBytes(3000, 4);
    parts.eboot = fleet::PatternBytes(1000, 5);
    parts.regions = {fleet::BuildFlatImage(2000, 500, 6)};
    Seed("fuzz_combined_image", "raw_row3",
         CFuzzOutput().Byte(3).Byte(1).Bytes(fleet::BuildCombinedImage(parts)).Data());
}

void Container() {
    Bytes file = fleet::PatternBytes(600, 1);
    fleet::ContainerTrailer t;
    t.magic = fleet::kContainerMagic;
    t.ebootOffset = static_cast<uint32_t>(file.size());
    const Bytes eboot = fleet::PatternBytes(300, 2);
    file.insert(file.end(), eboot.begin(), eboot.end());
    t.ebootSize = static_cast<uint32_t>(eboot.size());
    t.pdaOffset = static_cast<uint32_t>(file.size());
    const Bytes pda = fleet::BuildB000ffImage(0, 2000, 3);
    file.insert(file.end(), pda.begin(), pda.end());
    t.pdaSize = static_cast<uint32_t>(pda.size());
    t.unread = {0, 0, static_cast<uint32_t>(file.size()), 0};
    t.profileIndex = 2;
    const auto trailer = fleet::EncodeContainerTrailer(t);
    file.insert(file.end(), trailer.begin(), trailer.end());
    Seed("fuzz_container", "packed_b000ff", CFuzzOutput().Byte(0).Bytes(file).Data());
    Bytes flat = fleet::PatternBytes(400, 4);
    const Bytes image = fleet::BuildFlatImage(3000, 2100, 5);
    flat.insert(flat.end(), image.begin(), image.end());
    Seed("fuzz_container", "built_trailer", CFuzzOutput().Byte(1).Bytes(flat).Data());
    Seed("fuzz_container", "no_magic",
         CFuzzOutput().Byte(3).Bytes(fleet::PatternBytes(100, 6)).Data());
}

void PhoneBinary() {
    Seed("fuzz_phone_binary", "blocks_1025",
         CFuzzOutput().Bool(true).Byte(1).Byte(0).Bytes(fleet::PatternBytes(1025, 1)).Data());
    Seed("fuzz_phone_binary", "exact_2048",
         CFuzzOutput().Bool(false).Byte(1).Byte(0).Bytes(fleet::PatternBytes(2048, 2)).Data());
    Seed("fuzz_phone_binary", "base",
         CFuzzOutput()
             .Bool(true)
             .Byte(0)
             .U32(100)
             .Byte(1)
             .Bytes(fleet::PatternBytes(3000, 3))
             .Data());
}

void ImageSize() {
    // platform, kind, probe, extension, length, the file's first bytes
    Seed("fuzz_image_size", "pda",
         CFuzzOutput()
             .Byte(3)
             .Byte(1)
             .U32(0x1600)
             .Byte(0)
             .Byte(1)
             .Byte(1)
             .Range(0x15E000, 0x15F800, 0x15F000)
             .Bytes(fleet::BuildFlatImage(3000, 1200, 1))
             .Data());
    // An EBOOT pick of the platform's length (the selector byte even).
    Seed("fuzz_image_size", "eboot",
         CFuzzOutput()
             .Byte(2)
             .Byte(0)
             .U32(0x300)
             .Byte(0)
             .Byte(0)
             .Byte(0)
             .Bytes(fleet::PatternBytes(4096, 2))
             .Data());
    // One of another length (the selector byte odd): refused.
    Seed("fuzz_image_size", "eboot_short",
         CFuzzOutput()
             .Byte(2)
             .Byte(0)
             .U32(0x300)
             .Byte(0)
             .Byte(0)
             .Byte(1)
             .Byte(0)
             .Range(0, 4096, 4096)
             .Bytes(fleet::PatternBytes(4096, 2))
             .Data());
    Seed("fuzz_image_size", "phone",
         CFuzzOutput()
             .Byte(4)
             .Byte(3)
             .U32(0)
             .Byte(1)
             .Byte(1)
             .Byte(0)
             .Range(0, 4096, 3000)
             .Bytes(fleet::PatternBytes(3000, 3))
             .Data());
}

void B000ffStream() {
    const Bytes small = fleet::BuildB000ffImage(0, 3000, 1);
    CFuzzOutput a;
    a.U32(0x1000).Byte(0).Range(0, 64, 0).Byte(1).Bytes(small);
    Seed("fuzz_b000ff_stream", "small", a.Data());
    CFuzzOutput b;
    b.U32(0x660000).Byte(0x10).Range(0, 64, 17).Byte(1).Bytes(fleet::BuildB000ffImage(1, 500, 2));
    Seed("fuzz_b000ff_stream", "one_record", b.Data());
    CFuzzOutput c;
    c.U32(0).Byte(0).Range(0, 64, 5).Byte(0).Range(1, 3000, 100).Bytes(small);
    Seed("fuzz_b000ff_stream", "short_file", c.Data());
}

void Hdlc() {
    Seed("fuzz_hdlc", "framed_ack",
         CFuzzOutput()
             .U32(0xE4000)
             .U32(0x1000)
             .ShortBytes({0xA0})
             .Bytes({0x7E, 0x02, 0x6A, 0xD3, 0x7E})
             .Data());
    Seed("fuzz_hdlc", "bare",
         CFuzzOutput().U32(0).U32(16384).ShortBytes({0x7E, 0x7D, 0x7F}).Bytes({0x02}).Data());
    Seed("fuzz_hdlc", "ok",
         CFuzzOutput().U32(1).U32(2).ShortBytes(Str("payload")).Bytes(Str("OK")).Data());
    Seed("fuzz_hdlc", "nak",
         CFuzzOutput()
             .U32(1)
             .U32(2)
             .ShortBytes(Bytes(61, 0x11))
             .Bytes({0x7E, 0x03, 0x00, 0x00, 0x7E})
             .Data());
}

void PdaReplies() {
    const Bytes okup = Str("OKUP");
    CFuzzOutput o;
    o.Byte(0).ShortBytes(okup);  // an acknowledgement
    o.Byte(2)
        .ShortBytes({0x0A, 0, 0, 0, 0x78, 0x56, 0x34, 0x12})
        .U32(0x12345678)
        .U32(0x9CA80000)
        .U32(100);
    o.Byte(3).ShortBytes({0x26, 0, 0, 0, 0x00, 0x10, 0, 0}).U32(0x800F0000).U32(4096);
    o.Byte(4).ShortBytes({0x06, 0, 0, 0}).U32(4096);
    o.Byte(8).ShortBytes(Bytes{'O', 'K', 'U', 'P', 'O', 'K', 'U', 'P'}).Range(0, 256 * 6, 600);
    o.Byte(9)
        .ShortBytes(Bytes{'O', 'K', 'U', 'P', 'O', 'K', 'U', 'P', 'O', 'K', 'U', 'P'})
        .Range(1, 2048, 520)
        .Range(0, 520 * 6, 1600);
    o.Byte(10).ShortBytes({}).U32(0x30000);
    Seed("fuzz_pda_replies", "commands", o.Data());
    Seed("fuzz_pda_replies", "fail",
         CFuzzOutput().Byte(0).ShortBytes(Str("FAIL")).Byte(1).ShortBytes(Str("OK")).Data());
}

void Worker() {
    // row, flags, answer style, then the sizes and seeds the job reads
    struct Job {
        const char* name;
        uint8_t row;
        uint8_t flags;
    };
    const Job jobs[] = {
        {"container_b000ff_phone", 2, 2},
        {"container_flat", 3, 64},
        {"container_no_eboot_phone_all", 2, 2 | 4 | 8 | 32},
        {"files_phone", 2, 1 | 2},
        {"files_multi", 3, 1 | 16},
        {"p440_container_phone", 1, 2 | 16},
    };
    for (const Job& j : jobs) {
        CFuzzOutput o;
        o.Byte(j.row).Byte(j.flags).Byte(0);
        o.U32(11).Range(1, 6000, 2500).Range(1, 20000, 9000).Range(0, 3000, 1500).U32(12);
        o.Range(0, 4096, 2000).U32(13);
        Seed("fuzz_worker", j.name, o.Data());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds CORPUS_DIR\n");
        return 2;
    }
    g_strRoot = argv[1];
    CodePage();
    MfxPackage();
    NorAddress();
    NandStatus();
    ExplorerReplies();
    Engine();
    CombinedImage();
    Container();
    PhoneBinary();
    ImageSize();
    B000ffStream();
    Hdlc();
    PdaReplies();
    Worker();
    std::printf("%d seeds written under %s\n", g_nWritten, g_strRoot.c_str());
    return 0;
}
