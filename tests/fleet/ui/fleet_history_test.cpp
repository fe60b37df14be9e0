// The fleet window's flash history: each slot that ends is one record (its
// slot, handset, result, the code it failed on, its log), and Options >
// History... opens the history window once the program names a history.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>

#include "fleet/transport/slot_messages.h"
#include "fleet/ui/multi_download_dlg.h"
#include "platform/history/history_recorder.h"
#include "platform/history/history_store.h"
#include "platform/qt_history_view.h"
#include "platform/scripted_prompts.h"
#include "platform/settings_store.h"
#include "tests/support/scratch_dir.h"

namespace {

using namespace std::chrono_literals;
using namespace fleet;

class FleetHistory : public ::testing::Test {
  protected:
    void SetUp() override {
        settings.SetString("Detection", "Folder", File(""));
        std::string error;
        ASSERT_TRUE(history::ParseHistoryTarget(File("history.sqlite"), config.target, error));
        config.strStation = "line-7";
        config.strSpoolPath = File("spool.sqlite");
        history::RecorderOptions o;
        o.target = config.target;
        o.strSpoolPath = config.strSpoolPath;
        recorder = std::make_unique<history::CHistoryRecorder>(o);
        dlg = std::make_unique<CMultiDownloadDlg>(prompts, settings);
    }
    void TearDown() override {
        dlg.reset();
        recorder.reset();
    }
    std::string File(const std::string& name) const { return (m_dir.Path() / name).string(); }
    QAction* HistoryAction() const {
        for (QAction* a : dlg->findChildren<QAction*>()) {
            if (a->text() == "History...") {
                return a;
            }
        }
        return nullptr;
    }
    void Post(uint32_t msg, uint32_t code, int slot, uint32_t arg = 0) {
        dlg->MessageSink().PostMessage(msg, code, MakeSlotLParam(slot, arg));
        QCoreApplication::processEvents();
    }

    testsupport::CScratchDir m_dir{"fleet_history"};
    platform::CMemorySettingsStore settings;
    platform::CScriptedPrompts prompts;
    history::HistoryConfig config;
    std::unique_ptr<history::CHistoryRecorder> recorder;
    std::unique_ptr<CMultiDownloadDlg> dlg;
};

TEST_F(FleetHistory, EachSlotThatEndsIsOneRecord) {
    dlg->SetHistory(recorder.get(), config);
    CSlotBoard& b = dlg->Board();
    b.Detect();
    for (int i = 0; i < 2; ++i) {
        b.SlotAccepted(b.TopFreeSlot());
        b.MutableSlot(i).strDeviceName = "usb-Sim_Handset_000" + std::to_string(i + 1);
        b.SlotStarted(i);
    }
    Post(WM_PDA_PROGRESS, kPdaChecksumWrong, 1);
    // The worker's last words come after its ending code: the record waits
    // for the worker's end, so they are in its log.
    PostSlotLog(&dlg->MessageSink(), 1, "\tDevice-side Checksum: 1\r\n");
    Post(WM_PDA_PROGRESS, kPdaJobFinished, 0);
    // A code for a slot that has ended changes nothing, and records nothing.
    Post(WM_PDA_PROGRESS, kPdaJobFinished, 1);
    ASSERT_TRUE(recorder->Flush(10s));
    {
        history::CHistoryStore early;
        std::string error;
        ASSERT_TRUE(early.Open(config.target, error)) << error;
        std::vector<history::JobRow> none;
        ASSERT_TRUE(early.Query({}, none, error)) << error;
        EXPECT_TRUE(none.empty()) << "recorded before the worker ended";
    }
    Post(WM_WORKER_ENDED, 0, 1);
    Post(WM_WORKER_ENDED, 0, 0);
    ASSERT_TRUE(recorder->Flush(10s));

    history::CHistoryStore store;
    std::string error;
    ASSERT_TRUE(store.Open(config.target, error)) << error;
    std::vector<history::JobRow> rows;
    ASSERT_TRUE(store.Query({}, rows, error)) << error;
    ASSERT_EQ(rows.size(), 2u);
    const history::JobRecord& failed = rows[1].record;  // the older
    const history::JobRecord& done = rows[0].record;
    EXPECT_EQ(failed.nSlot, 2);
    EXPECT_FALSE(failed.bCompleted);
    EXPECT_EQ(failed.strFailureCode, std::to_string(kPdaChecksumWrong));
    EXPECT_EQ(failed.strFailureText, "Checksum failed!!");
    EXPECT_EQ(failed.strDevice, "usb-Sim_Handset_0002");
    EXPECT_EQ(failed.strFrontEnd, "window");
    EXPECT_EQ(failed.strStation, "line-7");
    std::string failedLog;
    std::string logError;
    ASSERT_TRUE(store.Log(rows[1].nId, failedLog, logError)) << logError;
    EXPECT_NE(failedLog.find("Device-side Checksum: 1"), std::string::npos) << failedLog;
    EXPECT_EQ(done.nSlot, 1);
    EXPECT_TRUE(done.bCompleted);
    EXPECT_TRUE(done.strFailureCode.empty());
    std::string log;
    ASSERT_TRUE(store.Log(rows[0].nId, log, error));
    EXPECT_NE(log.find("Downloading finished...\r\n"), std::string::npos) << log;
}

TEST_F(FleetHistory, HistoryOpensTheHistoryWindowOnceNamed) {
    QAction* action = HistoryAction();
    ASSERT_NE(action, nullptr);
    EXPECT_FALSE(action->isEnabled());
    dlg->SetHistory(nullptr, config);
    ASSERT_TRUE(action->isEnabled());
    action->trigger();
    platform::CHistoryView* view = dlg->History().View();
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->isVisible());
    EXPECT_TRUE(view->windowTitle().contains(QStringLiteral("fleet_downloader")));
    action->trigger();
    EXPECT_EQ(dlg->History().View(), view);
}

}  // namespace
