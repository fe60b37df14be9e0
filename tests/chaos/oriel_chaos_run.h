#pragma once
// One seeded run of oriel_cli against a hostile oriel_handset_sim: from the
// seed, the command (a download, erase, dump, MFX download, format, status or
// explorer command), the handset's NOR and NAND before it, and the rate of
// faults; afterwards the invariants: oriel_cli ends within its time-out and a
// margin, never crashes, exits 0 only when the handset holds exactly what
// was asked, and leaves no output under the chosen name when it fails.

#include <cstdint>

#include "tests/chaos/chaos_common.h"

namespace chaos {

Verdict RunOriel(const Programs& programs, uint64_t nSeed, bool bKeep);

}  // namespace chaos
