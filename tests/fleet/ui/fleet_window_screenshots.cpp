// Renders the fleet window for the documentation: eight simulated handsets
// in the middle of a batch, and the batch's end with one handset's modem
// refusing a block. The handsets are paced, so the bars are caught part-way.
// The window reads its EBOOT and PDA image from its own program file, as the
// line's packed fleet_downloader does: this program packs a copy of itself
// with the images and runs that copy.
//
//   QT_QPA_PLATFORM=offscreen fleet_window_screenshots OUTDIR
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QTest>
#include <cstdio>
#include <cstring>
#include <functional>

#include "fleet/images/program_file.h"
#include "fleet/tools/mkimg.h"
#include "fleet/tools/pack.h"
#include "fleet/ui/multi_download_dlg.h"
#include "fleet/ui/workers.h"
#include "platform/scripted_prompts.h"
#include "platform/settings_store.h"
#include "sim/fleet/fleet_handset.h"
#include "tests/oriel/ui/qt_wait.h"

namespace {

// Control ids of the window.
constexpr int kDetect = 1021;
constexpr int kMulti = 1048;
constexpr int kPhone = 1036;
constexpr int kPlatform = 1070;

constexpr int kHandsets = 8;
constexpr int kJuniperEntry = 3;
constexpr uint32_t kJuniperRow = kJuniperEntry - 1;
constexpr int kFailingHandset = 6;
constexpr uint32_t kPhoneAreaKb = 128;
// Slow enough that the 2 MB PDA images take seconds per slot.
constexpr uint64_t kPace = 250000;
constexpr char kPackedFlag[] = "--packed";

using consoletest::Shoot;

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::string error;
    if (!fleet::WriteBytes(path, bytes, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    return true;
}

// Clicks a control as the operator would; a disabled one cannot be clicked.
bool Click(fleet::CMultiDownloadDlg& dlg, int nId) {
    auto* b = qobject_cast<QAbstractButton*>(dlg.Control(nId));
    if (b == nullptr || !b->isEnabled()) {
        std::fprintf(stderr, "control %d cannot be clicked\n", nId);
        return false;
    }
    QTest::mouseClick(b, Qt::LeftButton);
    return true;
}

int Count(const fleet::CSlotBoard& board, const std::function<bool(const fleet::SlotView&)>& f) {
    int n = 0;
    for (int i = 0; i < fleet::kBoardSlots; ++i) {
        n += f(board.Slot(i)) ? 1 : 0;
    }
    return n;
}

// What the slots show, for a message when a picture cannot be taken.
std::string SlotLines(const fleet::CSlotBoard& board) {
    std::string text;
    for (int i = 0; i < fleet::kBoardSlots; ++i) {
        const fleet::SlotView& v = board.Slot(i);
        text += std::to_string(i + 1) + ": " + v.strProgressText + " (" +
                std::to_string(v.nProgress) + ")\n";
    }
    return text;
}

// The images, and a copy of this program carrying EBOOT and the PDA image;
// returns that copy's path, empty on failure.
std::string PackSelf(const QDir& work) {
    const auto In = [&](const char* name) { return work.filePath(name).toStdString(); };
    const fleet::PlatformProfile profile = fleet::BuildPlatformProfiles()[kJuniperRow];
    const uint32_t codeStart = profile.phoneAreas[1].m_dwStartAddr;
    if (!Write(In("eboot.nb0"), fleet::PatternBytes(profile.ebootLength, 1)) ||
        !Write(In("pda.bin"), fleet::BuildB000ffImage(15, 5000, 2)) ||
        !Write(In("phone.bin"), fleet::PatternBytes(codeStart + kPhoneAreaKb * 1024, 3))) {
        return {};
    }
    fleet::PackRequest request;
    request.strProgram = fleet::ProgramFilePath();
    request.strEboot = In("eboot.nb0");
    request.strPda = In("pda.bin");
    // The name the window's title shows.
    request.strOut = In("fleet_downloader");
    request.nProfile = kJuniperRow;
    fleet::ContainerTrailer trailer;
    std::string error;
    if (!fleet::PackProgram(request, trailer, error)) {
        std::fprintf(stderr, "cannot pack %s: %s\n", request.strProgram.c_str(), error.c_str());
        return {};
    }
    return request.strOut;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], kPackedFlag) != 0)) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    // Fixed names, so the paths the pictures show stay the same between runs.
    QDir work(QDir::temp().filePath("fleet-window"));
    if (argc == 2) {
        work.removeRecursively();
        if (!QDir().mkpath(work.filePath("dev"))) {
            std::fprintf(stderr, "cannot create %s\n", qPrintable(work.path()));
            return 1;
        }
        const std::string packed = PackSelf(work);
        if (packed.empty()) {
            return 1;
        }
        char* args[] = {const_cast<char*>(packed.c_str()), argv[1], const_cast<char*>(kPackedFlag),
                        nullptr};
        execv(packed.c_str(), args);
        std::perror(packed.c_str());
        return 1;
    }

    QApplication app(argc, argv);
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const auto In = [&](const char* name) { return work.filePath(name).toStdString(); };
    fleetsim::FleetOptions options;
    options.strDir = In("dev");
    options.strStoreDir = In("store");
    options.nCount = kHandsets;
    options.settings.nPaceBytesPerSecond = kPace;
    fleetsim::Fault fault;
    fault.kind = fleetsim::Fault::Kind::Wrong;
    fault.step = fleetsim::Step::Block;
    fault.nIndex = static_cast<int>(kPhoneAreaKb / 2);
    fault.nHandset = kFailingHandset;
    options.faults.push_back(fault);
    // Outlives the window, whose workers talk to it until they are joined.
    fleetsim::CHandsetFleet fleet(options);

    platform::CScriptedPrompts prompts;
    platform::CMemorySettingsStore settings;
    settings.SetString("Detection", "Folder", options.strDir);
    fleet::UseDetectionForModemPorts(fleet::ReadDetectionConfig(settings));
    fleet::CMultiDownloadDlg dlg(prompts, settings);
    dlg.SetWorkers(fleet::ContainerWorker(), fleet::FilesWorker());
    dlg.show();
    if (!QTest::qWaitForWindowExposed(&dlg)) {
        return 1;
    }

    // The platform, then the modem image through the panel's button.
    auto* platform = qobject_cast<QComboBox*>(dlg.Control(kPlatform));
    platform->setCurrentIndex(kJuniperEntry);
    emit platform->activated(kJuniperEntry);
    prompts.m_openAnswers.push_back(In("phone.bin"));
    if (!Click(dlg, kPhone) || !dlg.Selection().PhoneChosen()) {
        std::fprintf(stderr, "the images were not taken:\n%s\n", qPrintable(dlg.LogText()));
        return 1;
    }
    // Eight slots shown.
    if (!Click(dlg, kMulti) || !Click(dlg, kDetect)) {
        return 1;
    }
    std::string error;
    if (!fleet.Start(error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 1;
    }
    // The eighth handset detected fills the slots, which starts them all.
    const fleet::CSlotBoard& board = dlg.Board();
    if (!consoletest::RunEventsUntil(
            [&] {
                return Count(board, [](const fleet::SlotView& v) {
                           return v.nState >= fleet::kSlotDownloading;
                       }) == kHandsets;
            },
            30000)) {
        std::fprintf(stderr, "the handsets were not all started:\n%s\n", qPrintable(dlg.LogText()));
        return 1;
    }

    // During: most bars part-way through the PDA image.
    const auto partWay = [](const fleet::SlotView& v) {
        return v.nState == fleet::kSlotDownloading && v.nProgress >= 5 && v.nProgress <= 95;
    };
    if (!consoletest::RunEventsUntil([&] { return Count(board, partWay) >= 4; }, 120000)) {
        std::fprintf(stderr, "the bars did not move:\n%s", SlotLines(board).c_str());
        return 1;
    }
    if (!Shoot(dlg, out.filePath("fleet-during.png"))) {
        return 1;
    }

    // After: every slot ended, the faulty handset's in red.
    if (!consoletest::RunEventsUntil([&] { return board.BatchEnded(); }, 300000)) {
        std::fprintf(stderr, "the batch did not end:\n%s\n", qPrintable(dlg.LogText()));
        return 1;
    }
    const bool bAsMeant = board.m_nFinished == kHandsets - 1 && board.m_nFailed == 1;
    if (!bAsMeant) {
        std::fprintf(stderr, "%d finished and %d failed, not %d and 1:\n%s\n", board.m_nFinished,
                     board.m_nFailed, kHandsets - 1, qPrintable(dlg.LogText()));
    }
    const bool bOk = bAsMeant && Shoot(dlg, out.filePath("fleet-after.png"));
    dlg.Slots().JoinAll();
    fleet.Stop();
    work.removeRecursively();
    return bOk ? 0 : 1;
}
