#include "fleet/ui/multi_download_app.h"

#include <cstdio>
#include <cstdlib>

#include "fleet/ui/multi_download_dlg.h"
#include "fleet/ui/workers.h"
#include "platform/qsettings_store.h"
#include "platform/qt_history_view.h"
#include "platform/qt_prompts.h"

namespace fleet {

CMultiDownloadApp::CMultiDownloadApp(int& argc, char** argv) : QApplication(argc, argv) {
    setOrganizationName(kFleetSettingsOrganisation);
    setApplicationName(kFleetSettingsApplication);
    // The menu entry the desktop matches the window to (its icon and name).
    setDesktopFileName("fleet_downloader");
}

int CMultiDownloadApp::Run() {
    platform::CQSettingsStore settings(kFleetSettingsOrganisation, kFleetSettingsApplication);
    platform::CQtPrompts prompts;
    // Before any worker can start: they look for modem ports where detection does.
    UseDetectionForModemPorts(ReadDetectionConfig(settings));
    CMultiDownloadDlg dlg(prompts, settings);
    prompts.SetParent(&dlg);
    dlg.SetWorkers(ContainerWorker(), FilesWorker());
    // The flash history, written on its own thread; what it has to say goes
    // to the log.
    history::HistoryConfig config;
    const std::unique_ptr<history::CHistoryRecorder> recorder = platform::StartWindowRecorder(
        history::kFleetHistory, &dlg, [&dlg](const std::string& text) { dlg.HistoryNotice(text); },
        config);
    dlg.SetHistory(recorder.get(), config);
    dlg.exec();
    if (!dlg.AllWorkersEnded()) {
        // A worker stuck beyond the stop bound (a read the system does not
        // give up) must not hold the program open, nor see its objects go.
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}

}  // namespace fleet
