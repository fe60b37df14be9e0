#include "sim/fleet/fleet_options.h"
#include "platform/option_value.h"

#include <cstdio>
#include <cstdlib>

namespace fleetsim {

std::string HandsetSerial(const std::string& strPrefix, int nHandset) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", nHandset);
    return strPrefix + digits;
}

std::string PdaLinkName(const std::string& strSerial) {
    return "usb-Sim_Handset_" + strSerial + "-if01";
}

std::string ModemLinkName(const std::string& strSerial) {
    return "usb-Sim_Handset_" + strSerial + "-if00";
}

const char* FleetUsage() {
    return "Usage: fleet_handset_sim --dir DIR --count N --store DIR [options]\n"
           "  --dir DIR             publish the handsets' port links in DIR (created if missing):\n"
           "                        usb-Sim_Handset_<SERIAL>-if01 for the PDA interface, and "
           "after\n"
           "                        the switch to the modem usb-Sim_Handset_<SERIAL>-if00\n"
           "  --count N             handsets to simulate (1..64)\n"
           "  --store DIR           per-handset stores in DIR/<SERIAL>/: ram.bin (from "
           "0x80000000),\n"
           "                        eboot.bin (flash from 0x9CA00000), pda_flash.bin (flash from\n"
           "                        0x9CA80000), modem/<START>.bin per modem area, log.txt\n"
           "  --pace BYTES_PER_S    take in and send no faster than this on each port\n"
           "                        (at least 1000; default: as fast as the host)\n"
           "  --serial-prefix P     serials are P0001, P0002, ... (default FSIM)\n"
           "  --ack-block BYTES     flash bytes per O K U P acknowledgement (default 520)\n"
           "  --modem-delay MS      from the switch until the modem link appears (default 500)\n"
           "  --no-modem            the modem link never appears\n"
           "  --verify-delay MS     device time before the checksum reply (default 500)\n"
           "  --signature-delay MS  device time before the signature result (default 500)\n"
           "  --answers STYLE       modem acknowledgements: framed (7E 02 FCS 7E, default),\n"
           "                        bare (02) or ok (\"OK\")\n"
           "  --wrong STEP[:N][@H]  answer item N of STEP wrongly (N from 0, default 0)\n"
           "  --silent STEP[:N][@H] drop item N of STEP and answer nothing more\n"
           "  --unplug STEP[:N][@H] unplug the handset when item N of STEP arrives\n"
           "                        (@H: only handset H, from 1; default every handset)\n"
           "  --verbose             every log line on stderr (refusals and faults always)\n"
           "  --help                this text\n" SIMCHAOS_USAGE
           "                         (per handset, after its detection handshake; also a late\n"
           "                         or missing modem port)\n"
           "Steps and what N counts:\n"
           "  okud         detection handshakes (wrong: answers OKUX)\n"
           "  ram          PDA_WRITE_RAM packets (silent/unplug only)\n"
           "  ack          acknowledgements within one programming run (wrong: FAIL)\n"
           "  checksum     checksum verifications (wrong: checksum + 1)\n"
           "  signature    signature checks (wrong: 0, a mismatch)\n"
           "  stream       packets within a B000FF stream, 0 the header (silent/unplug only)\n"
           "  greeting open efs-erase param-block launch\n"
           "               modem frames of that kind (wrong: refused, and so are the\n"
           "               host's retries of it that follow directly)\n"
           "  block        modem data blocks within their area (wrong: refused)\n";
}

