#include "cli/oriel/cli_options.h"

#include "oriel/engine/file_object.h"
#include "oriel/engine/nor_download.h"
#include "oriel/engine/nor_sectors.h"
#include "oriel/engine/output_file.h"
#include "oriel/mfx/mfx_package.h"
#include "platform/format.h"
#include "platform/option_value.h"
#include "platform/settings_store.h"

namespace orielcli {

const char* CliUsage() {
    return "Usage: oriel_cli [options] COMMAND [COMMAND ...]\n"
           "  or:  oriel_cli --list-ports [--settings FILE]\n"
           "  or:  oriel_cli history [--help] [options]   the jobs recorded (flash history)\n"
           "  or:  oriel_cli --help | --version\n"
           "Commands (run in order on one connection):\n"
           "  info                                  report the detected flash\n"
           "  download boot|main|bp FILE [--address HEX]\n"
           "                                        one image; --address overrides its start\n"
           "  download-all BOOT_FILE MAIN_FILE BP_FILE\n"
           "                                        the three images in a row\n"
           "      (either download takes --verify: read the flash back and compare)\n"
           "  verify boot|main|bp FILE [--address HEX]\n"
           "                                        compare the NOR flash with an image\n"
           "  erase SECTORS                         e.g. 4  or 2,5,133  or 4-20\n"
           "  dump SECTORS OUTFILE                  raw bytes of the sectors, ascending\n"
           "  mfx-download PACKAGE.mfx              write an MFX package (its .cfg beside it)\n"
           "  bin-mfx-download boot|main|bp FILE PACKAGE.mfx\n"
           "                                        an image, then the package\n"
           "  nand-format --yes                     format the NAND file system\n"
           "  nand-status                           the file system's statistics\n"
           "  ls [PATH]                             list a handset directory (default /)\n"
           "  get PATH OUTFILE                      copy a handset file to the PC\n"
           "  rm PATH                               delete a handset file\n"
           "  stat PATH                             a handset file's status record\n"
           "  nand-dump OUTFILE                     the whole NAND (131203072 bytes)\n"
           "Options:\n"
           "  --list-ports          list the serial ports present (maker, model, serial) and\n"
           "                        the COM numbers that open them; no job is run\n"
           "  --port PATH           the handset's serial device (default: COMn's configured path)\n"
           "  --com N               port number 1..20 (default 1)\n"
           "  --settings FILE       read port paths from this INI file\n"
           "  --speed RATE          115200 (default), 230400, 460800 or 921600\n"
           "  --mode normal|tat     boot mode (default normal)\n"
           "  --full-loader         full boot-loader instead of the fast one\n"
           "  --power-on            power the handset on after the last download\n"
           "  --timeout SECONDS     give up when the handset is silent this long (default 30)\n"
           "  --log FILE            append the run's log with a timestamp per line\n"
           "  --code-page NAME      charset of PC-side names (default: the locale's)\n"
           "  --history URL         record the jobs there (default: setting History/Database,\n"
           "                        else a file in the user's data folder; 'off': not at all)\n"
           "  --quiet               errors only\n"
           "Exit status: 0 every command completed, 1 a command or the handshake failed,\n"
           "2 usage or a job that cannot run, 3 timed out, 4 interrupted.\n";
}

std::string CliCommand::Name() const {
    static const char* const kTargets[] = {"", "boot", "main", "bp"};
    switch (kind) {
        case Kind::Info:
            return "info";
        case Kind::Download:
            return std::string("download ") + kTargets[nTarget];
        case Kind::DownloadAll:
            return "download-all";
        case Kind::Erase:
            return "erase";
        case Kind::Dump:
            return "dump";
        case Kind::MfxDownload:
            return "mfx-download";
        case Kind::BinMfxDownload:
            return std::string("bin-mfx-download ") + kTargets[nTarget];
        case Kind::NandFormat:
            return "nand-format";
        case Kind::NandStatus:
            return "nand-status";
        case Kind::Ls:
            return "ls";
        case Kind::Get:
            return "get";
        case Kind::Rm:
            return "rm";
        case Kind::Stat:
            return "stat";
        case Kind::NandDump:
            return "nand-dump";
        case Kind::Verify:
            return std::string("verify ") + kTargets[nTarget];
    }
    return "?";
}

namespace {

bool Readable(const std::string& path, std::string& error) {
    oriel::CFileObject f;
    if (path.empty() || !f.Open(path, oriel::CFileObject::Mode::Read)) {
        error = "Fail to open bin file! (" + path + ")";
        return false;
    }
    return true;
}

// The checks of an operator-typed start address, before any port is opened.
bool AddressUsable(const std::string& text, std::string& error) {
    const uint32_t value = oriel::ParseHexAddress(text.substr(0, 16));
    if (value < oriel::kNorBusBase || value >= oriel::kNorBusEnd) {
        error = "--address " + text + ": Not defined Address Error";
        return false;
    }
    const uint32_t offset = value - oriel::kNorBusBase;
    for (int32_t i = 0; i < oriel::kNorSectorCount; ++i) {
        if (oriel::SectorOffset(i) == offset) {
            return true;
        }
    }
    error = platform::Format("--address %s: Not Sector Begin Address(0x%08X) Error!", text.c_str(),
                             offset);
    return false;
}

// A package needs its data file and the description beside it.
bool PackageUsable(const std::string& path, std::string& error) {
    oriel::CFileObject f;
    if (!f.Open(path, oriel::CFileObject::Mode::Read)) {
        error = "Fail to open " + path;
        return false;
    }
    const std::string cfg = oriel::CfgPathFor(path);
    if (!f.Open(cfg, oriel::CFileObject::Mode::Read)) {
        error = "Fail to open " + cfg;
        return false;
    }
    return true;
}

// A handset path: absolute; a file path must name a file.
bool HandsetPath(const std::string& cmd, const std::string& path, bool bFile, std::string& error) {
    if (path.empty() || path[0] != '/' || (bFile && (path.ends_with("/") || path.size() < 2))) {
        error = cmd + ": '" + path + "' is not an absolute handset " +
                (bFile ? "file" : "directory") + " path";
        return false;
    }
    return true;
}

int TargetOf(const std::string& which) {
    return which == "boot" ? 1 : which == "main" ? 2 : which == "bp" ? 3 : 0;
}

}  // namespace

bool ParseCliOptions(const std::vector<std::string>& args, CliOptions& out, std::string& error) {
    oriel::BuildNorSectorMap();
    CliOptions o;
    size_t i = 0;
    auto value = [&](const std::string&, std::string& v) {
        return platform::TakeOptionValue(args, i, v, error);
    };
    auto number = [&](const std::string& a, int lo, int hi, int& n) {
        std::string v;
        if (!value(a, v)) {
            return false;
        }
        if (!platform::ParseSettingInt(v, n) || n < lo || n > hi) {
            error = a + ": '" + v + "' is not a number from " + std::to_string(lo) + " to " +
                    std::to_string(hi);
            return false;
        }
        return true;
    };
    auto operand = [&](const std::string& cmd, std::string& v) {
        if (i + 1 >= args.size() ||
            (args[i + 1].size() > 1 && args[i + 1][0] == '-' && args[i + 1][1] == '-')) {
            error = cmd + ": missing operand";
            return false;
        }
        v = args[++i];
        return true;
    };
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string v;
        if (a == "--help" || a == "-h") {
            o.bHelp = true;
        } else if (a == "--list-ports") {
            o.bListPorts = true;
        } else if (a == "--port") {
            if (!value(a, o.strPortPath)) {
                return false;
            }
        } else if (a == "--settings") {
            if (!value(a, o.strSettingsFile)) {
                return false;
            }
        } else if (a == "--log") {
            if (!value(a, o.strLogFile)) {
                return false;
            }
        } else if (a == "--com") {
            int n = 0;
            if (!number(a, 1, 20, n)) {
                return false;
            }
            o.handshake.nComIndex = n - 1;
        } else if (a == "--speed") {
            if (!value(a, v)) {
                return false;
            }
            int index = -1;
            for (size_t k = 0; k < oriel::kBaudTable.size(); ++k) {
                if (v == std::to_string(oriel::kBaudTable[k])) {
                    index = static_cast<int>(k);
                }
            }
            if (index < 0) {
                error = "--speed: '" + v + "' is not 115200, 230400, 460800 or 921600";
                return false;
            }
            o.handshake.nSpeedIndex = index;
        } else if (a == "--mode") {
            if (!value(a, v)) {
                return false;
            }
            if (v == "normal" || v == "Normal") {
                o.handshake.nMode = oriel::kModeNormal;
            } else if (v == "tat" || v == "TAT") {
                o.handshake.nMode = oriel::kModeTat;
            } else {
                error = "--mode: '" + v + "' is not normal or tat";
                return false;
            }
        } else if (a == "--full-loader" || a == "--full") {
            o.handshake.bFast = 0;
        } else if (a == "--power-on") {
            o.bPowerOn = true;
        } else if (a == "--timeout") {
            if (!number(a, 1, 86400, o.nTimeoutSeconds)) {
                return false;
            }
        } else if (a == "--code-page") {
            if (!value(a, o.strCodePage)) {
                return false;
            }
        } else if (a == "--history") {
            if (!value(a, o.strHistory)) {
                return false;
            }
        } else if (a == "--yes") {
            if (o.commands.empty() || o.commands.back().kind != CliCommand::Kind::NandFormat) {
                error = "--yes belongs after 'nand-format'";
                return false;
            }
            o.commands.back().bConfirmed = true;
        } else if (a == "--quiet") {
            o.bQuiet = true;
        } else if (a == "--verify") {
            if (o.commands.empty() || (o.commands.back().kind != CliCommand::Kind::Download &&
                                       o.commands.back().kind != CliCommand::Kind::DownloadAll)) {
                error = "--verify belongs after a 'download' or 'download-all'";
                return false;
            }
            o.commands.back().bVerify = true;
        } else if (a == "--address") {
            if (o.commands.empty() ||
                (o.commands.back().kind != CliCommand::Kind::Download &&
                 o.commands.back().kind != CliCommand::Kind::Verify) ||
                !o.commands.back().strAddress.empty()) {
                error = "--address belongs after a 'download|verify boot|main|bp FILE'";
                return false;
            }
            if (!value(a, v) || !AddressUsable(v, error)) {
                return false;
            }
            o.commands.back().strAddress = v;
        } else if (!a.empty() && a[0] == '-') {
            error = "unknown option '" + a + "'";
            return false;
        } else if (a == "info" || a == "identify") {
            o.commands.push_back({});
        } else if (a == "download" || a == "verify") {
            CliCommand c;
            c.kind = a == "download" ? CliCommand::Kind::Download : CliCommand::Kind::Verify;
            std::string which;
            std::string file;
            if (!operand(a, which) || !operand(a, file)) {
                return false;
            }
            c.nTarget = TargetOf(which);
            if (c.nTarget == 0) {
                error = a + ": '" + which + "' is not boot, main or bp";
                return false;
            }
            if (!Readable(file, error)) {
                return false;
            }
            c.files = {file};
            o.commands.push_back(c);
        } else if (a == "download-all") {
            CliCommand c;
            c.kind = CliCommand::Kind::DownloadAll;
            c.files.resize(3);
            for (std::string& f : c.files) {
                if (!operand(a, f) || !Readable(f, error)) {
                    return false;
                }
            }
            o.commands.push_back(c);
        } else if (a == "erase" || a == "dump") {
            CliCommand c;
            c.kind = a == "erase" ? CliCommand::Kind::Erase : CliCommand::Kind::Dump;
            std::string list;
            if (!operand(a, list)) {
                return false;
            }
            std::vector<int32_t> sectors;
            if (!oriel::ParseSectorList(list, sectors, error)) {
                error = a + ": " + error;
                return false;
            }
            c.sectors.assign(sectors.begin(), sectors.end());
            if (c.kind == CliCommand::Kind::Dump && !operand(a, c.strOutPath)) {
                return false;
            }
            o.commands.push_back(c);
        } else if (a == "mfx-download") {
            CliCommand c;
            c.kind = CliCommand::Kind::MfxDownload;
            if (!operand(a, c.strPackage) || !PackageUsable(c.strPackage, error)) {
                return false;
            }
            o.commands.push_back(c);
        } else if (a == "bin-mfx-download") {
            CliCommand c;
            c.kind = CliCommand::Kind::BinMfxDownload;
            std::string which;
            std::string file;
            if (!operand(a, which) || !operand(a, file) || !operand(a, c.strPackage)) {
                return false;
            }
            c.nTarget = TargetOf(which);
            if (c.nTarget == 0) {
                error = "bin-mfx-download: '" + which + "' is not boot, main or bp";
                return false;
            }
            if (!Readable(file, error) || !PackageUsable(c.strPackage, error)) {
                return false;
            }
            c.files = {file};
            o.commands.push_back(c);
        } else if (a == "nand-format" || a == "nand-status") {
            CliCommand c;
            c.kind =
                a == "nand-format" ? CliCommand::Kind::NandFormat : CliCommand::Kind::NandStatus;
            o.commands.push_back(c);
        } else if (a == "ls") {
            CliCommand c;
            c.kind = CliCommand::Kind::Ls;
            c.strHandsetPath = "/";
            if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] == '/') {
                c.strHandsetPath = args[++i];
            }
            o.commands.push_back(c);
        } else if (a == "get" || a == "rm" || a == "stat") {
            CliCommand c;
            c.kind = a == "get"  ? CliCommand::Kind::Get
                     : a == "rm" ? CliCommand::Kind::Rm
                                 : CliCommand::Kind::Stat;
            if (!operand(a, c.strHandsetPath) || !HandsetPath(a, c.strHandsetPath, true, error)) {
                return false;
            }
            if (c.kind == CliCommand::Kind::Get && !operand(a, c.strOutPath)) {
                return false;
            }
            o.commands.push_back(c);
        } else if (a == "nand-dump") {
            CliCommand c;
            c.kind = CliCommand::Kind::NandDump;
            if (!operand(a, c.strOutPath)) {
                return false;
            }
            o.commands.push_back(c);
        } else {
            error = "unknown command '" + a + "'";
            return false;
        }
    }
    // What a command would write or destroy is checked before any port is
    // opened: an image that cannot be written whole, an output file that
    // cannot be made.
    const oriel::NorDownloadControls defaults;
    for (const CliCommand& c : o.commands) {
        std::vector<std::pair<std::string, std::string>> images;  // file, start address
        if (c.kind == CliCommand::Kind::Download || c.kind == CliCommand::Kind::BinMfxDownload ||
            c.kind == CliCommand::Kind::Verify) {
            images.emplace_back(c.files[0], c.strAddress.empty()
                                                ? defaults.astrAddr[static_cast<size_t>(c.nTarget)]
                                                : c.strAddress);
        } else if (c.kind == CliCommand::Kind::DownloadAll) {
            for (size_t k = 0; k < 3; ++k) {
                images.emplace_back(c.files[k], defaults.astrAddr[k + 1]);
            }
        }
        for (const auto& [file, address] : images) {
            if (!oriel::ImageFits(file, oriel::ParseHexAddress(address.substr(0, 16)), error)) {
                error = c.Name() + ": " + error;
                return false;
            }
        }
        std::string why;
        if (!c.strOutPath.empty() && !oriel::COutputFile::CanCreate(c.strOutPath, why)) {
            error = c.Name() + ": cannot write " + c.strOutPath + ": " + why;
            return false;
        }
    }
    for (const CliCommand& c : o.commands) {
        // Formatting wipes the handset's file system: only when asked for in so many words.
        if (c.kind == CliCommand::Kind::NandFormat && !c.bConfirmed) {
            error =
                "nand-format erases the handset's file system; confirm with 'nand-format --yes'";
            return false;
        }
    }
    if (!o.bHelp && !o.bListPorts && o.commands.empty()) {
        error = "no command given";
        return false;
    }
    out = std::move(o);
    return true;
}

}  // namespace orielcli
