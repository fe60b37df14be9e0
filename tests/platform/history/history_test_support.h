#pragma once
// Records and databases for the history suites.

#include <string>

#include "platform/history/history_target.h"
#include "platform/history/job_record.h"
#include "tests/support/scratch_dir.h"

namespace historytest {

// A fleet job of slot nSlot on a device, ended nAgeMs ago.
inline history::JobRecord Job(int nSlot, const std::string& device, bool bCompleted,
                              int64_t nStartMs = 1767607200000) {
    history::JobRecord r;
    r.strUid = history::NewJobUid();
    r.nStartMs = nStartMs;
    r.nEndMs = nStartMs + 41000;
    r.strStation = "line-1";
    r.strProgram = "fleet_downloader";
    r.strVersion = "0.3";
    r.strFrontEnd = history::kFrontEndCommandLine;
    r.strPort = "/dev/ttyACM" + std::to_string(nSlot);
    r.nSlot = nSlot;
    r.strDevice = device;
    r.strUsbSerial = "SER" + std::to_string(nSlot);
    r.strOperation = "flash";
    r.strProfile = "MTX-Juniper";
    r.bCompleted = bCompleted;
    if (!bCompleted) {
        r.strFailureCode = "208";
        r.strFailureText = "Read Error!!";
    }
    r.nBytes = 1234567;
    r.strLog = "PDA-Starting updating EBoot...\r\nDownloading finished...\r\n";
    return r;
}

inline history::HistoryTarget SqliteTarget(const std::string& path) {
    history::HistoryTarget t;
    std::string error;
    history::ParseHistoryTarget(path, t, error);
    return t;
}

}  // namespace historytest
