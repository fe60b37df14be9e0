#include "tests/chaos/oriel_chaos_run.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "platform/format.h"
#include "tests/support/child_process.h"

namespace chaos {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// oriel_cli --timeout: the handset's longest silence before a run gives up.
constexpr int kTimeoutSeconds = 3;
// Beyond the time-out a run may take this long for the handshake and the
// transfers themselves (the simulated handset answers at once).
constexpr int kEndMarginSeconds = 25;

constexpr uint32_t kNorSize = 16u * 1024 * 1024;
constexpr uint32_t kNorBase = 0x10000000;
constexpr uint32_t kNandDumpBytes = 0x7D20000;

uint32_t SectorSize(int i) {
    return i < 4 || i >= 130 ? 0x8000 : 0x20000;
}
uint32_t SectorStart(int i) {
    return i <= 4     ? static_cast<uint32_t>(i) * 0x8000
           : i <= 130 ? 0x20000 + static_cast<uint32_t>(i - 4) * 0x20000
                      : 0xFE0000 + static_cast<uint32_t>(i - 130) * 0x8000;
}

enum class Kind {
    Download,
    DownloadAll,
    Erase,
    Dump,
    Mfx,
    BinMfx,
    Format,
    Status,
    List,
    Get,
    Remove,
    Stat,
    NandDump,
};

struct Plan {
    Kind kind = Kind::Status;
    std::string strWhat;
    std::vector<std::string> command;
    std::vector<std::pair<uint32_t, std::string>> images;  // NOR offset, image file
    std::vector<int> sectors;
    std::string strOut;          // the file a dump or read goes to
    std::string strHandsetPath;  // what an explorer command names
    std::map<std::string, Bytes> packageFiles;
    std::vector<std::string> packageDirs;
};

std::string SectorList(const std::vector<int>& sectors) {
    std::string s;
    for (const int i : sectors) {
        s += (s.empty() ? "" : ",") + std::to_string(i);
    }
    return s;
}

// A package of a few files in a few directories, written beside the run.
void MakePackage(CRandom& rnd, const std::string& dir, Plan& plan) {
    std::string cfg = "MFXVERSION : PROJ-CHAOS-0001  \r\nMFXRELEASEVERSION : R-2008-03-07\r\n";
    const uint32_t nDirs = rnd.Range(0, 2);
    for (uint32_t i = 0; i < nDirs; ++i) {
        plan.packageDirs.push_back("/d" + std::to_string(i));
        cfg += "DIR_NAME : " + plan.packageDirs.back() + "\r\n";
    }
    Bytes data;
    const uint32_t nFiles = rnd.Range(1, 3);
    for (uint32_t i = 0; i < nFiles; ++i) {
        const std::string parent =
            plan.packageDirs.empty() || rnd.Range(0, 1) == 0 ? "" : rnd.Pick(plan.packageDirs);
        const std::string path = parent + "/f" + std::to_string(i) + ".bin";
        const Bytes content = rnd.Fill(rnd.Range(0, 30000));
        cfg += "FILE_NAME : " + path + "\r\nFILE_SIZE : " + std::to_string(content.size()) + "\r\n";
        data.insert(data.end(), content.begin(), content.end());
        plan.packageFiles[path] = content;
    }
    WriteFile(dir + "/pkg.mfx", data);
    WriteFile(dir + "/pkg.cfg", Bytes(cfg.begin(), cfg.end()));
}

std::string Kb(size_t n) {
    return platform::Format("%.1f KB", static_cast<double>(n) / 1024.0);
}

Plan MakePlan(CRandom& rnd, const std::string& dir) {
    Plan p;
    const uint32_t pick = rnd.Range(0, 99);
    auto image = [&](const std::string& name, uint32_t nMax) {
        const std::string path = dir + "/" + name;
        WriteFile(path, rnd.Fill(rnd.Range(1, nMax)));
        return path;
    };
    if (pick < 22) {
        p.kind = Kind::Download;
        static const std::vector<std::string> kTargets = {"boot", "main", "bp"};
        static const uint32_t kOffsets[] = {0, 0x20000, 0xB00000};
        const uint32_t t = rnd.Range(0, 2);
        const std::string file = image("image.bin", 300000);
        uint32_t offset = kOffsets[t];
        p.command = {"download", kTargets[t], file};
        if (rnd.Range(0, 3) == 0) {
            offset = SectorStart(static_cast<int>(rnd.Range(4, 120)));
            p.command.push_back("--address");
            p.command.push_back(platform::Format("%X", kNorBase + offset));
        }
        p.images = {{offset, file}};
        p.strWhat = "download " + kTargets[t] + " " + Kb(ReadFile(file).size()) +
                    platform::Format(" at 0x%X", kNorBase + offset);
    } else if (pick < 30) {
        p.kind = Kind::DownloadAll;
        const std::string boot = image("boot.bin", 0x20000);
        const std::string main = image("main.bin", 0x100000);
        const std::string bp = image("bp.bin", 0x40000);
        p.command = {"download-all", boot, main, bp};
        p.images = {{0, boot}, {0x20000, main}, {0xB00000, bp}};
        p.strWhat = "download-all";
    } else if (pick < 52) {
        p.kind = pick < 40 ? Kind::Erase : Kind::Dump;
        std::set<int> chosen;
        const uint32_t n = rnd.Range(1, 3);
        for (uint32_t i = 0; i < n; ++i) {
            // Mostly the 32 KB sectors at both ends.
            static const std::vector<int> kSmall = {0, 1, 2, 3, 130, 131, 132, 133};
            chosen.insert(rnd.Range(0, 3) == 0 ? static_cast<int>(rnd.Range(4, 129))
                                               : rnd.Pick(kSmall));
        }
        p.sectors.assign(chosen.begin(), chosen.end());
        if (p.kind == Kind::Erase) {
            p.command = {"erase", SectorList(p.sectors)};
            p.strWhat = "erase " + SectorList(p.sectors);
        } else {
            p.strOut = dir + "/dump.hex";
            p.command = {"dump", SectorList(p.sectors), p.strOut};
            p.strWhat = "dump " + SectorList(p.sectors);
        }
    } else if (pick < 70) {
        p.kind = pick < 64 ? Kind::Mfx : Kind::BinMfx;
        MakePackage(rnd, dir, p);
        if (p.kind == Kind::Mfx) {
            p.command = {"mfx-download", dir + "/pkg.mfx"};
            p.strWhat = "mfx-download";
        } else {
            const std::string file = image("image.bin", 200000);
            p.images = {{0x20000, file}};
            p.command = {"bin-mfx-download", "main", file, dir + "/pkg.mfx"};
            p.strWhat = "bin-mfx-download";
        }
        p.strWhat += platform::Format(" (%zu files)", p.packageFiles.size());
    } else if (pick < 75) {
        p.kind = Kind::Format;
        p.command = {"nand-format", "--yes"};
        p.strWhat = "nand-format";
    } else if (pick < 79) {
        p.kind = Kind::Status;
        p.command = {"nand-status"};
        p.strWhat = "nand-status";
    } else if (pick < 98) {
        static const std::vector<std::string> kFiles = {"/a.bin", "/dir/b.txt", "/empty.dat"};
        if (pick < 85) {
            p.kind = Kind::List;
            p.strHandsetPath = rnd.Range(0, 1) == 0 ? "/" : "/dir";
            p.command = {"ls", p.strHandsetPath};
            p.strWhat = "ls " + p.strHandsetPath;
        } else if (pick < 92) {
            p.kind = Kind::Get;
            p.strHandsetPath = rnd.Pick(kFiles);
            p.strOut = dir + "/got.hex";
            p.command = {"get", p.strHandsetPath, p.strOut};
            p.strWhat = "get " + p.strHandsetPath;
        } else if (pick < 95) {
            p.kind = Kind::Remove;
            p.strHandsetPath = rnd.Pick(kFiles);
            p.command = {"rm", p.strHandsetPath};
            p.strWhat = "rm " + p.strHandsetPath;
        } else {
            p.kind = Kind::Stat;
            p.strHandsetPath = rnd.Pick(kFiles);
            p.command = {"stat", p.strHandsetPath};
            p.strWhat = "stat " + p.strHandsetPath;
        }
    } else {
        p.kind = Kind::NandDump;
        p.strOut = dir + "/nand.hex";
        p.command = {"nand-dump", p.strOut};
        p.strWhat = "nand-dump";
    }
    return p;
}

// The NAND before the run: files and folders as the explorer commands name them.
void MakeNand(CRandom& rnd, const std::string& nand) {
    fs::create_directories(nand + "/dir/sub");
    WriteFile(nand + "/a.bin", rnd.Fill(rnd.Range(0, 120000)));
    WriteFile(nand + "/dir/b.txt", rnd.Fill(rnd.Range(1, 5000)));
    WriteFile(nand + "/empty.dat", {});
}

Bytes Slice(const Bytes& b, uint32_t offset, size_t n) {
    if (offset > b.size()) {
        return {};
    }
    const size_t end = std::min(b.size(), static_cast<size_t>(offset) + n);
    return Bytes(b.begin() + offset, b.begin() + static_cast<std::ptrdiff_t>(end));
}

// The entries of a NAND folder as the explorer shows them: folders whose
// names start with "." left out, the metadata file never shown.
std::set<std::string> Listing(const std::string& dir) {
    std::set<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name == ".mfx-meta") {
            continue;
        }
        if (e.is_directory()) {
            if (name[0] != '.') {
                out.insert("dir  " + name);
            }
        } else {
            out.insert("file " + name);
        }
    }
    return out;
}

