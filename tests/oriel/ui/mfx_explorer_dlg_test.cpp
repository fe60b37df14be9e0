// The explorer window over a port whose handset the test plays.
#include "oriel/ui/mfx_explorer_dlg.h"

#include <gtest/gtest.h>

#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include "oriel/engine/console_view.h"
#include "oriel/mfx/code_page.h"
#include "oriel/ui/control_ids.h"
#include "oriel/ui/downloader_session.h"
#include "tests/support/recording_explorer_view.h"
#include "tests/support/wire_port.h"

namespace {

using namespace oriel;
using Bytes = std::vector<uint8_t>;

using testsupport::ListEntry;

class ExplorerWindow : public ::testing::Test, protected testsupport::CWirePort {
  protected:
    void SetUp() override {
        session.Engine().m_bIdentified = 1;
        session.Engine().m_nState = IDLE;
        dlg = std::make_unique<CMfxExplorerDlg>(session, prompts);
        dlg->show();
    }
    // Replies arrive as the receive thread would announce them: a wake-up.
    void Reply(const Bytes& b) {
        Feed(b);
        session.OnMessage({WM_COMM_RXCHAR, 1, 0});
    }
    void Listing(const std::vector<Bytes>& entries) {
        for (size_t i = 0; i < entries.size(); ++i) {
            Reply(entries[i]);
            ASSERT_EQ(Sent(1), Bytes{entries[i][1]});
            Reply({i + 1 < entries.size() ? uint8_t{0xCB} : uint8_t{0xE7}});
        }
    }
    void OpenAndListRoot() {
        dlg->Start();
        ASSERT_TRUE(session.ReceiveTakenOver());
        ASSERT_EQ(Sent(1), Bytes{0xD9});
        Reply({0x00});
        ASSERT_EQ(Sent(1), Bytes{0xDA});
        Reply({0xDA});
        ASSERT_EQ(Sent(3), (Bytes{0xE5, 0x01, 0x2F}));
        Listing(
            {ListEntry(2, "."), ListEntry(2, ".."), ListEntry(2, "sys"), ListEntry(1, "boot.cfg")});
    }
    QTreeWidget* Tree() { return dlg->ControlAs<QTreeWidget>(IDC_EXPLORER_TREE); }
    QListWidget* Files() { return dlg->ControlAs<QListWidget>(IDC_EXPLORER_FILES); }

