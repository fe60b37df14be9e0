#include "sim/oriel/sim_command_line.h"

namespace orielsim {

const char* SimUsage() {
    return "usage: oriel_handset_sim --link PATH [options]\n"
           "  --link PATH            make PATH a symbolic link to the handset's port\n"
           "  --nor FILE             keep the 16 MB NOR in FILE (created erased if missing)\n"
           "  --flash-id ID          NC0 (default), PC0 or 16 hex digits\n"
           "  --unknown-flash        report a flash ID the downloader does not know\n"
           "  --no-pace              answer at once instead of at the line rate\n"
           "  --wrong STEP[:N]       answer a wrong byte at that step (N: item or occurrence)\n"
           "  --stop-after STEP[:N]  go silent after answering that step\n"
           "  --refuse-rate          answer the first 0xD9 after the rate change wrongly\n"
           "  --verbose              trace every step on stderr (notices always go there)\n"
           "Steps: grant challenge id-ack timeout-ack loadaddr-ack preloader-word\n"
           "  startaddr-ack preloader-ready rate-sync length-sum dma-ready block-sum\n"
           "  bootloader-ready cs0-sum flash-id sync crc-sum offset-sum nor-length-sum\n"
           "  chunk-ack sector-sum download-end erase-sum dump-sum\n";
}

// An ID no table knows: right manufacturer, DevID3 off by one.
constexpr FlashId kUnknownFlashId{0x00, 0x01, 0x22, 0x7E, 0x22, 0x44, 0x22, 0x01};

bool ParseSimCommandLine(const std::vector<std::string>& args, SimCommandLine& out,
                         std::string& error) {
    SimCommandLine cl;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            v = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            cl.bHelp = true;
        } else if (a == "--link") {
            if (!value(cl.options.strLinkPath)) {
                return false;
            }
        } else if (a == "--nor") {
            if (!value(cl.options.strNorFile)) {
                return false;
            }
        } else if (a == "--flash-id") {
            if (!value(v) || !ParseFlashId(v, cl.options.flashId, error)) {
                return false;
            }
        } else if (a == "--unknown-flash") {
            cl.options.flashId = kUnknownFlashId;
        } else if (a == "--no-pace") {
            cl.options.bPace = false;
        } else if (a == "--wrong" || a == "--stop-after") {
            Fault f;
            const Fault::Kind kind =
                a == "--wrong" ? Fault::Kind::WrongReply : Fault::Kind::StopAfter;
            if (!value(v) || !ParseFault(kind, v, f, error)) {
                return false;
            }
            cl.options.faults.push_back(f);
        } else if (a == "--refuse-rate") {
            cl.options.faults.push_back({Fault::Kind::WrongReply, Step::RateSync, 0});
        } else if (a == "--verbose") {
            cl.bVerbose = true;
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
    }
    if (!cl.bHelp && cl.options.strLinkPath.empty()) {
        error = "--link PATH is required";
        return false;
    }
    out = std::move(cl);
    return true;
}

}  // namespace orielsim
