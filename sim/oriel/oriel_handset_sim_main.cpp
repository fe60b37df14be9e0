// oriel_handset_sim: a simulated handset on a pseudo-terminal, reachable
// through a symbolic link that the downloader uses as its serial port.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/version.h"
#include "sim/oriel/oriel_handset.h"
#include "sim/oriel/sim_command_line.h"

int main(int argc, char** argv) {
    if (platform::PrintVersionIfAsked(argc, argv, "oriel_handset_sim")) {
        return 0;
    }
    const std::vector<std::string> args(argv + 1, argv + argc);
    orielsim::SimCommandLine cl;
    std::string error;
    if (!orielsim::ParseSimCommandLine(args, cl, error)) {
        std::fprintf(stderr, "oriel_handset_sim: %s\n%s", error.c_str(), orielsim::SimUsage());
        return 2;
    }
    if (cl.bHelp) {
        std::fputs(orielsim::SimUsage(), stdout);
        return 0;
    }
    // Notices (power changes, refusals, failed checks) always go to stderr;
    // --verbose adds the step-by-step trace.
    cl.options.fnNotice = [](const std::string& text) {
        std::fprintf(stderr, "sim: %s\n", text.c_str());
    };
    if (cl.bVerbose) {
        setenv("ORIEL_TRACE", "1", 1);
    }

    // Block the stop signals before the handset's thread starts, so only
    // sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const std::string strLink = cl.options.strLinkPath;
    orielsim::COrielHandset handset(std::move(cl.options));
    if (!handset.Start(error)) {
        std::fprintf(stderr, "oriel_handset_sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("ready %s\n", strLink.c_str());
    std::fflush(stdout);

    int nSignal = 0;
    sigwait(&stopSignals, &nSignal);
    handset.Stop();
    return 0;
}
