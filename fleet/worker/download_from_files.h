#pragma once
// The slot worker of operator-chosen image files: EBOOT from its file, each
// enabled PDA region from its file in pieces of at most the profile's
// maximum chunk (erase, transfer, programming acknowledgements, checksum),
// the hand-over, then the phone phase and the launch.

namespace fleet {

struct SlotContext;

constexpr char kChecksumLogFormat[] =
    "\tDevice-side Checksum: %X\r\n\t Downloader-side Checksum:%X\r\n";

// A SlotWorker: 0 when the job finished, -1 when it failed.
int DownloadFromFilesThread(SlotContext* pContext);

}  // namespace fleet
