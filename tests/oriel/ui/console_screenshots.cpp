// Renders the operator console in three situations for the documentation:
// fresh start, after identification, during a download. The handset is the
// simulator at the line rate, so the download is slow enough to catch.
//
//   QT_QPA_PLATFORM=offscreen oriel_console_screenshots OUTDIR
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QProgressBar>
#include <QTest>
#include <cstdio>
#include <fstream>
#include <memory>

#include "oriel/engine/engine_states.h"
#include "oriel/link/serial_port.h"
#include "oriel/ui/control_ids.h"
#include "oriel/ui/downloader_dlg.h"
#include "platform/qsettings_store.h"
#include "platform/scripted_prompts.h"
#include "sim/oriel/oriel_handset.h"
#include "tests/oriel/ui/qt_wait.h"

namespace {

using consoletest::Shoot;

void WriteImage(const std::string& path, size_t nSize) {
    std::ofstream out(path, std::ios::binary);
    for (size_t i = 0; i < nSize; ++i) {
        out.put(static_cast<char>((i * 131u) ^ (i >> 5)));
    }
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    // Fixed names, so the paths the pictures show stay the same between runs.
    QDir work(QDir::temp().filePath("oriel-console"));
    work.removeRecursively();
    if (!QDir().mkpath(work.path())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(work.path()));
        return 1;
    }
    const auto In = [&](const char* name) { return work.filePath(name).toStdString(); };

    platform::CScriptedPrompts prompts;
    oriel::CSerialPort port;

    // 1. The program as a new operator first sees it.
    {
        platform::CQSettingsStore settings(In("fresh.ini"));
        oriel::CDownloaderDlg dlg(port, settings, prompts);
        dlg.show();
        if (!QTest::qWaitForWindowExposed(&dlg) || !Shoot(dlg, out.filePath("console-start.png"))) {
            return 1;
        }
    }

    orielsim::HandsetOptions options;
    options.strLinkPath = In("ttyCOM1");
    orielsim::COrielHandset handset(options);
    std::string error;
    if (!handset.Start(error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 1;
    }
    WriteImage(In("tamarin2_boot.bin"), 32768);
    WriteImage(In("tamarin2_main.cla"), 1536 * 1024);
    WriteImage(In("tamarin2_bp.bin"), 318508);
    platform::CQSettingsStore settings(In("tamarin2.ini"));
    settings.SetString("Ports", "COM1", In("ttyCOM1"));
    settings.SetInt("Setting", "TabNum", 0);
    settings.SetInt("Setting", "SPEED", 3);
    settings.SetInt("Setting", "Mode", 1);
    settings.SetString("Setting", "BinPath1", In("tamarin2_boot.bin"));
    settings.SetString("Setting", "BinPath2", In("tamarin2_main.cla"));
    settings.SetString("Setting", "BinPath3", In("tamarin2_bp.bin"));
    oriel::CDownloaderDlg dlg(port, settings, prompts);
    dlg.show();
    if (!QTest::qWaitForWindowExposed(&dlg)) {
        return 1;
    }

    // 2. START, the handset powered on, the flash identified.
    dlg.ControlAs<QAbstractButton>(oriel::IDC_START)->click();
    oriel::CDownloaderEngine& e = dlg.Session().Engine();
    if (!consoletest::RunEventsUntil(
            [&] { return e.m_bIdentified == 1 || e.m_nState == oriel::IDLE; }, 30000) ||
        e.m_bIdentified != 1) {
        std::fprintf(stderr, "handshake did not complete:\n%s\n", dlg.LogText().c_str());
        return 1;
    }
    if (!Shoot(dlg, out.filePath("console-identified.png"))) {
        return 1;
    }

    // 3. A Main Binary download a third of the way through.
    dlg.ControlAs<QAbstractButton>(oriel::IDC_DOWNLOAD2)->click();
    auto* bar = dlg.ControlAs<QProgressBar>(oriel::IDC_PROGRESS);
    if (!consoletest::RunEventsUntil(
            [&] { return bar->maximum() > 1 && bar->value() * 3 >= bar->maximum(); }, 60000)) {
        std::fprintf(stderr, "download did not progress:\n%s\n", dlg.LogText().c_str());
        return 1;
    }
    const bool bOk = Shoot(dlg, out.filePath("console-download.png"));
    dlg.ControlAs<QAbstractButton>(oriel::IDC_STOP)->click();
    handset.Stop();
    work.removeRecursively();
    return bOk ? 0 : 1;
}
