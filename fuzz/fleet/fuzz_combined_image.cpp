// A combined ".img" file as the operator might pick it, checked against each
// platform: its layout is accepted only when every piece lies inside the file
// and fits the platform, and the pieces split off into the temporary folder
// are exactly the file's bytes.
#include <cstdint>
#include <vector>

#include "fleet/images/combined_image.h"
#include "fleet/images/image_file.h"
#include "fleet/images/image_selection.h"
#include "fleet/images/platform_profile.h"
#include "fleet/tools/mkimg.h"
#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/scratch_dir.h"
#include "platform/scripted_prompts.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Slice(const Bytes& b, uint64_t at, uint64_t n) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(at),
                 b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzzsupport::CFuzzInput in(pData, nSize);
    const std::vector<fleet::PlatformProfile> profiles = fleet::BuildPlatformProfiles();
    const int row = static_cast<int>(in.Byte() % profiles.size());
    const uint8_t mode = in.Byte();
    Bytes file;
    if (mode % 2 == 0) {
        // Pieces from the input, laid out by the test-image builder, then
        // perhaps damaged.
        fleet::CombinedImageParts parts;
        parts.strPlatform =
            in.Byte() % 8 == 0 ? in.ShortString() : profiles[static_cast<size_t>(row)].name;
        parts.nSecurity = in.Byte() % 8 == 0 ? 1 : 0;
        parts.phone = in.ShortBytes();
        // Most EBOOT parts are short; mode bit 16 makes one of the platform's
        // EBOOT length, the only size a pick takes.
        parts.eboot =
            (mode & 16) != 0
                ? fleet::PatternBytes(profiles[static_cast<size_t>(row)].ebootLength, in.Byte())
                : in.ShortBytes();
        for (size_t n = in.Range(0, 2); n > 0; --n) {
            parts.regions.push_back(in.ShortBytes());
        }
        file = fleet::BuildCombinedImage(parts);
        if (!file.empty() && mode % 4 == 2) {
            const size_t at = in.U16() % file.size();
            file[at] = in.Byte();
        }
        if (mode % 8 == 4) {
            file.resize(in.U16() % (file.size() + 1));
        }
    } else {
        file = in.Rest();
    }
    const std::string path = fuzzsupport::ScratchPath("job.img");
    FUZZ_CHECK(fuzzsupport::WriteFileBytes(path, file), "image written");
    fleet::CImageFile f;
    FUZZ_CHECK(f.Open(path), "image opens");
    const fleet::PlatformProfile& profile = profiles[static_cast<size_t>(row)];
    fleet::CombinedImageLayout layout;
    int error = -1;
    std::string detail;
    const bool bOk = fleet::ReadCombinedImageLayout(f, profile, layout, error, detail);
    if (!bOk) {
        FUZZ_CHECK(
            error == fleet::kImageErrorSizeOrExtension || error == fleet::kImageErrorPlatform,
            "a refused image names its error");
        FUZZ_CHECK(error != fleet::kImageErrorPlatform || !detail.empty(),
                   "and what did not match");
    } else {
        const uint64_t len = file.size();
        FUZZ_CHECK(layout.phoneOffset + layout.phoneSize <= len &&
                       layout.phoneSize <= profile.phoneMaxSize,
                   "the phone part is inside and fits");
        FUZZ_CHECK(layout.ebootOffset + layout.ebootSize <= len, "the EBOOT part is inside");
        FUZZ_CHECK(!layout.regions.empty() && layout.regions.size() <= profile.pdaRegions.size(),
                   "as many regions as the platform has, at most");
        for (const auto& r : layout.regions) {
            FUZZ_CHECK(r.offset + r.size <= len && r.size <= 0x7FFFFFFFu, "a region is inside");
        }
    }

    // The same file through the operator's pick: split into the temporary folder.
    platform::CScriptedPrompts prompts;
    fleet::CImageSelection selection(prompts, [](const std::string&) {});
    selection.LoadPlatformProfiles();
    selection.OnPlatformSelected(row + 1);
    prompts.m_openAnswers.push_back(path);
    const bool bChosen = selection.SetCombinedChosen(true);
    FUZZ_CHECK(bChosen == (bOk && layout.ebootSize == profile.ebootLength),
               "the pick takes exactly the images whose layout is good and whose EBOOT part is "
               "the platform's EBOOT length");
    if (bChosen) {
        Bytes piece;
        FUZZ_CHECK(fuzzsupport::ReadFileBytes(selection.TempFolder().PathOf(fleet::kEbootTempName),
                                              piece) &&
                       piece == Slice(file, layout.ebootOffset, layout.ebootSize),
                   "the EBOOT piece is the file's bytes");
        FUZZ_CHECK(selection.Phone().Size() == (layout.phoneSize + 1023) / 1024 * 1024,
                   "the phone piece's size in whole blocks");
        for (size_t i = 0; i < layout.regions.size(); ++i) {
            FUZZ_CHECK(
                fuzzsupport::ReadFileBytes(
                    selection.TempFolder().PathOf("_xip" + std::to_string(i) + ".nb0"), piece) &&
                    piece == Slice(file, layout.regions[i].offset, layout.regions[i].size),
                "a region piece is the file's bytes");
        }
    }
    selection.ClearAll();
    return 0;
}
