#pragma once
// What the end-to-end tests of a slot's job share: a simulated handset that
// answers quickly, and a program packed with EBOOT and the PDA image.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fleet/tools/mkimg.h"
#include "fleet/tools/pack.h"
#include "sim/fleet/fleet_options.h"
#include "tests/fleet/temp_dir.h"

namespace fleettest {

// A handset whose modem port, checksum and signature come without delay.
inline fleetsim::HandsetSettings QuickHandset() {
    fleetsim::HandsetSettings s;
    s.nModemDelayMs = 50;
    s.nVerifyDelayMs = 20;
    s.nSignatureDelayMs = 20;
    return s;
}

// A stand-in program packed as strOut in the folder with the EBOOT and the
// PDA image for the profile row; where the PDA image sits is handed back.
inline std::string PackTestProgram(CTempDir& dir, const std::vector<uint8_t>& eboot,
                                   const std::vector<uint8_t>& pda, const std::string& strOut,
                                   uint32_t nProfile, uint32_t& nPdaOffset) {
    fleet::PackRequest pack;
    pack.strProgram = dir.Write("program", fleet::PatternBytes(0x21000, 99));
    pack.strEboot = eboot.empty() ? std::string() : dir.Write("eboot.nb0", eboot);
    pack.strPda = dir.Write("pda.bin", pda);
    pack.strOut = dir.File(strOut);
    pack.nProfile = nProfile;
    fleet::ContainerTrailer trailer;
    std::string error;
    EXPECT_TRUE(fleet::PackProgram(pack, trailer, error)) << error;
    nPdaOffset = trailer.pdaOffset;
    return pack.strOut;
}

}  // namespace fleettest
