#pragma once
// One seeded batch of the packed fleet line tool against hostile
// fleet_handset_sim handsets (EBOOT, a B000FF image and the modem's code
// area each); afterwards the invariants: the tool ends within its time-out
// and a margin, never crashes, exits 0 only when every handset finished, and
// every handset it reports finished holds the images byte for byte.

#include <cstdint>

#include "tests/chaos/chaos_common.h"

namespace chaos {

Verdict RunFleet(const Programs& programs, uint64_t nSeed, int nHandsets, bool bKeep);

}  // namespace chaos
