#pragma once
// One job as the flash history keeps it: when, where, by which program and
// front end, on which port or slot and handset, what was written (each image
// with its size and hashes), how it ended, how many bytes moved, and its log.
// Plain data: the programs fill it, the writer thread completes the hashes.

#include <cstdint>
#include <string>
#include <vector>

namespace history {

// An image of a job: a whole file, or a region of one (the images a line
// tool carries in its own program file).
struct ImageRef {
    std::string strRole;  // "main", "eboot", "pda", "phone", "mfx", "img", "dump" ...
    std::string strPath;
    int64_t nOffset = 0;
    int64_t nLength = -1;  // -1: from nOffset to the end of the file
    // What the file was when the job began (-1: not known); a file that has
    // changed by the time it is hashed is noted, not taken for what was written.
    int64_t nSeenSize = -1;
    int64_t nSeenMtimeNs = -1;
    // Completed by the writer thread.
    int64_t nSize = -1;     // bytes hashed; -1 when the file could not be read
    std::string strCrc32;   // 8 lower-case hex digits
    std::string strSha256;  // 64 lower-case hex digits
    std::string strNote;    // why there are no hashes, or that the file changed
    bool bHashed = false;
};

struct JobRecord {
    std::string strUid;    // unique per job: what makes a replayed record count once
    int64_t nStartMs = 0;  // UTC, milliseconds since 1970
    int64_t nEndMs = 0;
    std::string strStation;
    std::string strProgram;  // "oriel_downloader", "fleet_downloader"
    std::string strVersion;
    std::string strFrontEnd;  // "window", "command line"
    std::string strPort;      // the device path the job used
    int nSlot = 0;            // fleet slot 1..8; 0 for none
    std::string strDevice;    // the by-id name of the handset's interface
    std::string strUsbSerial;
    std::string strFlashId;
    std::string strOperation;
    std::string strProfile;
    bool bCompleted = false;
    std::string strFailureCode;
    std::string strFailureText;
    int64_t nBytes = 0;
    std::string strLog;
    std::vector<ImageRef> images;
};

constexpr char kResultCompleted[] = "completed";
constexpr char kResultFailed[] = "failed";
constexpr char kFrontEndWindow[] = "window";
constexpr char kFrontEndCommandLine[] = "command line";

// A fresh job id (a random UUID without braces).
std::string NewJobUid();
// Now, UTC, in milliseconds since 1970.
int64_t NowUtcMs();
// "2026-01-05T10:11:12.345Z": how times are stored; sorts as it reads.
std::string FormatUtc(int64_t nMs);
// The host name, the default station name.
std::string HostName();

// The record as one JSON object (the spool keeps records so), and back.
std::string RecordToJson(const JobRecord& record);
bool RecordFromJson(const std::string& json, JobRecord& record, std::string& error);

// The file's size and modification time now, for ImageRef::nSeen*; false
// when it cannot be looked at.
bool StatFile(const std::string& strPath, int64_t& nSize, int64_t& nMtimeNs);
// An image with what its file is now.
ImageRef SeenImage(std::string strRole, std::string strPath, int64_t nOffset = 0,
                   int64_t nLength = -1);

}  // namespace history
