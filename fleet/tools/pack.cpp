#include "fleet/tools/pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fleet/images/image_file.h"
#include "fleet/images/platform_profile.h"
#include "platform/format.h"

namespace fleet {

namespace {

bool CopyWhole(CImageFile& source, int fd) {
    std::vector<uint8_t> buffer(1 << 20);
    if (source.Seek(0) != 0) {
        return false;
    }
    const int64_t length = source.Length();
    int64_t done = 0;
    while (done < length) {
        const size_t want = static_cast<size_t>(
            std::min<int64_t>(static_cast<int64_t>(buffer.size()), length - done));
        if (source.Read(buffer.data(), want) != want || !WriteWhole(fd, buffer.data(), want)) {
            return false;
        }
        done += static_cast<int64_t>(want);
    }
    return true;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

bool PackProgram(const PackRequest& request, ContainerTrailer& written, std::string& strError) {
    if (request.nProfile >= static_cast<uint32_t>(kPlatformProfileCount)) {
        strError = platform::Format("profile %u does not exist (0 to %d)", request.nProfile,
                                    kPlatformProfileCount - 1);
        return false;
    }
    CImageFile program;
    CImageFile eboot;
    CImageFile pda;
    if (!program.Open(request.strProgram)) {
        strError = "cannot read the program " + request.strProgram;
        return false;
    }
    const bool bEboot = !request.strEboot.empty();
    if (bEboot && !eboot.Open(request.strEboot)) {
        strError = "cannot read the EBOOT image " + request.strEboot;
        return false;
    }
    if (!pda.Open(request.strPda)) {
        strError = "cannot read the PDA image " + request.strPda;
        return false;
    }
    for (const std::string* input : {&request.strProgram, &request.strEboot, &request.strPda}) {
        if (!input->empty() && SameFile(*input, request.strOut)) {
            strError = "the output would overwrite the input " + *input;
            return false;
        }
    }
    ContainerTrailer existing;
    if (ReadContainerTrailer(program, existing) && existing.HasMagic()) {
        strError =
            request.strProgram + " already carries an image container; pack the plain program";
        return false;
    }
    const uint64_t programSize = static_cast<uint64_t>(program.Length());
    const uint64_t ebootSize = bEboot ? static_cast<uint64_t>(eboot.Length()) : 0;
    const uint64_t pdaSize = static_cast<uint64_t>(pda.Length());
    if (bEboot && ebootSize == 0) {
        strError = "the EBOOT image " + request.strEboot + " is empty";
        return false;
    }
    if (pdaSize == 0) {
        strError = "the PDA image " + request.strPda + " is empty";
        return false;
    }
    // The size rule the picker and the workers keep: the worker has exactly
    // the partition's length programmed.
    const PlatformProfile profile = BuildPlatformProfiles()[static_cast<size_t>(request.nProfile)];
    if (bEboot && !EbootSizeFits(ebootSize, profile)) {
        strError = request.strEboot + ": " + EbootSizeText(ebootSize, profile);
        return false;
    }
    if (programSize + ebootSize + pdaSize + kContainerTrailerSize > 0xFFFFFFFFull) {
        strError = "the packed program would pass 4 GB, which the trailer cannot describe";
        return false;
    }

    ContainerTrailer t;
    t.magic = kContainerMagic;
    t.ebootOffset = bEboot ? static_cast<uint32_t>(programSize) : 0;
    t.ebootSize = static_cast<uint32_t>(ebootSize);
    t.pdaOffset = static_cast<uint32_t>(programSize + ebootSize);
    t.pdaSize = static_cast<uint32_t>(pdaSize);
    t.unread = {0, 0, static_cast<uint32_t>(programSize + ebootSize + pdaSize), 0};
    t.profileIndex = request.nProfile;
    const auto trailer = EncodeContainerTrailer(t);

    std::vector<char> tempName(request.strOut.begin(), request.strOut.end());
    const std::string suffix = ".XXXXXX";
    tempName.insert(tempName.end(), suffix.begin(), suffix.end());
    tempName.push_back('\0');
    const int fd = mkstemp(tempName.data());
    if (fd < 0) {
        strError = "cannot create " + std::string(tempName.data()) + ": " + std::strerror(errno);
        return false;
    }
    bool bOk = CopyWhole(program, fd) && (!bEboot || CopyWhole(eboot, fd)) && CopyWhole(pda, fd) &&
               WriteWhole(fd, trailer.data(), trailer.size());
    // mkstemp makes the file 0600; a packed program is run like the original.
    bOk = bOk && fchmod(fd, 0755) == 0 && fsync(fd) == 0;
    if (::close(fd) != 0) {
        bOk = false;
    }
    if (!bOk || std::rename(tempName.data(), request.strOut.c_str()) != 0) {
        strError = "cannot write " + request.strOut + ": " + std::strerror(errno);
        ::unlink(tempName.data());
        return false;
    }
    written = t;
    return true;
}

bool InspectContainer(const std::string& strPath, std::string& strReport,
                      const std::string& strShownName) {
    const std::string& shown = strShownName.empty() ? strPath : strShownName;
    CImageFile file;
    if (!file.Open(strPath)) {
        strReport = "cannot read " + shown + "\n";
        return false;
    }
    const int64_t length = file.Length();
    ContainerTrailer t;
    uint32_t profileIndex = 0;
    if (!ReadContainerTrailer(file, t) || !ReadContainerProfileIndex(file, profileIndex)) {
        strReport = shown + ": too short for an image container\n";
        return false;
    }
    t.profileIndex = profileIndex;
    strReport = platform::Format("%s: %lld bytes\n", shown.c_str(), static_cast<long long>(length));
    if (!t.HasMagic()) {
        strReport += "no image container (the last 40 bytes do not start with IDJB)\n";
        return false;
    }
    std::string why;
    const bool bConsistent = CheckContainerRegions(t, static_cast<uint64_t>(length), why);
    if (t.HasEboot()) {
        strReport +=
            platform::Format("EBOOT region: offset 0x%X, %u bytes\n", t.ebootOffset, t.ebootSize);
    } else {
        strReport += "EBOOT region: none\n";
    }
    strReport += platform::Format("PDA region: offset 0x%X, %u bytes", t.pdaOffset, t.pdaSize);
    if (bConsistent) {
        const bool bBin = IsB000ffRegion(file, t.pdaOffset);
        const int64_t dataEnd =
            FindRegionDataEnd(file, t.pdaOffset, uint64_t{t.pdaOffset} + t.pdaSize);
        strReport += platform::Format(", %s, data end 0x%llX", bBin ? "B000FF" : "flat image",
                                      static_cast<unsigned long long>(dataEnd));
    }
    strReport += "\n";
    strReport += platform::Format("trailer words 20-35: 0x%X 0x%X 0x%X 0x%X\n", t.unread[0],
                                  t.unread[1], t.unread[2], t.unread[3]);
    const std::vector<PlatformProfile> profiles = BuildPlatformProfiles();
    if (profileIndex < profiles.size()) {
        strReport += platform::Format("profile index: %u (%s)\n", profileIndex,
                                      profiles[profileIndex].name.c_str());
    } else {
        strReport += platform::Format(
            "profile index: %u (no such profile: the program refuses to start)\n", profileIndex);
    }
    if (!bConsistent) {
        strReport += "inconsistent container: " + why + "\n";
        return false;
    }
    return profileIndex < profiles.size();
}

}  // namespace fleet