// What an exit status of 0 promises: the handset holds what was asked.
void CheckDone(const Plan& p, const std::string& dir, const Bytes& nor, const Bytes& norBefore,
               const std::string& out, Verdict& v) {
    const std::string nand = dir + "/nand";
    switch (p.kind) {
        case Kind::Download:
        case Kind::DownloadAll:
        case Kind::BinMfx:
            for (const auto& [offset, file] : p.images) {
                const Bytes image = ReadFile(file);
                if (Slice(nor, offset, image.size()) != image) {
                    v.Fail(platform::Format("exit 0, but the NOR at 0x%X does not hold %s",
                                            kNorBase + offset, file.c_str()));
                }
            }
            break;
        case Kind::Erase:
            for (const int s : p.sectors) {
                const Bytes held = Slice(nor, SectorStart(s), SectorSize(s));
                if (std::any_of(held.begin(), held.end(), [](uint8_t b) { return b != 0xFF; })) {
                    v.Fail("exit 0, but sector " + std::to_string(s) + " is not erased");
                }
            }
            break;
        case Kind::Dump: {
            Bytes want;
            for (const int s : p.sectors) {
                const Bytes b = Slice(norBefore, SectorStart(s), SectorSize(s));
                want.insert(want.end(), b.begin(), b.end());
            }
            if (ReadFile(p.strOut) != want) {
                v.Fail("exit 0, but the dump is not the sectors' bytes");
            }
            break;
        }
        case Kind::Format:
            if (!Listing(nand).empty()) {
                v.Fail("exit 0, but the NAND still holds entries after the format");
            }
            break;
        case Kind::List: {
            std::set<std::string> shown;
            std::istringstream in(out);
            for (std::string line; std::getline(in, line);) {
                if (line.rfind("dir  ", 0) == 0 || line.rfind("file ", 0) == 0) {
                    shown.insert(line);
                }
            }
            if (shown != Listing(nand + (p.strHandsetPath == "/" ? "" : p.strHandsetPath))) {
                v.Fail("exit 0, but the listing is not the folder's entries");
            }
            break;
        }
        case Kind::Get: {
            bool bThere = false;
            const Bytes file = ReadFile(nand + p.strHandsetPath, &bThere);
            if (!bThere || ReadFile(p.strOut) != file) {
                v.Fail("exit 0, but the file read is not the handset's file");
            }
            break;
        }
        case Kind::Remove:
            if (Exists(nand + p.strHandsetPath)) {
                v.Fail("exit 0, but the handset still holds " + p.strHandsetPath);
            }
            break;
        case Kind::Stat: {
            const Bytes file = ReadFile(nand + p.strHandsetPath);
            if (out.find("*File size : " + std::to_string(file.size()) + " byte") ==
                std::string::npos) {
                v.Fail("exit 0, but the status shows another size");
            }
            break;
        }
        case Kind::NandDump:
            if (ReadFile(p.strOut).size() != kNandDumpBytes) {
                v.Fail("exit 0, but the NAND dump is not whole");
            }
            break;
        case Kind::Status:
            break;
        case Kind::Mfx:
            break;
    }
    if (p.kind == Kind::Mfx || p.kind == Kind::BinMfx) {
        for (const std::string& d : p.packageDirs) {
            if (!fs::is_directory(nand + d)) {
                v.Fail("exit 0, but the NAND lacks the folder " + d);
            }
        }
        for (const auto& [path, content] : p.packageFiles) {
            bool bThere = false;
            if (ReadFile(nand + path, &bThere) != content || !bThere) {
                v.Fail("exit 0, but the NAND does not hold " + path + " as packed");
            }
        }
    }
}

}  // namespace

