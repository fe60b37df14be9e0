// fleet_cli: the fleet downloader for a production line's scripts.

#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <clocale>
#include <cstdio>
#include <thread>

#include "cli/fleet/fleet_cli_options.h"
#include "cli/fleet/fleet_cli_ports.h"
#include "cli/fleet/fleet_cli_runner.h"
#include "fleet/ui/workers.h"
#include "platform/history/history_command.h"
#include "platform/version.h"

int main(int argc, char** argv) {
    if (platform::PrintVersionIfAsked(argc, argv, "fleet_cli")) {
        return 0;
    }
    // Qt SQL finds its drivers through the application object; the names
    // place the history with the window's.
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(history::kSettingsOrganisation);
    QCoreApplication::setApplicationName(history::kFleetHistory.pszProgram);
    std::setlocale(LC_ALL, "");
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "history") {
        return history::RunHistoryCommand(history::kFleetHistory, {args.begin() + 1, args.end()},
                                          stdout, stderr);
    }
    fleetcli::FleetCliOptions options;
    std::string error;
    if (!fleetcli::ParseFleetCliOptions(args, options, error)) {
        std::fprintf(stderr, "fleet_cli: %s\n%s", error.c_str(), fleetcli::FleetCliUsage());
        return 2;
    }
    if (options.bHelp) {
        std::fputs(fleetcli::FleetCliUsage(), stdout);
        return 0;
    }
    if (options.bListPorts) {
        return fleetcli::ListPorts(options, stdout);
    }
    history::HistoryConfig historyConfig;
    std::string warning;
    if (!history::ResolveForRecording(history::kFleetHistory, options.strHistory, {}, historyConfig,
                                      warning, error)) {
        std::fprintf(stderr, "fleet_cli: %s\n", error.c_str());
        return 2;
    }
    if (!warning.empty()) {
        std::fprintf(stderr, "fleet_cli: %s\n", warning.c_str());
    }
    // The records are written on their own thread; a slot never waits for them.
    const std::unique_ptr<history::CHistoryRecorder> recorder = history::StartRecorder(
        historyConfig,
        [](const std::string& text) { std::fprintf(stderr, "fleet_cli: %s\n", text.c_str()); });
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    // With --json stdout holds the event objects alone: the report keeps the
    // real stdout, and what the ports trace on stdout goes to stderr.
    std::FILE* out = stdout;
    if (options.bJson) {
        std::fflush(stdout);
        const int fd = dup(STDOUT_FILENO);
        out = fd >= 0 ? fdopen(fd, "w") : nullptr;
        if (out == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            std::perror("fleet_cli: stdout");
            return 1;
        }
    }
    fleetcli::CFleetCliRunner runner(options, out, stderr);
    fleet::DetectionConfig detection;
    detection.pdaClass.strFolder = options.strWatch;
    detection.pdaClass.strPattern = options.strPdaPattern;
    detection.strModemPattern = options.strModemPattern;
    fleet::UseDetectionForModemPorts(detection);
    runner.SetWorkers(fleet::ContainerWorker(), fleet::FilesWorker());
    runner.SetHistory(recorder.get(), historyConfig.strStation);
    std::atomic<bool> bDone{false};
    std::thread watcher([&] {
        int n = 0;
        if (sigwait(&stop, &n) == 0 && !bDone) {
            runner.Interrupt();
        }
    });
    const int nExit = runner.Run();
    if (out != stdout) {
        std::fclose(out);
    }
    bDone = true;
    pthread_kill(watcher.native_handle(), SIGTERM);
    watcher.join();
    return nExit;
}