namespace {

bool ParseNumber(const std::string& text, uint64_t nMax, uint64_t& value) {
    if (text.empty() || text.size() > 12 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::strtoull(text.c_str(), nullptr, 10);
    return value <= nMax;
}

}  // namespace

bool ParseFleetCommandLine(const std::vector<std::string>& args, FleetCommandLine& out,
                           std::string& error) {
    FleetCommandLine cl;
    bool bCountGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string v;
        auto value = [&]() { return platform::TakeOptionValue(args, i, v, error); };
        auto number = [&](uint64_t nMin, uint64_t nMax, uint64_t& n) {
            if (!value()) {
                return false;
            }
            if (!ParseNumber(v, nMax, n) || n < nMin) {
                error = a + ": '" + v + "' is not a number from " + std::to_string(nMin) + " to " +
                        std::to_string(nMax);
                return false;
            }
            return true;
        };
        uint64_t n = 0;
        bool bChaos = false;
        if (!simchaos::ParseChaosOption(args, i, cl.options.chaos, error, bChaos)) {
            return false;
        }
        if (bChaos) {
            continue;
        }
        if (a == "--help" || a == "-h") {
            cl.bHelp = true;
        } else if (a == "--dir") {
            if (!value()) {
                return false;
            }
            cl.options.strDir = v;
        } else if (a == "--store") {
            if (!value()) {
                return false;
            }
            cl.options.strStoreDir = v;
        } else if (a == "--count") {
            if (!number(1, kMaxHandsets, n)) {
                return false;
            }
            cl.options.nCount = static_cast<int>(n);
            bCountGiven = true;
        } else if (a == "--pace") {
            if (!number(kMinPaceBytesPerSecond, 1000000000000ULL, n)) {
                return false;
            }
            cl.options.settings.nPaceBytesPerSecond = n;
        } else if (a == "--serial-prefix") {
            if (!value()) {
                return false;
            }
            if (v.empty() || v.find_first_of("/ \t") != std::string::npos) {
                error = "--serial-prefix: '" + v + "' cannot be part of a link name";
                return false;
            }
            cl.options.strSerialPrefix = v;
        } else if (a == "--ack-block") {
            if (!number(1, 0x04000000, n)) {
                return false;
            }
            cl.options.settings.nAckBlock = static_cast<uint32_t>(n);
        } else if (a == "--modem-delay") {
            if (!number(0, 3600000, n)) {
                return false;
            }
            cl.options.settings.nModemDelayMs = static_cast<int>(n);
        } else if (a == "--no-modem") {
            cl.options.settings.bNoModem = true;
        } else if (a == "--verify-delay") {
            if (!number(0, 3600000, n)) {
                return false;
            }
            cl.options.settings.nVerifyDelayMs = static_cast<int>(n);
        } else if (a == "--signature-delay") {
            if (!number(0, 3600000, n)) {
                return false;
            }
            cl.options.settings.nSignatureDelayMs = static_cast<int>(n);
        } else if (a == "--answers") {
            if (!value()) {
                return false;
            }
            if (v == "framed") {
                cl.options.settings.answers = AnswerStyle::Framed;
            } else if (v == "bare") {
                cl.options.settings.answers = AnswerStyle::Bare;
            } else if (v == "ok") {
                cl.options.settings.answers = AnswerStyle::Ok;
            } else {
                error = "--answers: '" + v + "' is none of framed, bare, ok";
                return false;
            }
        } else if (a == "--wrong" || a == "--silent" || a == "--unplug") {
            const Fault::Kind kind = a == "--wrong"    ? Fault::Kind::Wrong
                                     : a == "--silent" ? Fault::Kind::Silent
                                                       : Fault::Kind::Unplug;
            Fault f;
            if (!value() || !ParseFault(kind, v, f, error)) {
                if (error.empty()) {
                    error = a + " needs a value";
                }
                return false;
            }
            cl.options.faults.push_back(f);
        } else if (a == "--verbose") {
            cl.bVerbose = true;
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
    }
    if (!cl.bHelp) {
        if (cl.options.strDir.empty()) {
            error = "--dir DIR is required";
            return false;
        }
        if (cl.options.strStoreDir.empty()) {
            error = "--store DIR is required";
            return false;
        }
        if (!bCountGiven) {
            error = "--count N is required";
            return false;
        }
        for (const Fault& f : cl.options.faults) {
            if (f.nHandset > cl.options.nCount) {
                error = "fault " + DescribeFault(f) + " names a handset beyond --count";
                return false;
            }
        }
    }
    out = std::move(cl);
    return true;
}

}  // namespace fleetsim
