// oriel_cli: the single-handset downloader for scripts and the line.

#include <signal.h>

#include <QCoreApplication>
#include <atomic>
#include <clocale>
#include <cstdio>
#include <thread>

#include "cli/oriel/cli_options.h"
#include "cli/oriel/cli_ports.h"
#include "cli/oriel/cli_runner.h"
#include "platform/history/history_command.h"
#include "platform/version.h"

int main(int argc, char** argv) {
    if (platform::PrintVersionIfAsked(argc, argv, "oriel_cli")) {
        return orielcli::kExitOk;
    }
    // Qt SQL finds its drivers through the application object; the names
    // place the history with the window's.
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(history::kSettingsOrganisation);
    QCoreApplication::setApplicationName(history::kOrielHistory.pszProgram);
    // PC-side names are read in the locale's charset unless --code-page says otherwise.
    std::setlocale(LC_ALL, "");
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "history") {
        return history::RunHistoryCommand(history::kOrielHistory, {args.begin() + 1, args.end()},
                                          stdout, stderr);
    }
    orielcli::CliOptions options;
    std::string error;
    if (!orielcli::ParseCliOptions(args, options, error)) {
        std::fprintf(stderr, "oriel_cli: %s\n%s", error.c_str(), orielcli::CliUsage());
        return orielcli::kExitUsage;
    }
    if (options.bHelp) {
        std::fputs(orielcli::CliUsage(), stdout);
        return orielcli::kExitOk;
    }
    if (options.bListPorts) {
        return orielcli::ListPorts(options, stdout);
    }

    // SIGINT/SIGTERM end the run through the loop, so the port is closed
    // properly and nothing is left half-written.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    history::HistoryConfig historyConfig;
    std::string warning;
    if (!history::ResolveForRecording(history::kOrielHistory, options.strHistory,
                                      options.strSettingsFile, historyConfig, warning, error)) {
        std::fprintf(stderr, "oriel_cli: %s\n", error.c_str());
        return orielcli::kExitUsage;
    }
    if (!warning.empty()) {
        std::fprintf(stderr, "oriel_cli: %s\n", warning.c_str());
    }
    // The records are written on their own thread; a job never waits for them.
    const std::unique_ptr<history::CHistoryRecorder> recorder = history::StartRecorder(
        historyConfig,
        [](const std::string& text) { std::fprintf(stderr, "oriel_cli: %s\n", text.c_str()); });

    orielcli::CCliRunner runner(options, stdout, stderr);
    runner.SetHistory(recorder.get(), historyConfig.strStation);
    std::atomic<bool> bDone{false};
    std::thread watcher([&] {
        int nSignal = 0;
        if (sigwait(&stopSignals, &nSignal) == 0 && !bDone) {
            runner.Interrupt();
        }
    });
    const int nExit = runner.Run();
    // Release the watcher with a signal of its own set, marked as ours.
    bDone = true;
    pthread_kill(watcher.native_handle(), SIGTERM);
    watcher.join();
    return nExit;
}
