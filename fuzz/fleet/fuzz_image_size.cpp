// The image-size checks of the operator's picks: EBOOT, PDA and phone files of
// any size for each platform. A pick is kept only when its size is right for
// the platform, and a PDA region's scan ends inside the file, after its last
// data, with the sum of the bytes it read.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fleet/images/image_checksum.h"
#include "fleet/images/image_selection.h"
#include "fleet/images/platform_profile.h"
#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/scratch_dir.h"
#include "platform/scripted_prompts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzzsupport::CFuzzInput in(pData, nSize);
    platform::CScriptedPrompts prompts;
    fleet::CImageSelection selection(prompts, [](const std::string&) {});
    selection.LoadPlatformProfiles();
    const int combo = static_cast<int>(in.Byte() % 6);  // 0 and 5: no platform
    selection.OnPlatformSelected(combo);
    const fleet::PlatformProfile* profile = selection.CurrentProfile();
    const int kind = static_cast<int>(in.Byte() % fleet::kImageKindCount);

    // The size rule alone, for any length.
    const uint64_t high = in.U32();
    const uint64_t probe = (high << 8) | in.Byte();
    const int verdict = selection.ValidateImageSize(probe, kind);
    if (profile == nullptr) {
        FUZZ_CHECK(verdict == 0, "no platform, no image");
    } else if (kind == fleet::kImageEboot) {
        FUZZ_CHECK(verdict == (probe == profile->ebootLength),
                   "an EBOOT is exactly the platform's EBOOT length");
    } else if (kind == fleet::kImagePda || kind == fleet::kImagePdaGsm) {
        FUZZ_CHECK(verdict == 0 || (probe > profile->signatureHeaderSize && probe <= 0x7FFFFFFF &&
                                    (profile->pdaExactSize == 0 || probe == profile->pdaExactSize)),
                   "a PDA image is larger than the header size and fits a signed 32-bit offset");
    }

    // A real pick: a file of a chosen length (sparse beyond the input's
    // bytes), with or without the right extension.
    static const char* const kExtensions[] = {".nb0", ".bin", ".NB0", ".img", ""};
    const std::string path =
        fuzzsupport::ScratchPath(std::string("pick") + kExtensions[in.Byte() % 5]);
    uint32_t nLength = 0;
    if (kind == fleet::kImageEboot && profile != nullptr && in.Byte() % 2 == 0) {
        nLength = profile->ebootLength;  // the one size an EBOOT pick takes
    } else {
        nLength = in.Byte() % 4 == 0 ? in.Range(0, 4096) : in.Range(0x15E000, 0x15F800);
    }
    std::vector<uint8_t> head = in.Rest();
    if (head.size() > nLength) {
        head.resize(nLength);
    }
    FUZZ_CHECK(fuzzsupport::WriteFileBytes(path, head) && truncate(path.c_str(), nLength) == 0,
               "pick written");
    prompts.m_openAnswers.push_back(path);
    const bool bChosen = selection.SetImageChosen(kind, true);
    if (bChosen && kind != fleet::kImagePhone) {
        FUZZ_CHECK(selection.ValidateImageSize(nLength, kind) == 1, "a kept pick has a right size");
    }
    if (bChosen && (kind == fleet::kImagePda || kind == fleet::kImagePdaGsm)) {
        const fleet::RegionSelection& region = selection.Region(kind == fleet::kImagePda ? 0 : 1);
        const uint32_t start = region.regionStart;
        FUZZ_CHECK(start <= region.regionEnd && region.regionEnd <= std::max(nLength, start),
                   "the scan ends inside the file");
        // The bytes past the input's are zero: the data ends within the head.
        std::vector<uint8_t> file(head);
        file.resize(nLength, 0);
        uint32_t sum = 0;
        for (size_t i = start; i < file.size(); ++i) {
            sum += file[i];
        }
        FUZZ_CHECK(region.regionChecksum == sum || region.regionEnd < nLength,
                   "the sum of a region read to its end");
        for (size_t i = region.regionEnd; i < file.size(); ++i) {
            FUZZ_CHECK(file[i] == 0, "nothing but zeros after the data end");
        }
    }
    selection.ClearAll();
    return 0;
}
