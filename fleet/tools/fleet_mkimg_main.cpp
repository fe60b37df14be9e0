// fleet_mkimg: builds test images (combined .img, B000FF .bin, flat .nb0 with
// a zero tail) for the tests and the simulated handsets.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fleet/tools/mkimg.h"
#include "platform/version.h"

namespace {

constexpr char kUsage[] =
    "Usage: fleet_mkimg img --out F --platform NAME [--secure] --phone F --eboot F --region F "
    "[--region F ...]\n"
    "  or:  fleet_mkimg b000ff --out F --records N [--last BYTES] [--seed S]\n"
    "  or:  fleet_mkimg flat --out F --size N [--zero-tail N] [--seed S]\n"
    "  or:  fleet_mkimg --help | --version\n"
    "\n"
    "Builds test images for the fleet downloader and the simulated handsets:\n"
    "  img     a combined EBOOT+PDA+PHONE .img for platform NAME from the given parts\n"
    "  b000ff  a B000FF .bin of N records of pseudo-random bytes (S seeds them; the last\n"
    "          record BYTES long)\n"
    "  flat    a flat .nb0 of N pseudo-random bytes ending in a zero tail\n";

bool ParseNumber(const char* text, uint32_t& value) {
    if (text == nullptr || *text == '\0' || std::strlen(text) > 9) {
        return false;
    }
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
    }
    value = static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
    return true;
}

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (platform::PrintVersionIfAsked(argc, argv, "fleet_mkimg")) {
        return 0;
    }
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 2) {
        return Usage();
    }
    const std::string kind = argv[1];
    std::string out;
    fleet::CombinedImageParts parts;
    uint32_t records = 0, last = 0, seed = 1, size = 0, zeroTail = 0;
    bool bHaveCount = false;
    std::string error;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--secure") {
            parts.nSecurity = 1;
            continue;
        }
        const char* value = i + 1 < argc ? argv[++i] : nullptr;
        if (value == nullptr) {
            return Usage();
        }
        std::vector<uint8_t> bytes;
        bool bNumberOk = true;
        if (arg == "--out") {
            out = value;
        } else if (arg == "--platform") {
            parts.strPlatform = value;
        } else if (arg == "--phone" || arg == "--eboot" || arg == "--region") {
            if (!fleet::ReadBytes(value, bytes, error)) {
                std::fprintf(stderr, "fleet_mkimg: %s\n", error.c_str());
                return 1;
            }
            if (arg == "--phone") {
                parts.phone = std::move(bytes);
            } else if (arg == "--eboot") {
                parts.eboot = std::move(bytes);
            } else {
                parts.regions.push_back(std::move(bytes));
            }
        } else if (arg == "--records") {
            bNumberOk = ParseNumber(value, records);
            bHaveCount = true;
        } else if (arg == "--last") {
            bNumberOk = ParseNumber(value, last);
        } else if (arg == "--seed") {
            bNumberOk = ParseNumber(value, seed);
        } else if (arg == "--size") {
            bNumberOk = ParseNumber(value, size);
            bHaveCount = true;
        } else if (arg == "--zero-tail") {
            bNumberOk = ParseNumber(value, zeroTail);
        } else {
            return Usage();
        }
        if (!bNumberOk) {
            std::fprintf(stderr, "fleet_mkimg: %s takes a number, not %s\n", arg.c_str(), value);
            return 2;
        }
    }
    if (out.empty()) {
        return Usage();
    }
    std::vector<uint8_t> image;
    if (kind == "img") {
        if (parts.strPlatform.empty() || parts.regions.empty()) {
            return Usage();
        }
        image = fleet::BuildCombinedImage(parts);
    } else if (kind == "b000ff" && bHaveCount) {
        image = fleet::BuildB000ffImage(records, last, seed);
    } else if (kind == "flat" && bHaveCount) {
        image = fleet::BuildFlatImage(size, zeroTail, seed);
    } else {
        return Usage();
    }
    if (!fleet::WriteBytes(out, image, error)) {
        std::fprintf(stderr, "fleet_mkimg: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s: %zu bytes\n", out.c_str(), image.size());
    return 0;
}
