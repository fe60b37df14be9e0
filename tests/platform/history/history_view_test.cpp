// The "History..." window: the jobs of a database in a table that sorts and
// narrows, the selected job's log, the CSV export of what is shown, and a
// database it cannot read said in the window, not in a box.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <fstream>

#include "platform/history/history_store.h"
#include "platform/qt_history_view.h"
#include "platform/scripted_prompts.h"
#include "tests/platform/history/history_test_support.h"

namespace {

using historytest::Job;
using historytest::SqliteTarget;

constexpr int kColId = 0;
constexpr int kColDevice = 8;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class HistoryView : public ::testing::Test {
  protected:
    void SetUp() override {
        history::CHistoryStore store;
        std::string error;
        ASSERT_TRUE(store.Open(SqliteTarget(Db()), error)) << error;
        for (int i = 1; i <= 5; ++i) {
            history::JobRecord r = Job(i, "usb-Sim_Handset_FSIM000" + std::to_string(i), i != 3,
                                       1767607200000 + i * 60000);
            r.strLog = "log of handset " + std::to_string(i) + "\r\nline two\r\n";
            m_uids.push_back(r.strUid);
            ASSERT_EQ(store.Insert(r, error), history::InsertResult::Inserted) << error;
        }
    }
    std::string Db() const { return (m_dir.Path() / "history.sqlite").string(); }
    // Runs the event loop until the window has its answers.
    static bool Settle(platform::CHistoryView& view) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            if (!view.Busy()) {
                QCoreApplication::processEvents();
                return true;
            }
        }
        return false;
    }
    static std::string Cell(platform::CHistoryView& view, int row, int column) {
        return view.Rows()->index(row, column).data().toString().toStdString();
    }

    testsupport::CScratchDir m_dir{"oriel_history_view"};
    platform::CScriptedPrompts m_prompts;
    std::vector<std::string> m_uids;
};

TEST_F(HistoryView, ListsTheJobsNewestFirstAndSortsByAnyColumn) {
    platform::CHistoryView view(history::kFleetHistory, SqliteTarget(Db()), m_prompts);
    ASSERT_TRUE(Settle(view));
    ASSERT_EQ(view.Rows()->rowCount(), 5);
    EXPECT_EQ(Cell(view, 0, kColId), "5");
    EXPECT_EQ(Cell(view, 4, kColId), "1");
    EXPECT_EQ(view.Status()->text(), QStringLiteral("5 job(s)"));
    view.Table()->sortByColumn(kColDevice, Qt::AscendingOrder);
    EXPECT_EQ(Cell(view, 0, kColDevice), "usb-Sim_Handset_FSIM0001");
    EXPECT_EQ(Cell(view, 4, kColDevice), "usb-Sim_Handset_FSIM0005");
    // IDs sort as numbers.
    view.Table()->sortByColumn(kColId, Qt::AscendingOrder);
    EXPECT_EQ(Cell(view, 0, kColId), "1");
}

TEST_F(HistoryView, TheSelectedJobsLogIsShownAndWhatIsShownIsExported) {
    platform::CHistoryView view(history::kFleetHistory, SqliteTarget(Db()), m_prompts);
    ASSERT_TRUE(Settle(view));
    view.QuickFilter()->setText(QStringLiteral("fsim0002"));
    ASSERT_EQ(view.Rows()->rowCount(), 1);
    view.Table()->setCurrentIndex(view.Rows()->index(0, 0));
    ASSERT_TRUE(Settle(view));
    EXPECT_EQ(view.LogView()->toPlainText(), QStringLiteral("log of handset 2\nline two\n"));

    const std::string csv = (m_dir.Path() / "shown.csv").string();
    m_prompts.m_saveAnswers.push_back(csv);
    view.ExportCsv();
    const std::string text = ReadText(csv);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    EXPECT_NE(text.find(m_uids[1]), std::string::npos) << text;
    EXPECT_EQ(text.find(m_uids[0]), std::string::npos) << text;
    // A place the file cannot go: said, and nothing half-written left.
    m_prompts.m_saveAnswers.push_back((m_dir.Path() / "no" / "such" / "x.csv").string());
    view.ExportCsv();
    ASSERT_FALSE(m_prompts.m_messages.empty());
    EXPECT_NE(m_prompts.m_messages.back().text.find("could not be written"), std::string::npos);
}

TEST_F(HistoryView, TheFiltersAskTheDatabaseAgain) {
    platform::CHistoryView view(history::kFleetHistory, SqliteTarget(Db()), m_prompts);
    ASSERT_TRUE(Settle(view));
    view.FailedOnly()->setChecked(true);
    view.Search();
    ASSERT_TRUE(Settle(view));
    ASSERT_EQ(view.Rows()->rowCount(), 1);
    EXPECT_EQ(Cell(view, 0, kColId), "3");
    view.FailedOnly()->setChecked(false);
    view.Field("since")->setText(QStringLiteral("2026-01-05T10:03:00Z"));
    view.Search();
    ASSERT_TRUE(Settle(view));
    EXPECT_EQ(view.Rows()->rowCount(), 3);
    // A time it cannot read: said, the rows stay.
    view.Field("until")->setText(QStringLiteral("soon"));
    view.Search();
    EXPECT_TRUE(view.Status()->text().contains(QStringLiteral("is not a time")));
    EXPECT_EQ(view.Rows()->rowCount(), 3);
    // The other program's jobs only when asked.
    platform::CHistoryView oriel(history::kOrielHistory, SqliteTarget(Db()), m_prompts);
    ASSERT_TRUE(Settle(oriel));
    EXPECT_EQ(oriel.Rows()->rowCount(), 0);
}

TEST_F(HistoryView, ADatabaseItCannotReadIsSaidInTheWindow) {
    std::ofstream((m_dir.Path() / "blocked").string()) << "a file, not a folder";
    platform::CHistoryView view(history::kFleetHistory,
                                SqliteTarget((m_dir.Path() / "blocked" / "h.sqlite").string()),
                                m_prompts);
    ASSERT_TRUE(Settle(view));
    EXPECT_EQ(view.Rows()->rowCount(), 0);
    EXPECT_TRUE(view.Status()->text().startsWith(QStringLiteral("Cannot read")))
        << view.Status()->text().toStdString();
    EXPECT_TRUE(m_prompts.m_messages.empty());
}

}  // namespace
