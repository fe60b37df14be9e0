#pragma once
// The two worker procedures the window and the command line start, and the
// modem-port settings they share with detection.

#include "fleet/transport/slot_context.h"
#include "fleet/ui/detection.h"

namespace fleet {

SlotWorker ContainerWorker();
SlotWorker FilesWorker();

// The workers find a slot's modem port where detection looks for it.
void UseDetectionForModemPorts(const DetectionConfig& config);

}  // namespace fleet
