#include "fleet/ui/workers.h"

#include "fleet/phone/phone_phase.h"
#include "fleet/worker/download_from_container.h"
#include "fleet/worker/download_from_files.h"

namespace fleet {

SlotWorker ContainerWorker() {
    return &DownloadFromContainerThread;
}

SlotWorker FilesWorker() {
    return &DownloadFromFilesThread;
}

void UseDetectionForModemPorts(const DetectionConfig& config) {
    PhoneSettings settings = CurrentPhoneSettings();
    settings.modem.strFolder = config.pdaClass.strFolder;
    settings.modem.strPattern = config.strModemPattern;
    SetPhoneSettings(settings);
}

}  // namespace fleet