    CRecordingConsole console;
    CDownloaderSession session{port, console, prompts, nullptr};
    std::unique_ptr<CMfxExplorerDlg> dlg;
};

TEST_F(ExplorerWindow, OpeningMountsAndShowsTheRootListing) {
    OpenAndListRoot();
    ASSERT_EQ(Tree()->topLevelItemCount(), 1);
    QTreeWidgetItem* root = Tree()->topLevelItem(0);
    EXPECT_EQ(root->text(0), "/");
    ASSERT_EQ(root->childCount(), 1);
    EXPECT_EQ(root->child(0)->text(0), "sys");
    ASSERT_EQ(Files()->count(), 1);
    EXPECT_EQ(Files()->item(0)->text(), "boot.cfg");
    EXPECT_GT(dlg->MaxExtent(), 0);
    EXPECT_TRUE(Tree()->isEnabled());
}

TEST_F(ExplorerWindow, SelectingADirectoryTwiceAddsItsChildrenOnce) {
    OpenAndListRoot();
    QTreeWidgetItem* root = Tree()->topLevelItem(0);
    QTreeWidgetItem* sys = root->child(0);
    for (int pass = 0; pass < 2; ++pass) {
        Tree()->setCurrentItem(sys);
        ASSERT_EQ(Sent(7), (Bytes{0xE5, 0x05, '/', 's', 'y', 's', 0x00}));
        Listing({ListEntry(2, "."), ListEntry(2, "data"), ListEntry(1, "a")});
        EXPECT_EQ(sys->childCount(), 1);
        EXPECT_EQ(Files()->count(), 1);
        Tree()->setCurrentItem(root);
        ASSERT_EQ(Sent(4), (Bytes{0xE5, 0x02, '/', 0x00}));
        Listing({ListEntry(2, "sys"), ListEntry(1, "boot.cfg")});
        EXPECT_EQ(root->childCount(), 1);
    }
}

TEST_F(ExplorerWindow, TheFileMenuNamesTheFileAndOffersItsCommands) {
    OpenAndListRoot();
    Files()->setCurrentRow(0);
    std::unique_ptr<QMenu> menu = dlg->FileMenu();
    ASSERT_NE(menu, nullptr);
    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(actions.size(), 5);
    EXPECT_EQ(actions[0]->text(), "< boot.cfg >");
    EXPECT_EQ(actions[2]->text(), "Dump...");
    actions[4]->trigger();  // Status
    EXPECT_EQ(Sent(3), (Bytes{0xF0, 0x00, 0x0A}));
}

// Under a code page other than UTF-8 the shown name cannot be turned back into
// the handset's bytes; the commands act on the stored entry instead.
TEST_F(ExplorerWindow, AnAccentedNameUnderCp1252ReachesTheHandsetAsItsOwnBytes) {
    SetAnsiCodePage("CP1252");
    struct Restore {
        ~Restore() { SetAnsiCodePage(""); }
    } restore;
    dlg->Start();
    ASSERT_EQ(Sent(1), Bytes{0xD9});
    Reply({0x00});
    ASSERT_EQ(Sent(1), Bytes{0xDA});
    Reply({0xDA});
    ASSERT_EQ(Sent(3), (Bytes{0xE5, 0x01, 0x2F}));
    Listing({ListEntry(1, "boot.cfg"), ListEntry(1, "caf\xC3\xA9.txt")});
    ASSERT_EQ(Files()->count(), 2);
    EXPECT_EQ(Files()->item(1)->text(), QString::fromUtf8("caf\xC3\xA9.txt"));

    const Bytes wirePath = {'/', 'c', 'a', 'f', 0xC3, 0xA9, '.', 't', 'x', 't', 0x00};
    auto request = [&](uint8_t command) {
        Bytes b;
        b.push_back(command);
        b.push_back(0x00);
        b.push_back(static_cast<uint8_t>(wirePath.size()));
        for (const uint8_t by : wirePath) {
            b.push_back(by);
        }
        return b;
    };
    Files()->setCurrentRow(1);
    std::unique_ptr<QMenu> menu = dlg->FileMenu();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->actions()[0]->text(), QString::fromUtf8("< caf\xC3\xA9.txt >"));
    menu->actions()[4]->trigger();  // Status
    EXPECT_EQ(Sent(3 + wirePath.size()), request(0xF0));
    Reply({0x00});  // refused: back to idle
    ASSERT_TRUE(dlg->Explorer()->Idle());

    Files()->setCurrentRow(1);
    menu = dlg->FileMenu();
    menu->actions()[2]->trigger();  // Dump...
    EXPECT_EQ(Sent(3 + wirePath.size()), request(0xE8));
    Reply({0x00});
    ASSERT_TRUE(dlg->Explorer()->Idle());

    prompts.m_yesNoAnswers = {platform::MsgAnswer::Yes};
    Files()->setCurrentRow(1);
    menu = dlg->FileMenu();
    menu->actions()[3]->trigger();  // Delete
    EXPECT_EQ(Sent(3 + wirePath.size()), request(0xEE));
}

TEST_F(ExplorerWindow, ExitUnmountsAndHandsTheWakeUpsBack) {
    OpenAndListRoot();
    QTest::mouseClick(dlg->ControlAs<QPushButton>(IDC_EXPLORER_EXIT), Qt::LeftButton);
    EXPECT_EQ(Sent(1), Bytes{0xE4});
    EXPECT_TRUE(session.ReceiveTakenOver());  // until the handset answers
    Reply({0xE4});
    EXPECT_FALSE(session.ReceiveTakenOver());
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_FALSE(dlg->isVisible());
}

TEST_F(ExplorerWindow, EscapeAlsoHandsTheWakeUpsBack) {
    OpenAndListRoot();
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    EXPECT_EQ(Sent(1), Bytes{0xE4});
    EXPECT_FALSE(session.ReceiveTakenOver());
    EXPECT_FALSE(dlg->isVisible());
    // The late unmount answer reaches the idle engine, which ignores it.
    Reply({0xE4});
    EXPECT_EQ(session.Engine().m_nState, IDLE);
}

TEST_F(ExplorerWindow, DestroyingTheWindowAlwaysHandsTheWakeUpsBack) {
    OpenAndListRoot();
    dlg.reset();
    EXPECT_FALSE(session.ReceiveTakenOver());
}

}  // namespace
