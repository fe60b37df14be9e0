#include "cli/fleet/fleet_cli_options.h"

#include <cstdio>

#include "fleet/transport/tty_device.h"
#include "platform/option_value.h"
#include "platform/settings_store.h"

namespace fleetcli {

const char* FleetCliUsage() {
    return "Usage: fleet_cli --watch DIR [options]\n"
           "  or:  fleet_cli --list-ports [--watch DIR] [--pda-pattern P] [--modem-pattern P]\n"
           "  or:  fleet_cli history [--help] [options]   the jobs recorded (flash history)\n"
           "  or:  fleet_cli --help | --version\n"
           "Options:\n"
           "  --list-ports            list the links of the device folder (default\n"
           "                          /dev/serial/by-id): which are PDA interfaces and modem\n"
           "                          ports, and the USB device behind each; serves nothing\n"
           "  --watch DIR             folder where the handsets' device links appear\n"
           "  --slots N               slots to use, 1..8 (default 8)\n"
           "  --count N               handsets to serve before ending (default: the slots);\n"
           "                          unplugging an ended handset frees its slot\n"
           "  --multi                 do not launch the handsets at the end\n"
           "  --phone-init            let the phone phase erase the EFS area\n"
           "  --phone-boot-update     write every modem area\n"
           "  --eboot F --pda F --phone F   image files (files mode); a bare --phone\n"
           "                          writes the modem side of --img or --container\n"
           "  --img F                 a combined EBOOT+PDA+PHONE image\n"
           "  --container [FILE]      the images appended to FILE (default: this program);\n"
           "                          --phone-image F adds the modem image\n"
           "  --platform N            platform list entry 1..4 (default 2)\n"
           "  --timeout S             give up after S seconds (default 1800)\n"
           "  --json                  one JSON object per event, stdout holding nothing\n"
           "                          else (the summary goes to stderr)\n"
           "  --log-dir DIR           write each slot's log there when it ends (made if\n"
           "                          missing)\n"
           "  --history URL           record the jobs there (default: setting\n"
           "                          History/Database, else a file in the user's data\n"
           "                          folder; 'off': not at all)\n"
           "  --pda-pattern P / --modem-pattern P   link names of the two interfaces\n"
           "  --vendor-id HEX         take only PDA interfaces of this USB vendor\n"
           "Exit status: 0 when COUNT handsets finished and none failed, 1 otherwise, 2 usage,\n"
           "3 timed out.\n";
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

bool ParseFleetCliOptions(const std::vector<std::string>& args, FleetCliOptions& out,
                          std::string& error) {
    FleetCliOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) { return platform::TakeOptionValue(args, i, v, error); };
        auto number = [&](int lo, int hi, int& n) {
            std::string v;
            if (!value(v)) {
                return false;
            }
            if (!platform::ParseSettingInt(v, n) || n < lo || n > hi) {
                error = a + ": '" + v + "' is not a number from " + std::to_string(lo) + " to " +
                        std::to_string(hi);
                return false;
            }
            return true;
        };
        bool ok = true;
        if (a == "--help" || a == "-h") {
            o.bHelp = true;
        } else if (a == "--list-ports") {
            o.bListPorts = true;
        } else if (a == "--watch") {
            ok = value(o.strWatch);
        } else if (a == "--slots") {
            ok = number(1, 8, o.nSlots);
        } else if (a == "--count") {
            ok = number(1, 10000, o.nCount);
        } else if (a == "--multi") {
            o.bMulti = true;
        } else if (a == "--phone") {
            // "--phone FILE" names the modem image; a bare "--phone" (the
            // images come from --img or --container) writes the modem side.
            o.bPhone = true;
            if (i + 1 < args.size() && !args[i + 1].starts_with("--")) {
                o.strPhone = args[++i];
            }
        } else if (a == "--phone-init") {
            o.bPhoneInit = true;
        } else if (a == "--phone-boot-update") {
            o.bPhoneBootUpdate = true;
        } else if (a == "--eboot") {
            ok = value(o.strEboot);
        } else if (a == "--pda") {
            ok = value(o.strPda);
        } else if (a == "--phone-image") {
            o.bPhone = true;
            ok = value(o.strPhone);
        } else if (a == "--img") {
            ok = value(o.strImg);
        } else if (a == "--container") {
            o.bContainer = true;
            if (i + 1 < args.size() && !args[i + 1].starts_with("--")) {
                o.strContainerFile = args[++i];
            }
        } else if (a == "--platform") {
            ok = number(1, 4, o.nPlatform);
        } else if (a == "--timeout") {
            ok = number(1, 86400, o.nTimeoutSeconds);
        } else if (a == "--json") {
            o.bJson = true;
        } else if (a == "--history") {
            ok = value(o.strHistory);
        } else if (a == "--log-dir") {
            ok = value(o.strLogDir);
        } else if (a == "--pda-pattern") {
            ok = value(o.strPdaPattern);
        } else if (a == "--modem-pattern") {
            ok = value(o.strModemPattern);
        } else if (a == "--vendor-id") {
            std::string text;
            ok = value(text);
            o.strVendorId = fleet::tty::NormaliseVendorId(text);
            if (ok && o.strVendorId.empty()) {
                error = "--vendor-id takes four hex digits (04e8), not '" + text + "'";
                return false;
            }
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
        if (!ok) {
            return false;
        }
    }
    if (o.bHelp || o.bListPorts) {
        out = o;
        return true;
    }
    if (o.strWatch.empty()) {
        error = "--watch DIR is required";
        return false;
    }
    // A modem image may come with a container (which holds only EBOOT and
    // the PDA image); with --img the modem part is the image's own.
    const bool bFiles =
        !o.strEboot.empty() || !o.strPda.empty() || (!o.strPhone.empty() && !o.bContainer);
    if (static_cast<int>(bFiles) + static_cast<int>(!o.strImg.empty()) +
            static_cast<int>(o.bContainer) !=
        1) {
        error = "choose the images once: --eboot/--pda/--phone-image, --img or --container";
        return false;
    }
    if (o.nCount == 0) {
        o.nCount = o.nSlots;
    }
    out = o;
    return true;
}

}  // namespace fleetcli
