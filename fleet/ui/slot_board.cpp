#include "fleet/ui/slot_board.h"

#include "fleet/transport/slot_messages.h"
#include "platform/format.h"

namespace fleet {

namespace {

// Slots keep a modem port as its tty number + 1 (0 is "no port"); texts
// show the tty's own number.
uint32_t TtyOfPort(uint32_t nPort) {
    return nPort > 0 ? nPort - 1 : 0;
}

// A percentage argument, at most 100.
uint32_t Percent(uint32_t n) {
    return n > 100 ? 100 : n;
}

// Cut to the log's line limit without splitting a UTF-8 sequence.
std::string Bounded(const std::string& text) {
    if (text.size() <= kLogLineLimit) {
        return text;
    }
    size_t n = kLogLineLimit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    return text.substr(0, n);
}

}  // namespace

const char* PhoneAreaName(uint32_t nArea) {
    switch (nArea) {
        case 1:
            return "BOOT area";
        case 2:
            return "PBL area";
        case 4:
            return "QCSBL area";
        case 5:
            return "OEMSBL area";
        case 6:
            return "SECDLOAD area";
        case 7:
            return "BIB area";
        case 8:
            return "EFS area";
        default:
            return "CODE area";
    }
}

CSlotBoard::CSlotBoard() {
    m_anFree.fill(-1);
    InitSlots();
}

void CSlotBoard::Push(int nSlot) {
    if (m_nTop + 1 < kBoardSlots) {
        m_anFree[static_cast<size_t>(++m_nTop)] = nSlot;
    }
}

void CSlotBoard::InitSlots() {
    m_nDetected = m_nFinished = m_nFailed = 0;
    m_bDetectArmed = 0;
    m_nFree = kBoardSlots;
    m_strLog.clear();
    m_nTop = -1;
    m_anFree.fill(-1);
    for (int i = kBoardSlots - 1; i >= 0; --i) {
        InitSlot(i);
    }
    m_bSelectorsEnabled = true;
}

void CSlotBoard::InitSlot(int nSlot) {
    if (nSlot < 0 || nSlot >= kBoardSlots) {
        return;
    }
    SlotView& s = m_slots[static_cast<size_t>(nSlot)];
    s = SlotView{};
    s.nLabelColour = kColourYellow;
    s.strProgressText = "Waiting for starting..";
    s.strLabel = platform::Format("PDA %d", nSlot + 1);
    Push(nSlot);
}

void CSlotBoard::Detect() {
    m_bDetectArmed = 1;
    for (SlotView& s : m_slots) {
        if (s.nState == kSlotEmpty || s.nState == kSlotReady) {
            s.strProgressText = "Waiting for the device...";
        }
    }
}

void CSlotBoard::SlotAccepted(int nSlot) {
    if (nSlot < 0 || nSlot >= kBoardSlots || TopFreeSlot() != nSlot) {
        return;
    }
    --m_nTop;
    ++m_nDetected;
    AppendLog(platform::Format("PDA Device %d detected.\r\n", nSlot + 1));
    SlotView& s = m_slots[static_cast<size_t>(nSlot)];
    s.nState = kSlotReady;
    s.nBusy = 1;
    s.nLabelColour = kColourGreen;
    s.strProgressText = "Ready to download...";
}

void CSlotBoard::SlotStarted(int nSlot) {
    SlotView& s = m_slots[static_cast<size_t>(nSlot)];
    s.nState = kSlotDownloading;
    s.nBusy = 1;
    --m_nFree;
    m_bSelectorsEnabled = false;
}

void CSlotBoard::ResetSlot(int nSlot) {
    if (nSlot < 0 || nSlot >= kBoardSlots) {
        return;
    }
    const SlotView& s = m_slots[static_cast<size_t>(nSlot)];
    // Only a slot that ended is the operator's to reset; counters follow it.
    if (!s.Ended()) {
        return;
    }
    ++m_nFree;
    --m_nDetected;
    if (s.nState == kSlotFinished) {
        --m_nFinished;
    } else {
        --m_nFailed;
    }
    InitSlot(nSlot);
    if (m_bDetectArmed != 0) {
        m_slots[static_cast<size_t>(nSlot)].strProgressText = "Waiting for the device...";
    }
}

void CSlotBoard::ResetAll() {
    InitSlots();
}

bool CSlotBoard::CloseNeedsConfirmation() const {
    return !(m_nDetected == 0 || m_nFinished == kBoardSlots || m_nFailed == kBoardSlots ||
             m_nFinished + m_nFailed == m_nDetected);
}

std::string CSlotBoard::CounterText() const {
    return platform::Format("Currently %d device(s) detected.", m_nDetected);
}

void CSlotBoard::AppendLog(const std::string& text) {
    m_strLog += Bounded(text);
}

void CSlotBoard::AppendSlotLog(int nSlot, const std::string& text) {
    if (nSlot < 0 || nSlot >= kBoardSlots) {
        return;
    }
    m_slots[static_cast<size_t>(nSlot)].strLog += Bounded(text);
}

void CSlotBoard::OnSlotLog(int nSlot, const std::string& text) {
    AppendSlotLog(nSlot, text);
}

std::string CSlotBoard::RegionName(uint32_t nIndex) const {
    if (m_pProfile == nullptr || nIndex >= m_pProfile->pdaRegions.size()) {
        return "?";
    }
    return m_pProfile->pdaRegions[nIndex].name;
}

void CSlotBoard::CommonEnding(int nSlot, uint32_t nCode) {
    SlotView& s = m_slots[static_cast<size_t>(nSlot)];
    if (s.Ended()) {
        s.nEndCode = nCode;
    }
    if (s.nState == kSlotFailed) {
        ++m_nFailed;
        s.nLabelColour = kColourRed;
        s.bResetEnabled = true;
    }
    if (m_nFinished + m_nFailed == m_nDetected) {
        m_bSelectorsEnabled = true;
    }
}

SlotView* CSlotBoard::LiveSlotOf(intptr_t lParam) {
    const int nSlot = SlotOfLParam(lParam);
    if (nSlot < 0 || nSlot >= kBoardSlots) {
        return nullptr;
    }
    SlotView& s = m_slots[static_cast<size_t>(nSlot)];
    // A slot that has ended takes no more codes: a late message must not count
    // it twice.
    return s.Ended() ? nullptr : &s;
}

void CSlotBoard::OnPdaProgress(uint32_t nCode, intptr_t lParam) {
    SlotView* pSlot = LiveSlotOf(lParam);
    if (pSlot == nullptr) {
        return;
    }
    SlotView& s = *pSlot;
    const int nSlot = SlotOfLParam(lParam);
    const uint32_t arg = ArgumentOfLParam(lParam);
    std::string t;
    auto plain = [&](const char* text) {
        t = text;
        AppendSlotLog(nSlot, "PDA-" + t + "\r\n");
    };
    switch (nCode) {
        case kPdaEbootUpdateStart:
            plain("Starting updating EBoot...");
            break;
        case kPdaEbootTransferStart:
            plain("Downloading EBoot...");
            break;
        case kPdaEbootUpdateDone:
            plain("EBoot update finished.");
            break;
        case kPdaWritingStart:
            plain("Writing image..");
            s.nProgress = 0;
            break;
        case kPdaEraseStart:
            plain("Starting erasing flash...");
            break;
        case kPdaTransferStart:
            t = platform::Format("Starting downloading region #%u(%s)..", arg + 1,
                                 RegionName(arg).c_str());
            AppendSlotLog(nSlot, "PDA-" + t + "\r\n");
            break;
        case kPdaTransferDoneErasing:
            t = "Waiting for erasing Flash...";
            AppendSlotLog(nSlot,
                          "PDA-Downloading finished and still waiting for erasing flash...\r\n");
            break;
        case kPdaReadError:
            t = "Read Error!!";
            AppendSlotLog(nSlot,
                          platform::Format("PDA-%sfrom %s\r\n", t.c_str(),
                                           arg == kReadErrorImageFile ? "image file" : "USB"));
            s.nState = kSlotFailed;
            break;
        case kPdaTransferProgress:
            t = platform::Format("Downloading image %u%%", Percent(arg));
            s.nProgress = static_cast<int32_t>(Percent(arg));
            break;
        case kPdaSignatureErase:
            // The signature-mode erase: the slot goes on.
            t = "Erasing for the signed image...";
            AppendSlotLog(nSlot, "PDA-" + t + "\r\n");
            break;
        case kPdaChecksumStart:
            t = "Verifying Checksum...";
            break;
        case kPdaChecksumCorrect:
            plain("Checksum OK..");
            break;
        case kPdaChecksumWrong:
            plain("Checksum failed!!");
            s.nState = kSlotFailed;
            break;
        case kPdaRegionDone:
            t = platform::Format("PDA region #%u(%s) finished.", arg + 1, RegionName(arg).c_str());
            AppendSlotLog(nSlot, "PDA-" + t + "\r\n");
            break;
        case kPdaProgramProgress:
            t = platform::Format("Writing image %u%%", Percent(arg));
            s.nProgress = static_cast<int32_t>(Percent(arg));
            break;
        case kPdaProgramDone:
            t = "Writing image 100%";
            AppendSlotLog(nSlot, "PDA-Writing image finished...\r\n");
            s.nProgress = 100;
            break;
        case kPdaWriteFailed:
            t = "Writing failed...";
            AppendSlotLog(nSlot, platform::Format("PDA-Writing failed at %u%%.\r\n", arg));
            s.nState = kSlotFailed;
            break;
        case kPdaJobFinished:
            t = platform::Format("Job Done.%s", arg == 0 ? "Launched!!" : "");
            AppendLog(platform::Format("PDA %d finished downloading!\r\n", nSlot + 1));
            AppendSlotLog(nSlot, "Downloading finished...\r\n");
            s.nLabelColour = kColourBlue;
            s.nState = kSlotFinished;
            s.nBusy = 1;
            ++m_nFinished;
            s.bResetEnabled = true;
            s.nProgress = 100;
            break;
        case kPdaLaunchFailed:
            plain("Launch failed!!");
            s.nState = kSlotFailed;
            break;
        case kPdaSignatureCheckStart:
            t = "Checking image signature...";
            AppendSlotLog(nSlot, "PDA-Downloading finished and checking image signature...\r\n");
            break;
        case kPdaSignatureMatched:
            plain("Signature matched..");
            break;
        case kPdaSignatureFailed:
            plain("Signature check failed!!");
            s.nState = kSlotFailed;
            break;
        default:
            if (nCode >= kPdaBinFirstPart && nCode <= kPdaBinLastPart) {
                t = platform::Format("Writing image(%u) %u%%", nCode - kPdaBinFirstPart + 1,
                                     Percent(arg));
                s.nProgress = static_cast<int32_t>(Percent(arg));
                break;
            }
            t = "Unsupported Message!!!";
            AppendSlotLog(nSlot, "PDA-" + t + "\r\nThis case MUST NOT happen!!!\r\n");
            s.nState = kSlotFailed;
            break;
    }
    s.strProgressText = t;
    CommonEnding(nSlot, nCode);
}

void CSlotBoard::OnPhoneProgress(uint32_t nCode, intptr_t lParam) {
    SlotView* pSlot = LiveSlotOf(lParam);
    if (pSlot == nullptr) {
        return;
    }
    SlotView& s = *pSlot;
    const int nSlot = SlotOfLParam(lParam);
    const uint32_t arg = ArgumentOfLParam(lParam);
    std::string t;
    auto plain = [&](const std::string& text) {
        t = text;
        AppendSlotLog(nSlot, "PHONE-" + t + "\r\n");
    };
    switch (nCode) {
        case kPhoneSwitchStart:
            plain("Switching USB to PHONE...");
            s.bWatching = 1;
            break;
        case kPhonePortOpened:
            plain(platform::Format("Opening COM %u succeed...", TtyOfPort(arg)));
            break;
        case kPhonePortOpenFailed:
            t = "Port open failed...";
            AppendSlotLog(nSlot,
                          platform::Format("PHONE-%s: COM %u\r\n", t.c_str(), TtyOfPort(arg)));
            s.nState = kSlotFailed;
            break;
        case kPhonePortOpening:
            plain(platform::Format("Attempting to open COM %u...", TtyOfPort(arg)));
            s.bWatching = 0;
            break;
        case kPhoneDownloadStart:
            plain("Starting downloading...");
            break;
        case kPhoneDownloadStartFailed:
            plain("Starting downloading failed...");
            s.nState = kSlotFailed;
            break;
        case kPhoneJumpAccepted:
            AppendSlotLog(nSlot, "PHONE-Jump OK...\r\n");
            break;
        case kPhoneJumpFailed:
            plain("Jump failed...");
            s.nState = kSlotFailed;
            break;
        case kPhoneAreaEraseStart:
            plain(platform::Format("Waiting for erasing %s...", PhoneAreaName(arg)));
            break;
        case kPhoneAreaEraseDone:
            plain(platform::Format("Erasing %s complete...", PhoneAreaName(arg)));
            break;
        case kPhoneAreaEraseFailed:
            plain("Erasing flash failed...");
            s.nState = kSlotFailed;
            break;
        case kPhoneAreaWriteStart:
            AppendSlotLog(nSlot,
                          platform::Format("PHONE-Writing %s started.\r\n", PhoneAreaName(arg)));
            break;
        case kPhoneWriteProgress:
            t = platform::Format("Writing image %u%%", arg);
            s.nProgress = static_cast<int32_t>(Percent(arg));
            break;
        case kPhoneWriteFailed:
            plain(platform::Format("Writing failed at %u%%..", arg));
            s.nState = kSlotFailed;
            break;
        case kPhoneAllAreasWritten:
            t = "Download complete...";
            AppendSlotLog(nSlot, "PHONE-Writing image finished.\r\n" + t + "\r\n");
            break;
        case kPhonePortMissing:
            AppendSlotLog(nSlot, "PHONE-Automatic driver detection failed..\r\n");
            break;
        default:
            t = "Unsupported Message!!!";
            AppendSlotLog(nSlot, "PHONE-" + t + "\r\nThis case MUST NOT happen!!!\r\n");
            s.nState = kSlotFailed;
            break;
    }
    s.strLabel = platform::Format("PHONE %d", nSlot + 1);
    if (!t.empty()) {
        s.strProgressText = t;
    }
    CommonEnding(nSlot, nCode);
}

}  // namespace fleet
