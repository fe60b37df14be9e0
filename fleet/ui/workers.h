#pragma once
// The two worker procedures the window starts, where the build has them.

#include "fleet/transport/slot_context.h"

namespace fleet {

// Null while the PDA/phone download protocol is not part of the build.
SlotWorker ContainerWorker();
SlotWorker FilesWorker();

}  // namespace fleet
