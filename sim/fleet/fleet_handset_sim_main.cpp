// fleet_handset_sim: simulated fleet handsets on pseudo-terminals, published
// as by-id style links in a folder the downloader watches.

#include <signal.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/version.h"
#include "sim/fleet/fleet_handset.h"
#include "sim/fleet/fleet_options.h"

int main(int argc, char** argv) {
    if (platform::PrintVersionIfAsked(argc, argv, "fleet_handset_sim")) {
        return 0;
    }
    const std::vector<std::string> args(argv + 1, argv + argc);
    fleetsim::FleetCommandLine cl;
    std::string error;
    if (!fleetsim::ParseFleetCommandLine(args, cl, error)) {
        std::fprintf(stderr, "fleet_handset_sim: %s\n%s", error.c_str(), fleetsim::FleetUsage());
        return 2;
    }
    if (cl.bHelp) {
        std::fputs(fleetsim::FleetUsage(), stdout);
        return 0;
    }
    // Refusals, faults and link changes always go to stderr; --verbose adds
    // everything else the handsets log.
    static std::mutex s_printLock;
    const bool bVerbose = cl.bVerbose;
    cl.options.fnLog = [bVerbose](int nHandset, const std::string& line, bool bNotice) {
        if (bNotice || bVerbose) {
            std::lock_guard<std::mutex> lock(s_printLock);
            std::fprintf(stderr, "sim %d: %s\n", nHandset, line.c_str());
        }
    };

    // Block the stop signals before the handsets' threads start, so only
    // sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    fleetsim::CHandsetFleet fleet(cl.options);
    if (!fleet.Start(error)) {
        std::fprintf(stderr, "fleet_handset_sim: %s\n", error.c_str());
        return 1;
    }
    for (int i = 0; i < fleet.Count(); ++i) {
        fleetsim::CSimHandset& h = fleet.Handset(i);
        std::printf("handset %d %s %s %s\n", h.Number(), h.Serial().c_str(),
                    h.PdaLinkPath().c_str(), h.StoreDir().c_str());
    }
    std::printf("ready %d\n", fleet.Count());
    std::fflush(stdout);

    int nSignal = 0;
    sigwait(&stopSignals, &nSignal);
    fleet.Stop();
    return 0;
}
