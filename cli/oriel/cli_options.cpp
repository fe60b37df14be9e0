#include "cli/oriel/cli_options.h"

#include "platform/settings_store.h"

namespace orielcli {

const char* CliUsage() {
    return "usage: oriel_cli [options] COMMAND\n"
           "Commands:\n"
           "  identify              take the handset through the handshake and report its flash\n"
           "Options:\n"
           "  --port PATH           the handset's serial device (default: COMn's configured path)\n"
           "  --com N               port number 1..20 (default 1)\n"
           "  --settings FILE       read port paths from this INI file\n"
           "  --speed RATE          115200 (default), 230400, 460800 or 921600\n"
           "  --mode normal|tat     boot mode (default normal)\n"
           "  --full                full boot-loader instead of the fast one\n"
           "  --timeout SECONDS     give up after this long (default 120)\n"
           "  --quiet               do not echo the log\n"
           "Exit status: 0 done, 1 the handset or a file failed, 2 usage, 3 timed out,\n"
           "4 interrupted.\n";
}

bool ParseCliOptions(const std::vector<std::string>& args, CliOptions& out, std::string& error) {
    CliOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string v;
        auto value = [&]() {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            v = args[++i];
            return true;
        };
        auto number = [&](int lo, int hi, int& n) {
            if (!value()) {
                return false;
            }
            if (!platform::ParseSettingInt(v, n) || n < lo || n > hi) {
                error = a + ": '" + v + "' is not a number from " + std::to_string(lo) + " to " +
                        std::to_string(hi);
                return false;
            }
            return true;
        };
        if (a == "--help" || a == "-h") {
            o.bHelp = true;
        } else if (a == "--port") {
            if (!value()) {
                return false;
            }
            o.strPortPath = v;
        } else if (a == "--settings") {
            if (!value()) {
                return false;
            }
            o.strSettingsFile = v;
        } else if (a == "--com") {
            int n = 0;
            if (!number(1, 20, n)) {
                return false;
            }
            o.handshake.nComIndex = n - 1;
        } else if (a == "--speed") {
            if (!value()) {
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
            if (!value()) {
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
        } else if (a == "--full") {
            o.handshake.bFast = 0;
        } else if (a == "--timeout") {
            if (!number(1, 86400, o.nTimeoutSeconds)) {
                return false;
            }
        } else if (a == "--quiet") {
            o.bQuiet = true;
        } else if (!a.empty() && a[0] == '-') {
            error = "unknown option '" + a + "'";
            return false;
        } else if (o.command != Command::None) {
            error = "one command only ('" + a + "' is a second)";
            return false;
        } else if (a == "identify") {
            o.command = Command::Identify;
        } else {
            error = "unknown command '" + a + "'";
            return false;
        }
    }
    if (!o.bHelp && o.command == Command::None) {
        error = "no command given";
        return false;
    }
    out = std::move(o);
    return true;
}

}  // namespace orielcli
