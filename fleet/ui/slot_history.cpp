#include "fleet/ui/slot_history.h"

#include <filesystem>

#include "fleet/images/image_file.h"
#include "fleet/images/image_selection.h"
#include "fleet/images/platform_profile.h"
#include "fleet/images/program_file.h"
#include "fleet/transport/slot_launch.h"
#include "platform/history/history_recorder.h"
#include "platform/serial_port_list.h"
#include "platform/version.h"

namespace fleet {

void CSlotHistory::SetRecorder(history::CHistoryRecorder* pRecorder, std::string strStation,
                               std::string strFrontEnd) {
    m_pRecorder = pRecorder;
    m_strStation = std::move(strStation);
    m_strFrontEnd = std::move(strFrontEnd);
}

void CSlotHistory::SlotStarted(int nSlot, const CFleetSlots& slots) {
    if (m_pRecorder == nullptr || nSlot < 0 || nSlot >= kBoardSlots) {
        return;
    }
    Started& s = m_started[static_cast<size_t>(nSlot)];
    s.bValid = true;
    s.nStartMs = history::NowUtcMs();
    s.strPort = slots.pdaPorts[static_cast<size_t>(nSlot)].DevicePath();
    s.strUsbSerial = platform::UsbDeviceOfTty(s.strPort).strSerial;
}

const ContainerTrailer* CSlotHistory::TrailerOf(const std::string& strProgramPath) {
    const auto it = m_trailers.find(strProgramPath);
    if (it != m_trailers.end()) {
        return &it->second;
    }
    // 36 bytes, once per program file.
    CImageFile file;
    ContainerTrailer trailer;
    if (!file.Open(strProgramPath) || !ReadContainerTrailer(file, trailer) || !trailer.HasMagic()) {
        return nullptr;
    }
    return &m_trailers.emplace(strProgramPath, trailer).first->second;
}

void CSlotHistory::SlotEnded(int nSlot, const SlotView& view, const CFleetSlots& slots,
                             const CImageSelection& selection) {
    if (m_pRecorder == nullptr || nSlot < 0 || nSlot >= kBoardSlots) {
        return;
    }
    const size_t n = static_cast<size_t>(nSlot);
    const SlotContext& ctx = slots.contexts[n];
    Started& started = m_started[n];
    history::JobRecord r;
    r.strUid = history::NewJobUid();
    r.nEndMs = history::NowUtcMs();
    r.nStartMs = started.bValid ? started.nStartMs : r.nEndMs;
    r.strStation = m_strStation;
    r.strProgram = "fleet_downloader";
    r.strVersion = platform::SuiteVersion();
    r.strFrontEnd = m_strFrontEnd;
    r.strPort = started.strPort;
    r.nSlot = nSlot + 1;
    r.strDevice = view.strDeviceName;
    r.strUsbSerial = started.strUsbSerial;
    r.strProfile = ctx.pProfile != nullptr ? ctx.pProfile->name : std::string();
    r.bCompleted = view.nState == kSlotFinished;
    if (!r.bCompleted) {
        r.strFailureCode = std::to_string(view.nEndCode);
        r.strFailureText = view.strProgressText;
    }
    r.strLog = view.strLog;
    started = Started{};

    // What the job read: the container in the program file, or the files
    // chosen (a combined image as the one file it is).
    const bool bPhone = ctx.nPhoneFlag != 0 && selection.PhoneChosen();
    if (selection.CombinedChosen()) {
        r.images.push_back(history::SeenImage("img", selection.PathText(kImagePda)));
    } else if (ctx.pEbootFile == nullptr && ctx.regions.empty()) {
        // This program's own file is recorded under its name, not /proc/self/exe.
        std::string program = ctx.programFile.Path();
        if (program == ProgramFilePath()) {
            std::error_code ec;
            const std::filesystem::path real = std::filesystem::read_symlink(program, ec);
            if (!ec) {
                program = real.string();
            }
        }
        if (const ContainerTrailer* t = TrailerOf(program)) {
            if (t->HasEboot()) {
                r.images.push_back(
                    history::SeenImage("eboot", program, t->ebootOffset, t->ebootSize));
            }
            r.images.push_back(history::SeenImage("pda", program, t->pdaOffset, t->pdaSize));
        }
    } else {
        if (ctx.bEboot != 0) {
            r.images.push_back(history::SeenImage("eboot", selection.PathText(kImageEboot)));
        }
        for (size_t i = 0; i < ctx.regions.size() && i < 2; ++i) {
            if (ctx.regions[i].bEnabled != 0) {
                r.images.push_back(
                    history::SeenImage(i == 0 ? "pda" : "pda-gsm",
                                       selection.PathText(i == 0 ? kImagePda : kImagePdaGsm)));
            }
        }
    }
    if (bPhone && !selection.CombinedChosen()) {
        r.images.push_back(history::SeenImage("phone", selection.PathText(kImagePhone)));
    }
    std::string roles;
    for (const history::ImageRef& image : r.images) {
        roles += (roles.empty() ? "" : "+") + image.strRole;
        // The workers count no bytes; a finished job moved its images.
        if (r.bCompleted) {
            r.nBytes += image.nLength >= 0 ? image.nLength : std::max<int64_t>(image.nSeenSize, 0);
        }
    }
    r.strOperation = "download " + (roles.empty() ? std::string("?") : roles);
    m_pRecorder->Submit(std::move(r));
}

}  // namespace fleet
