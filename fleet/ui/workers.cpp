#include "fleet/ui/workers.h"

namespace fleet {

SlotWorker ContainerWorker() {
    return nullptr;
}

SlotWorker FilesWorker() {
    return nullptr;
}

}  // namespace fleet
