#pragma once
// Everything a slot's worker gets: the window fills one record per slot when
// it starts the slot and does not touch it again while the worker runs. The
// worker borrows the ports, files and profile named here; it reports only by
// posting messages (slot_messages.h).

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "fleet/images/image_file.h"

namespace platform {
class IMessageSink;
}  // namespace platform

namespace fleet {

class ComPort;
class PhoneBinaryFile;
class UsbDevicePort;
struct PlatformProfile;

// One PDA region of a files-mode job, in profile order.
struct RegionEntry {
    CImageFile* pImageFile = nullptr;
    int32_t nReserved = 0;
    int32_t bEnabled = 0;
    int32_t nStartOffset = 0;  // first byte of the region in the file
    int32_t nEndOffset = 0;    // one past the last
    uint32_t nExpectedChecksum = 0;
};

struct SlotContext {
    SlotContext() = default;
    SlotContext(const SlotContext&) = delete;
    SlotContext& operator=(const SlotContext&) = delete;

    int32_t nSlot = 0;
    // 0..9: the worker waits 1000 + 200 x stagger ms (EBOOT) or 1000 + 600 x
    // stagger ms (PDA image) before its first large transfer.
    int32_t nStagger = 0;
    platform::IMessageSink* pWindow = nullptr;
    UsbDevicePort* pPdaPort = nullptr;  // opened by detection
    ComPort* pPhonePort = nullptr;      // opened by the worker
    int32_t bEboot = 0;                 // files mode: from the selection
    int32_t bPda = 0;                   // files mode: from the selection
    uint32_t nPhoneFlag = 0;
    uint32_t nLaunchFlag = 0;                   // 0: the job ends without the launch
    uint32_t nPhoneInit = 0;                    // non-zero lets the phone phase erase the EFS area
    const PlatformProfile* pProfile = nullptr;  // the row the container's index names
    CImageFile* pEbootFile = nullptr;           // files mode
    CImageFile programFile;                     // the program's own file, this slot's handle
    std::string strSpare;
    std::vector<RegionEntry> regions;  // files mode: one per PDA region of the selection
    const PhoneBinaryFile* pPhoneImage = nullptr;
    std::string strDeviceName;
    // Written by the window when the slot's modem port is found, read by the
    // worker when its phone phase begins.
    const std::atomic<int32_t>* pPhoneComNumber = nullptr;
    int32_t nPhoneMode = 1;  // 3: the phone phase writes every area, 1: the first two
};

// A worker thread's procedure: 0 on success, -1 on a failure exit (not used;
// only the posted codes count).
using SlotWorker = int (*)(SlotContext* pContext);

}  // namespace fleet
