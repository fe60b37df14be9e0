#include "sim/oriel/sim_command_line.h"
#include "platform/option_value.h"

namespace orielsim {

const char* SimUsage() {
    return "Usage: oriel_handset_sim --link PATH [options]\n"
           "  --link PATH            make PATH a symbolic link to the handset's port\n"
           "  --nor FILE             keep the 16 MB NOR in FILE (created erased if missing)\n"
           "  --nand DIR             keep the NAND file system under DIR (created if missing;\n"
           "                         metadata in DIR/.mfx-meta); default: a temporary directory\n"
           "  --flash-id ID          NC0 (default), PC0 or 16 hex digits\n"
           "  --unknown-flash        report a flash ID the downloader does not know\n"
           "  --no-pace              answer at once instead of at the line rate\n"
           "  --wrong STEP[:N]       answer a wrong byte at that step (N: item or occurrence)\n"
           "  --stop-after STEP[:N]  go silent after answering that step\n"
           "  --refuse-rate          answer the first 0xD9 after the rate change wrongly\n"
           "  --refuse-mount         refuse the first NAND mount (same as --wrong mount-ack)\n"
           "  --format-error         fail the first format with F2 (same as --wrong format)\n"
           "  --status-error         fail the first status with F3 (same as --wrong status)\n"
           "  --listing-error        end the first listing with E6 (same as --wrong listing)\n"
           "  --verbose              trace every step on stderr (notices always go "
           "there)\n" SIMCHAOS_USAGE
           "                         (from the flash ID on, until the next boot; an unplug\n"
           "                         closes the port and removes the link)\n"
           "Steps: grant challenge id-ack timeout-ack loadaddr-ack preloader-word\n"
           "  startaddr-ack preloader-ready rate-sync length-sum dma-ready block-sum\n"
           "  bootloader-ready cs0-sum flash-id sync crc-sum offset-sum nor-length-sum\n"
           "  chunk-ack sector-sum download-end erase-sum dump-sum\n"
           "  mount-ack mfx-crc-sum time-sum dir-sum dir-ack version-ack release-ack\n"
           "  file-header-sum mfx-chunk-sum file-ack complete-ack unmount-ack format status\n"
           "  listing read-size read-chunk-sum delete-ack file-status nand-dump-start\n"
           "  nand-dump-sum nand-dump-end\n"
           "  (dir-*, file-* and mfx-chunk-sum count from the mount; read-chunk-sum within\n"
           "  the file; nand-dump-sum is the block 0..64063)\n";
}

// An ID no table knows: right manufacturer, DevID3 off by one.
constexpr FlashId kUnknownFlashId{0x00, 0x01, 0x22, 0x7E, 0x22, 0x44, 0x22, 0x01};

bool ParseSimCommandLine(const std::vector<std::string>& args, SimCommandLine& out,
                         std::string& error) {
    SimCommandLine cl;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) { return platform::TakeOptionValue(args, i, v, error); };
        std::string v;
        bool bChaos = false;
        if (!simchaos::ParseChaosOption(args, i, cl.options.chaos, error, bChaos)) {
            return false;
        }
        if (bChaos) {
            continue;
        }
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
        } else if (a == "--nand") {
            if (!value(cl.options.strNandDir)) {
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
        } else if (a == "--refuse-mount") {
            cl.options.faults.push_back({Fault::Kind::WrongReply, Step::MountAck, 0});
        } else if (a == "--format-error") {
            cl.options.faults.push_back({Fault::Kind::WrongReply, Step::FormatResult, 0});
        } else if (a == "--status-error") {
            cl.options.faults.push_back({Fault::Kind::WrongReply, Step::StatusResult, 0});
        } else if (a == "--listing-error") {
            cl.options.faults.push_back({Fault::Kind::WrongReply, Step::ListEnd, 0});
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
