#include "sim/oriel/handset_options.h"

#include <cctype>
#include <cstdlib>

namespace orielsim {

namespace {

struct StepInfo {
    Step step;
    const char* name;
    bool bIndexed;
};

constexpr StepInfo kSteps[] = {
    {Step::Grant, "grant", false},
    {Step::Challenge, "challenge", false},
    {Step::IdAck, "id-ack", false},
    {Step::TimeoutAck, "timeout-ack", false},
    {Step::LoadAddrAck, "loadaddr-ack", false},
    {Step::PreloaderWord, "preloader-word", true},
    {Step::StartAddrAck, "startaddr-ack", false},
    {Step::PreloaderReady, "preloader-ready", false},
    {Step::RateSync, "rate-sync", false},
    {Step::LengthSum, "length-sum", false},
    {Step::DmaReady, "dma-ready", true},
    {Step::BlockSum, "block-sum", true},
    {Step::BootloaderReady, "bootloader-ready", false},
    {Step::Cs0Sum, "cs0-sum", false},
    {Step::FlashIdReply, "flash-id", false},
    {Step::Sync, "sync", false},
    {Step::CrcSum, "crc-sum", false},
    {Step::OffsetSum, "offset-sum", false},
    {Step::NorLengthSum, "nor-length-sum", false},
    {Step::ChunkAck, "chunk-ack", true},
    {Step::SectorSum, "sector-sum", true},
    {Step::DownloadEnd, "download-end", false},
    {Step::EraseSum, "erase-sum", true},
    {Step::DumpSum, "dump-sum", true},
    {Step::MountAck, "mount-ack", false},
    {Step::MfxCrcSum, "mfx-crc-sum", false},
    {Step::TimeSum, "time-sum", false},
    {Step::DirSum, "dir-sum", true},
    {Step::DirAck, "dir-ack", true},
    {Step::VersionAck, "version-ack", false},
    {Step::ReleaseAck, "release-ack", false},
    {Step::FileHeaderSum, "file-header-sum", true},
    {Step::MfxChunkSum, "mfx-chunk-sum", true},
    {Step::FileAck, "file-ack", true},
    {Step::CompleteAck, "complete-ack", false},
    {Step::UnmountAck, "unmount-ack", false},
    {Step::FormatResult, "format", false},
    {Step::StatusResult, "status", false},
    {Step::ListEnd, "listing", false},
    {Step::ReadSize, "read-size", false},
    {Step::ReadChunkSum, "read-chunk-sum", true},
    {Step::DeleteAck, "delete-ack", false},
    {Step::FileStatus, "file-status", false},
    {Step::NandDumpStart, "nand-dump-start", false},
    {Step::NandDumpSum, "nand-dump-sum", true},
    {Step::NandDumpEnd, "nand-dump-end", false},
};

const StepInfo* Find(Step step) {
    for (const StepInfo& info : kSteps) {
        if (info.step == step) {
            return &info;
        }
    }
    return nullptr;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const int lower = std::tolower(static_cast<unsigned char>(c));
    if (lower >= 'a' && lower <= 'f') {
        return lower - 'a' + 10;
    }
    return -1;
}

}  // namespace

const char* StepName(Step step) {
    const StepInfo* info = Find(step);
    return info != nullptr ? info->name : "?";
}

std::optional<Step> StepFromName(const std::string& name) {
    for (const StepInfo& info : kSteps) {
        if (name == info.name) {
            return info.step;
        }
    }
    return std::nullopt;
}

bool StepIsIndexed(Step step) {
    const StepInfo* info = Find(step);
    return info != nullptr && info->bIndexed;
}

const std::vector<Step>& AllSteps() {
    static const std::vector<Step> all = [] {
        std::vector<Step> v;
        for (const StepInfo& info : kSteps) {
            v.push_back(info.step);
        }
        return v;
    }();
    return all;
}

bool ParseFault(Fault::Kind kind, const std::string& text, Fault& fault, std::string& error) {
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    const std::optional<Step> step = StepFromName(name);
    if (!step) {
        error = "unknown step '" + name + "' (steps:";
        for (const StepInfo& info : kSteps) {
            error += ' ';
            error += info.name;
        }
        error += ')';
        return false;
    }
    int nIndex = 0;
    if (colon != std::string::npos) {
        const std::string digits = text.substr(colon + 1);
        if (digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            error = "bad index '" + digits + "' in '" + text + "' (expected STEP:N, N >= 0)";
            return false;
        }
        nIndex = std::atoi(digits.c_str());
    }
    if (kind == Fault::Kind::WrongReply && *step == Step::Challenge) {
        error = "the challenge is random, a wrong one cannot be told apart; use a stop fault";
        return false;
    }
    fault.kind = kind;
    fault.step = *step;
    fault.nIndex = nIndex;
    return true;
}

bool ParseFlashId(const std::string& text, FlashId& id, std::string& error) {
    if (text == "NC0" || text == "nc0") {
        id = kFlashIdNC0;
        return true;
    }
    if (text == "PC0" || text == "pc0") {
        id = kFlashIdPC0;
        return true;
    }
    if (text.size() != 16) {
        error = "flash ID '" + text + "': expected NC0, PC0 or 16 hex digits";
        return false;
    }
    FlashId parsed{};
    for (size_t i = 0; i < 8; ++i) {
        const int hi = HexDigit(text[2 * i]);
        const int lo = HexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            error = "flash ID '" + text + "': not a hex digit at position " +
                    std::to_string(hi < 0 ? 2 * i + 1 : 2 * i + 2);
            return false;
        }
        parsed[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    id = parsed;
    return true;
}

}  // namespace orielsim
