#include "fleet/images/platform_profile.h"

#include <array>

namespace fleet {

namespace {

constexpr std::array<PdaRegionDescriptor, 1> kDiskImageRegion = {{
    {"DISKIMAGE", 0x9CA80000, 0x9CA80000, 0, 1, 0, 0},
}};

constexpr std::array<PhoneArea, 7> kP440Areas = {{
    {8, 0x1700000, 0x6900000, 0, 60000},
    {0, 0x380000, 0x1300000, 0xFFFFFFFF, 100000},
    {1, 0, 16384, 16384, 200000},
    {3, 16384, 16384, 16384, 20000},
    {4, 262144, 65536, 65536, 20000},
    {5, 1048576, 131072, 131072, 20000},
    {6, 2621440, 262144, 262144, 20000},
}};

constexpr std::array<PhoneArea, 5> kJuniperTamarinAreas = {{
    {8, 0x1700000, 0x6900000, 0, 60000},
    {0, 0xE4000, 0x1000000, 0xFFFFFFFF, 100000},
    {3, 0, 16384, 16384, 20000},
    {4, 262144, 49152, 49152, 20000},
    {5, 1048576, 196608, 196608, 20000},
}};

PlatformProfile CommonRow() {
    PlatformProfile p;
    p.versionB = "0260";
    p.preProgram = 1;
    p.signatureMode = 0;
    p.imgHasHeader = 1;
    p.launchVariant = 0;
    p.handOverVariant = 0;
    p.containerMode = 1;
    p.launchAddress = 0x9CA80000;
    p.flashAddress = 0x9CA00000;
    p.maximumChunk = 0x04000000;
    p.unnamedFlag = 1;
    p.signatureHeaderSize = 0x15E800;
    p.ebootLength = 0x30000;
    p.ackBlock = 520;
    p.pdaRegions = kDiskImageRegion;
    p.phoneParamBlockFlag = 0;
    p.phoneModeWord = 5000;
    p.phoneOptionWord = 0;
    p.phoneMaxSize = 15000000;
    return p;
}

}  // namespace

std::vector<PlatformProfile> BuildPlatformProfiles() {
    std::vector<PlatformProfile> rows(kPlatformProfileCount, CommonRow());

    rows[0].name = "MTX-p440";
    rows[0].versionA = "0125";
    rows[0].ramBufferAddress = 0x80100000;
    rows[0].unnamedTag = 0x11223345;
    rows[0].pdaExactSize = 43247187;
    rows[0].phoneAreas = kP440Areas;

    rows[1].name = "MTX-p440";
    rows[1].versionA = "0100";
    rows[1].ramBufferAddress = 0x80100000;
    rows[1].unnamedTag = 0x11223345;
    rows[1].phoneAreas = kP440Areas;

    rows[2].name = "MTX-Juniper";
    rows[2].versionA = "0135";
    rows[2].ramBufferAddress = 0x800F0000;
    rows[2].unnamedTag = 0x11223346;
    rows[2].phoneAreas = kJuniperTamarinAreas;

    rows[3].name = "MTX-Tamarin2";
    rows[3].versionA = "0135";
    rows[3].ramBufferAddress = 0x800F0000;
    rows[3].unnamedTag = 0x11223346;
    rows[3].phoneAreas = kJuniperTamarinAreas;
    return rows;
}

std::vector<std::string> PlatformComboTexts() {
    return {"Please choose a profile!", "MTX-p440  || (WM5-HW rev 00 ~ 01)",
            "MTX-p440  || (WM5-HW rev 02 or later)", "MTX-Juniper)", "MTX-Tamarin2)"};
}

bool EbootSizeFits(uint64_t nSize, const PlatformProfile& profile) {
    return nSize == profile.ebootLength;
}

std::string EbootSizeText(uint64_t nSize, const PlatformProfile& profile) {
    return "The EBoot image is " + std::to_string(nSize) + " bytes; " + profile.name +
           " takes an EBoot image of exactly " + std::to_string(profile.ebootLength) +
           " bytes (its EBOOT partition).";
}

}  // namespace fleet
