// A phone binary of any size and content, cut into the 1031-byte records the
// phone phase sends: each record holds the file's bytes from its place, 0xFF
// past the file, and the block length in its header.
#include <cstdint>
#include <vector>

#include "fleet/images/phone_binary.h"
#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/scratch_dir.h"
#include "platform/scripted_prompts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzzsupport::CFuzzInput in(pData, nSize);
    const int mode =
        in.Bool() ? fleet::PhoneBinaryFile::kModeBlocks : fleet::PhoneBinaryFile::kModeExact;
    const uint32_t base = in.Byte() % 4 == 0 ? in.U32() % 8192 : 0;
    const int type = static_cast<int>(in.Byte() % 4);
    const std::vector<uint8_t> file = in.Rest();
    const std::string path = fuzzsupport::ScratchPath("phone.bin");
    FUZZ_CHECK(fuzzsupport::WriteFileBytes(path, file), "phone image written");

    platform::CScriptedPrompts prompts;
    fleet::PhoneBinaryFile phone(&prompts);
    FUZZ_CHECK(phone.Attach(path, mode) == 1, "an existing file attaches");
    const uint32_t size = mode == fleet::PhoneBinaryFile::kModeBlocks
                              ? static_cast<uint32_t>((file.size() + 1023) / 1024 * 1024)
                              : static_cast<uint32_t>(file.size());
    FUZZ_CHECK(phone.Size() == size, "the size, in whole blocks in mode 1");
    const int loaded = phone.Load(base, type);
    FUZZ_CHECK(loaded == (base <= size ? 1 : 0), "loads from any base inside the size");
    if (loaded == 1) {
        for (size_t i = 0; i < phone.RecordCount(); ++i) {
            const fleet::PhoneWriteRecord* r = phone.GetRecord(i);
            FUZZ_CHECK(r != nullptr && r->bytes[5] == 0x00 && r->bytes[6] == 0x04,
                       "every record carries the block length");
            for (size_t k = 0; k < fleet::kPhoneBlockSize; ++k) {
                const uint64_t at = uint64_t{base} + i * fleet::kPhoneBlockSize + k;
                FUZZ_CHECK(r->Data()[k] == (at < file.size() ? file[at] : 0xFF),
                           "the file's bytes from the record's place, 0xFF past the end");
            }
        }
        FUZZ_CHECK(phone.GetRecord(phone.RecordCount()) == nullptr, "nothing past the last record");
        FUZZ_CHECK(base != 0 || phone.RecordCount() * fleet::kPhoneBlockSize >= file.size(),
                   "the records from the start hold the whole file");
    }
    FUZZ_CHECK(prompts.m_messages.empty(), "an attached file raises no box");
    phone.Release();
    FUZZ_CHECK(phone.GetRecord(0) == nullptr && !phone.IsLoaded(), "released");
    return 0;
}