Verdict RunOriel(const Programs& programs, uint64_t nSeed, bool bKeep) {
    Verdict v;
    CRandom rnd(nSeed);
    const std::string dir = MakeRunDir("oriel_chaos_" + std::to_string(nSeed));
    if (dir.empty()) {
        v.Fail("no scratch folder");
        return v;
    }
    // Bytes of the run's own in every sector, so that erase and dump have
    // something to show.
    const Bytes norBefore = rnd.Fill(kNorSize);
    WriteFile(dir + "/nor.bin", norBefore);
    MakeNand(rnd, dir + "/nand");
    const Plan plan = MakePlan(rnd, dir);
    // A transfer to a file is few replies of many bytes: it gets the higher
    // rates, so that some of its faults strike mid-transfer.
    static const std::vector<double> kRates = {0.0, 0.005, 0.02, 0.05, 0.1};
    static const std::vector<double> kTransferRates = {0.0, 0.1, 0.2, 0.3};
    const double rate = rnd.Pick(plan.strOut.empty() ? kRates : kTransferRates);
    v.strWhat = plan.strWhat + platform::Format(", rate %g", rate);

    const std::vector<std::string> simArgs = {programs.strOrielSim,
                                              "--link",
                                              dir + "/COM1",
                                              "--nor",
                                              dir + "/nor.bin",
                                              "--nand",
                                              dir + "/nand",
                                              "--no-pace",
                                              "--chaos",
                                              std::to_string(nSeed),
                                              "--chaos-rate",
                                              platform::Format("%g", rate)};
    std::vector<std::string> cliArgs = {programs.strOrielCli,
                                        "--port",
                                        dir + "/COM1",
                                        "--speed",
                                        "921600",
                                        "--mode",
                                        "tat",
                                        "--timeout",
                                        std::to_string(kTimeoutSeconds)};
    cliArgs.insert(cliArgs.end(), plan.command.begin(), plan.command.end());
    const auto budget = std::chrono::seconds(kTimeoutSeconds + kEndMarginSeconds);
    RunEnds ends;
    if (!RunPair(simArgs, cliArgs, dir, budget, v, ends)) {
        RemoveTree(dir);
        return v;
    }
    const testsupport::CChildProcess::Ended& ended = ends.tool;
    v.strOutcome = platform::Format("exit %d in %.1f s, %d fault%s", ended.nStatus, ended.dSeconds,
                                    v.nFaults, v.nFaults == 1 ? "" : "s");
    JudgeEnds("oriel_cli", ends, budget, v);
    // The faults begin once the flash is identified. Before that the boot
    // ROM's own timing rules (a grant answered late on a loaded machine is
    // asked for again) can fail a handshake: not this campaign's business.
    const std::string err = ReadText(dir + "/tool.err");
    const bool bHandshake = err.find("oriel_cli: handshake ") != std::string::npos;
    if (ended.bExited && ended.nStatus != 0 && v.nFaults == 0 && !bHandshake) {
        v.Fail("a run without a fault failed: " + err);
    }
    if (bHandshake) {
        v.strOutcome += " (before the faults: the handshake failed)";
    }
    const Bytes nor = ReadFile(dir + "/nor.bin");
    if (ended.bExited && ended.nStatus == 0) {
        CheckDone(plan, dir, nor, norBefore, ReadText(dir + "/tool.out"), v);
    } else if (!plan.strOut.empty() && Exists(plan.strOut)) {
        v.Fail("the run failed, yet " + plan.strOut + " exists under the chosen name");
    }
    FinishRun(dir, bKeep, v);
    return v;
}

}  // namespace chaos
