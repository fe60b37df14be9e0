#include "oriel/ui/downloader_app.h"

#include "oriel/link/serial_port.h"
#include "oriel/ui/downloader_dlg.h"
#include "oriel/ui/sector_dlg.h"
#include "platform/qsettings_store.h"
#include "platform/qt_history_view.h"
#include "platform/qt_prompts.h"

namespace oriel {

CDownloaderApp::CDownloaderApp(int& argc, char** argv) : QApplication(argc, argv) {
    setOrganizationName(kSettingsOrganisation);
    setApplicationName(kSettingsApplication);
    // The menu entry the desktop matches the window to (its icon and name).
    setDesktopFileName("oriel_downloader");
}

int CDownloaderApp::Run() {
    // The one port exists before the dialog and is closed after it.
    CSerialPort port;
    platform::CQSettingsStore settings(kSettingsOrganisation, kSettingsApplication);
    platform::CQtPrompts prompts;
    prompts.SetSectorPicker([&prompts](QWidget* parent,
                                       const platform::SectorChoiceRequest& request,
                                       std::vector<uint8_t>& flags) {
        return CSectorDlg::Pick(parent, prompts, request, flags);
    });
    CDownloaderDlg dlg(port, settings, prompts);
    prompts.SetParent(&dlg);
    // The flash history, written on its own thread; what it has to say goes
    // to the log.
    history::HistoryConfig config;
    const std::unique_ptr<history::CHistoryRecorder> recorder = platform::StartWindowRecorder(
        history::kOrielHistory, &dlg,
        [&dlg](const std::string& text) { dlg.AppendLog("\r\n** " + text + " **\r\n"); }, config);
    dlg.SetHistory(recorder.get(), config);
    dlg.exec();
    // An operation under way ends as Stop would end it, and is recorded so.
    dlg.Session().Stop();
    return 0;
}

}  // namespace oriel
