// Times the whole boot handshake against the simulated handset with line
// pacing on, and prints each figure beside the least the wire allows: every
// byte of the conversation at its bit time (11 bits at 8E1 in the boot-ROM
// phase, 10 at 8N1 after the rate change) plus the 500 ms the port stays
// closed for the rate change.
//
//   oriel_handshake_bench [--runs N]

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "oriel/boot/boot_handshake.h"
#include "oriel/boot/loader_images.h"
#include "oriel/engine/console_view.h"
#include "oriel/link/serial_port.h"
#include "oriel/ui/downloader_session.h"
#include "platform/event_loop.h"
#include "platform/scripted_prompts.h"
#include "platform/settings_store.h"
#include "sim/oriel/oriel_handset.h"

namespace {

using Clock = std::chrono::steady_clock;

// Bytes each side puts on the line, in the two phases of one TAT handshake.
struct WireBytes {
    double romHost = 0, romHandset = 0;        // 115200 8E1
    double loaderHost = 0, loaderHandset = 0;  // new rate 8N1
};

WireBytes CountWire(size_t nBootLoader) {
    WireBytes w;
    const double words = oriel::kPreloaderWords;
    // 0x44, 0x51, ID message, 'T', 'S', the 'L' words, 'S', 'J', the rate byte.
    w.romHost = 1 + 1 + 21 + 2 + 5 + 6 * words + 5 + 1 + 1;
    // 0x81, grant, challenge, four 'O', one 'O' per word, 0xAB.
    w.romHandset = 1 + 1 + 16 + 1 + 1 + 1 + words + 1 + 1;
    const double blocks = static_cast<double>((nBootLoader + 2047) / 2048);
    // 0xD9, 0xD4+4, per block 0xF7 and its data, 0xFF, 0xD0+4, 0xD1.
    w.loaderHost = 1 + 5 + blocks + static_cast<double>(nBootLoader) + 1 + 5 + 1;
    // index, length sum, per block 0xF7 and the sum, 0xAB, CS0 sum, 8 ID bytes.
    w.loaderHandset = 1 + 1 + 2 * blocks + 1 + 1 + 8;
    return w;
}

double WireSeconds(const WireBytes& w, double nBaud) {
    return (w.romHost + w.romHandset) * 11.0 / 115200.0 +
           (w.loaderHost + w.loaderHandset) * 10.0 / nBaud + oriel::kBaudTimerMs / 1000.0;
}

double RunOnce(bool bFast, int nSpeedIndex, bool& bOk) {
    orielsim::HandsetOptions options;  // pacing on
    orielsim::COrielHandset handset(options);
    std::string error;
    if (!handset.Start(error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        bOk = false;
        return 0;
    }
    platform::CMemorySettingsStore settings;
    settings.SetString("Ports", "COM1", handset.SlavePath());
    platform::CScriptedPrompts prompts;
    platform::CStdEventLoop loop;
    oriel::CRecordingConsole console;
    oriel::CSerialPort port;
    port.SetSettings(&settings);
    port.SetPrompts(&prompts);
    port.SetMessageSink(&loop);
    oriel::CDownloaderSession session(port, console, prompts, &loop);
    loop.SetMessageHandler([&](const platform::WindowMessage& m) { session.OnMessage(m); });

    oriel::HandshakeSettings hs;
    hs.nMode = oriel::kModeTat;
    hs.nSpeedIndex = nSpeedIndex;
    hs.bFast = bFast ? 1 : 0;
    const auto t0 = Clock::now();
    bOk = session.Start(hs) &&
          loop.RunUntil(
              [&] {
                  return session.Engine().m_bIdentified == 1 ||
                         session.Engine().m_nState == oriel::IDLE;
              },
              std::chrono::seconds(60)) &&
          session.Engine().m_bIdentified == 1;
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    session.Stop();
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    int nRuns = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            nRuns = std::max(1, std::atoi(argv[++i]));
        }
    }
    std::printf("%-34s %10s %12s %8s\n", "handshake (TAT, paced)", "measured", "wire bound",
                "ratio");
    int nFailed = 0;
    for (const bool bFast : {true, false}) {
        const int nSpeedIndex = 3;
        const size_t nSize = bFast ? oriel::kFastBootloaderSize : oriel::kFullBootloaderSize;
        const double bound = WireSeconds(CountWire(nSize), oriel::kBaudTable[nSpeedIndex]);
        double best = 1e9;
        for (int r = 0; r < nRuns; ++r) {
            bool bOk = false;
            const double s = RunOnce(bFast, nSpeedIndex, bOk);
            if (!bOk) {
                ++nFailed;
                continue;
            }
            best = std::min(best, s);
        }
        const std::string name = std::string(bFast ? "fast" : "full") + " boot-loader, 921600 baud";
        std::printf("%-34s %9.3fs %11.3fs %8.3f\n", name.c_str(), best, bound, best / bound);
    }
    if (nFailed != 0) {
        std::fprintf(stderr, "%d run(s) did not reach the identified flash\n", nFailed);
        return 1;
    }
    return 0;
}
