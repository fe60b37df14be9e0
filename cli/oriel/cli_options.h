#pragma once
// The oriel command line: which port, rate and mode, and the operations to
// run in order on one connection.

#include <string>
#include <vector>

#include "oriel/boot/boot_handshake.h"

namespace orielcli {

struct CliCommand {
    enum class Kind {
        Info,
        Download,
        DownloadAll,
        Erase,
        Dump,
        MfxDownload,
        BinMfxDownload,
        NandFormat,
        NandStatus,
        Ls,
        Get,
        Rm,
        Stat,
        NandDump,
        Verify,
    };
    Kind kind = Kind::Info;
    int nTarget = 0;                 // download, verify: 1 boot, 2 main, 3 bp
    std::vector<std::string> files;  // download: 1, download-all: 3
    std::string strAddress;          // download, verify --address (empty: the default)
    bool bVerify = false;            // download, download-all --verify
    std::vector<int> sectors;        // erase, dump: ascending
    std::string strOutPath;          // dump, get, nand-dump
    std::string strPackage;          // mfx-download, bin-mfx-download: the .mfx file
    std::string strHandsetPath;      // ls, get, rm, stat: a path on the handset
    bool bConfirmed = false;         // nand-format --yes
    std::string Name() const;        // "download main", "erase" ...
    bool UsesExplorer() const {
        return kind == Kind::Ls || kind == Kind::Get || kind == Kind::Rm || kind == Kind::Stat ||
               kind == Kind::NandDump;
    }
};

struct CliOptions {
    std::vector<CliCommand> commands;
    std::string strPortPath;      // explicit device; otherwise COMn through the settings
    std::string strSettingsFile;  // INI file instead of the user's settings
    std::string strLogFile;       // --log: the run's log, appended with timestamps
    std::string strCodePage;      // --code-page: the PC names' charset (default: the locale's)
    std::string strHistory;       // --history: where jobs are recorded (default: the settings')
    oriel::HandshakeSettings handshake;
    int nTimeoutSeconds = 30;  // longest silence of the handset
    bool bPowerOn = false;     // after the last download
    bool bQuiet = false;       // errors only
    bool bHelp = false;
    bool bListPorts = false;  // --list-ports: list the serial ports instead of a job
};

// False with a message for anything it does not understand, and for jobs that
// cannot run (missing files, unknown sectors, an address that is no sector
// start): these are refused before any port is opened.
bool ParseCliOptions(const std::vector<std::string>& args, CliOptions& out, std::string& error);

const char* CliUsage();

}  // namespace orielcli
