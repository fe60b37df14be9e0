// fleet_downloader: up to eight handsets at once.

#include <QApplication>

#include "fleet/ui/multi_download_dlg.h"
#include "fleet/ui/workers.h"
#include "platform/qsettings_store.h"
#include "platform/qt_prompts.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    platform::CQSettingsStore settings("ORIEL Tools", "fleet_downloader");
    platform::CQtPrompts prompts;
    fleet::CMultiDownloadDlg dlg(prompts, settings);
    fleet::UseDetectionForModemPorts(fleet::ReadDetectionConfig(settings));
    dlg.SetWorkers(fleet::ContainerWorker(), fleet::FilesWorker());
    dlg.show();
    return app.exec();
}
