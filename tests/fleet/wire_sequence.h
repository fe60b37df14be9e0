#pragma once
// What a simulated fleet handset must have received for a whole job, entry by
// entry as its received record keeps it (sim/fleet/received_log.h), worked
// out here from the wire rules alone: the detection handshake and
// PDA_ATTACHED, EBOOT, the PDA image (a B000FF stream after PDA_PROGRAM_BIN,
// or a files-mode region: erase, transfer, checksum, hand-over), the switch
// and the modem areas, and the last command or frame. The end-to-end tests
// compare the handset's record with it whole, so a missing, extra or
// misplaced command fails them.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace fleettest {

// Profile row 2 (MTX-Juniper), the row the end-to-end tests use.
struct WireProfile {
    uint32_t nRam = 0x800F0000;
    uint32_t nFlash = 0x9CA00000;
    uint32_t nLaunch = 0x9CA80000;
    uint32_t nEbootLength = 0x30000;
    uint32_t nRegionFlash = 0x9CA80000;  // the DISKIMAGE region's flash and checksum address
    uint32_t nCodeArea = 0xE4000;        // the code area row, written up to the image's end
};

inline std::string WireHex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

inline std::string PdaCommand(const std::string& strName, uint32_t a1 = 0, uint32_t a2 = 0,
                              uint32_t a3 = 0) {
    return "pda " + strName + " " + WireHex(a1) + " " + WireHex(a2) + " " + WireHex(a3);
}

// One transfer to RAM: packets of at most 1008 bytes, each where the last ended.
inline std::string RamRun(uint32_t nStart, uint64_t nLength) {
    return "pda PDA_WRITE_RAM x" + std::to_string((nLength + 1007) / 1008) + " " + WireHex(nStart) +
           "+" + std::to_string(nLength);
}

// The stream packets of a B000FF image sent as one part: the 15-byte image
// header, then per record of 12 + 0x20200 bytes its header and its data in
// pieces of 1008 (a short last record in as many pieces as it needs).
inline std::string StreamRun(uint64_t nImageLength) {
    constexpr uint64_t kRecord = 12 + 0x20200;
    const uint64_t rest = nImageLength - 15;
    uint64_t packets = 1 + rest / kRecord * (1 + (0x20200 + 1007) / 1008);
    const uint64_t last = rest % kRecord;
    if (last > 0) {
        packets += 1 + (last > 12 ? (last - 12 + 1007) / 1008 : 0);
    }
    return "pda stream x" + std::to_string(packets);
}

// Where a 1008-byte scan of the bytes, counted from nOffset, last found data.
inline uint32_t DataEnd(const std::vector<uint8_t>& bytes, uint32_t nOffset) {
    size_t end = 0;
    for (size_t at = 0; at < bytes.size(); at += 1008) {
        const size_t n = std::min<size_t>(1008, bytes.size() - at);
        for (size_t i = 0; i < n; ++i) {
            if (bytes[at + i] != 0) {
                end = at + n;
                break;
            }
        }
    }
    return nOffset + static_cast<uint32_t>(end);
}

// The phone phase of phone mode 1: the switch, then the first two rows of
// row 2's area table (the EFS row, not erased: greetings only; the code
// area up to the image's end in whole blocks).
inline std::vector<std::string> PhoneWire(const WireProfile& p, uint64_t nPhoneLength) {
    const uint64_t image = (nPhoneLength + 1023) / 1024 * 1024;
    const uint64_t code = image - p.nCodeArea;
    return {PdaCommand("PDA_SWITCH_PREPARE"),
            PdaCommand("PDA_SWITCH_TO_PHONE", p.nLaunch),
            "modem A0",
            "modem A0",
            "modem A0",
            "modem A0",
            "modem EF " + WireHex(p.nCodeArea) + "+" + std::to_string(code),
            "modem data x" + std::to_string(code / 1024)};
}

struct WireJob {
    WireProfile profile;
    bool bEboot = true;
    std::vector<uint8_t> pda;   // the PDA image (a B000FF image in container mode)
    uint32_t nPdaOffset = 0;    // container mode: where the image sits in the program file
    uint64_t nPhoneLength = 0;  // 0: no phone phase
    bool bLaunch = true;        // false: "Multi Download", no launch at the end
};

inline std::vector<std::string> Detected() {
    return {"pda A T U D", PdaCommand("PDA_ATTACHED")};
}

// The end of a job: the launch (PDA or modem) or, with Multi Download,
// PDA_FINISH without a phone phase and nothing after one.
inline void AppendFinish(std::vector<std::string>& wire, const WireJob& job) {
    if (job.nPhoneLength != 0) {
        if (job.bLaunch) {
            wire.push_back("modem C0 10 10 00 00");
        }
        return;
    }
    wire.push_back(PdaCommand(job.bLaunch ? "PDA_LAUNCH" : "PDA_FINISH", job.profile.nLaunch));
}

// DownloadFromContainerThread: EBOOT to RAM and programmed (the partition's
// length), the B000FF image streamed after PDA_PROGRAM_BIN.
inline std::vector<std::string> ContainerJobWire(const WireJob& job) {
    const WireProfile& p = job.profile;
    std::vector<std::string> wire = Detected();
    if (job.bEboot) {
        wire.push_back(RamRun(p.nRam, p.nEbootLength));
        wire.push_back(PdaCommand("PDA_PROGRAM", p.nRam, p.nEbootLength, p.nFlash));
    }
    wire.push_back(
        PdaCommand("PDA_PROGRAM_BIN", p.nRam, DataEnd(job.pda, job.nPdaOffset), p.nFlash));
    wire.push_back(StreamRun(job.pda.size()));
    if (job.nPhoneLength != 0) {
        const std::vector<std::string> phone = PhoneWire(p, job.nPhoneLength);
        wire.insert(wire.end(), phone.begin(), phone.end());
    }
    AppendFinish(wire, job);
    return wire;
}

// DownloadFromFilesThread: EBOOT to RAM (the profile's EBOOT length, no
// programming command), the region erased, sent and its checksum asked for,
// the hand-over.
inline std::vector<std::string> FilesJobWire(const WireJob& job) {
    const WireProfile& p = job.profile;
    std::vector<std::string> wire = Detected();
    if (job.bEboot) {
        wire.push_back(RamRun(p.nRam, p.nEbootLength));
    }
    if (!job.pda.empty()) {
        const uint32_t length = DataEnd(job.pda, 0);
        wire.push_back(PdaCommand("PDA_ERASE", p.nRegionFlash, length));
        wire.push_back(RamRun(p.nRam, length));
        wire.push_back(PdaCommand("PDA_VERIFY_CHECKSUM", p.nRegionFlash, length));
    }
    wire.push_back(PdaCommand("PDA_HANDOVER", p.nLaunch));
    if (job.nPhoneLength != 0) {
        const std::vector<std::string> phone = PhoneWire(p, job.nPhoneLength);
        wire.insert(wire.end(), phone.begin(), phone.end());
    }
    if (job.bLaunch) {
        AppendFinish(wire, job);
    }
    return wire;
}

}  // namespace fleettest
