// The sector-selection dialog on its own and as the prompts of an erase, and
// the explorer window's file-list pop-up.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <functional>

#include "oriel/engine/console_view.h"
#include "oriel/engine/nor_sectors.h"
#include "oriel/link/serial_port.h"
#include "oriel/ui/control_ids.h"
#include "oriel/ui/downloader_session.h"
#include "oriel/ui/mfx_explorer_dlg.h"
#include "oriel/ui/sector_dlg.h"
#include "platform/qt_prompts.h"
#include "platform/scripted_prompts.h"

namespace {

using namespace oriel;

// The table as it is once a flash has been identified.
class SectorTable : public ::testing::Test {
  protected:
    void SetUp() override {
        BuildNorSectorMap();
        m_nSaved = g_nNorSectors;
        g_nNorSectors = kNorSectorCount;
    }
    void TearDown() override { g_nNorSectors = m_nSaved; }

  private:
    int32_t m_nSaved = 0;
};

class SectorDialog : public SectorTable {
  protected:
    void SetUp() override {
        SectorTable::SetUp();
        flags.assign(kNorSectorCount, 0);
        dlg = std::make_unique<CSectorDlg>(SectorLines(), flags, prompts);
        list = dlg->ControlAs<QListWidget>(IDC_SECTOR_LIST);
    }
    void Press(int nId) { dlg->ControlAs<QAbstractButton>(nId)->click(); }
    void Range(int nFrom, int nTo) {
        dlg->ControlAs<QComboBox>(IDC_SECTOR_FROM)->setCurrentIndex(nFrom);
        dlg->ControlAs<QComboBox>(IDC_SECTOR_TO)->setCurrentIndex(nTo);
        Press(IDC_SECTOR_SELECT);
    }
    // Flags and check marks agree, and these are the ticked sectors.
    std::vector<int> Ticked() const {
        std::vector<int> out;
        for (int i = 0; i < kNorSectorCount; ++i) {
            const bool bFlag = flags[static_cast<size_t>(i)] != 0;
            EXPECT_EQ(bFlag, list->item(i)->checkState() == Qt::Checked) << "line " << i;
            if (bFlag) {
                out.push_back(i);
            }
        }
        return out;
    }
    static std::vector<int> Span(int nFirst, int nLast) {
        std::vector<int> out;
        for (int i = nFirst; i <= nLast; ++i) {
            out.push_back(i);
        }
        return out;
    }

    platform::CScriptedPrompts prompts;
    std::vector<uint8_t> flags;
    std::unique_ptr<CSectorDlg> dlg;
    QListWidget* list = nullptr;
};

TEST_F(SectorDialog, ListsEverySectorWithItsBusRangeAndStartsUnticked) {
    EXPECT_EQ(dlg->windowTitle().toStdString(), "Flash Sector Information");
    ASSERT_EQ(list->count(), 134);
    EXPECT_EQ(list->item(0)->text().toStdString(), "000: 0x10000000 ~ 0x10007FFF (32KBytes)");
    EXPECT_EQ(list->item(4)->text().toStdString(), "004: 0x10020000 ~ 0x1003FFFF (128KBytes)");
    EXPECT_EQ(list->item(133)->text().toStdString(), "133: 0x10FF8000 ~ 0x10FFFFFF (32KBytes)");
    auto* from = dlg->ControlAs<QComboBox>(IDC_SECTOR_FROM);
    auto* to = dlg->ControlAs<QComboBox>(IDC_SECTOR_TO);
    ASSERT_EQ(from->count(), 134);
    EXPECT_EQ(from->itemText(10).toStdString(), "010");
    EXPECT_EQ(to->itemText(133).toStdString(), "133");
    EXPECT_EQ(from->currentIndex(), 0);
    EXPECT_EQ(to->currentIndex(), 0);
    EXPECT_TRUE(Ticked().empty());
    const std::pair<int, const char*> texts[] = {
        {IDC_SECTOR_SELECT, "Select"},     {IDC_SECTOR_ALL, "Select\n  All"},
        {IDC_SECTOR_CLEAR, "Clear\n All"}, {IDC_SECTOR_INVERT, " Invert\nSelection"},
        {IDC_SECTOR_E2P, "Select\n  E2P"}, {IDC_SECTOR_DEBUG, "Select\nDebug"},
        {IDC_SECTOR_START, "START"},       {IDC_SECTOR_EXIT, "EXIT"}};
    for (const auto& [nId, pszText] : texts) {
        EXPECT_EQ(dlg->ControlAs<QAbstractButton>(nId)->text().toStdString(), pszText);
    }
}

TEST_F(SectorDialog, SelectTicksFromToAndRefusesABackwardRange) {
    Range(10, 5);
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Selection Error!"});
    EXPECT_TRUE(Ticked().empty());
    Range(6, 5);
    EXPECT_EQ(prompts.m_messages.size(), 2u);
    EXPECT_TRUE(Ticked().empty());
    Range(5, 5);
    EXPECT_EQ(Ticked(), std::vector<int>{5});
    // Ranges only add.
    Range(3, 7);
    Range(6, 6);
    EXPECT_EQ(Ticked(), Span(3, 7));
    Range(130, 133);
    EXPECT_EQ(Ticked().back(), 133);
    EXPECT_EQ(prompts.m_messages.size(), 2u);
}

TEST_F(SectorDialog, E2pDebugAllClearAndInvert) {
    Press(IDC_SECTOR_E2P);
    EXPECT_EQ(Ticked(), Span(67, 80));
    EXPECT_EQ(list->item(67)->text().left(16).toStdString(), "067: 0x10800000 ");
    EXPECT_TRUE(list->item(80)->text().contains("0x109BFFFF"));
    Press(IDC_SECTOR_INVERT);
    std::vector<int> expected = Span(0, 66);
    for (int i = 81; i < 134; ++i) {
        expected.push_back(i);
    }
    EXPECT_EQ(Ticked(), expected);

    Press(IDC_SECTOR_CLEAR);
    EXPECT_TRUE(Ticked().empty());
    Range(100, 100);
    Press(IDC_SECTOR_DEBUG);
    EXPECT_EQ(Ticked(), Span(99, 111));
    EXPECT_TRUE(list->item(99)->text().startsWith("099: 0x10C00000"));
    EXPECT_TRUE(list->item(111)->text().contains("0x10D9FFFF"));
    Press(IDC_SECTOR_ALL);
    EXPECT_EQ(Ticked(), Span(0, 133));
}

TEST_F(SectorDialog, OnlyADoubleClickTogglesALine) {
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    list->scrollToItem(list->item(2));
    const QRect rect = list->visualItemRect(list->item(2));
    // The check box sits at the start of the line.
    const QPoint box(rect.left() + 8, rect.center().y());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, box);
    EXPECT_TRUE(Ticked().empty());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    EXPECT_EQ(Ticked(), std::vector<int>{2});
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    EXPECT_TRUE(Ticked().empty());
}

// Runs fn on the sector dialog as soon as it is up (it runs modally).
void OnSectorDialog(std::function<void(CSectorDlg&)> fn) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, fn] {
        if (auto* pDlg = dynamic_cast<CSectorDlg*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            fn(*pDlg);
        }
    });
    timer->start();
}

class SectorPicker : public SectorTable {
  protected:
    void SetUp() override {
        SectorTable::SetUp();
        prompts.SetSectorPicker([this](QWidget* parent,
                                       const platform::SectorChoiceRequest& request,
                                       std::vector<uint8_t>& f) {
            ++nOpened;
            return CSectorDlg::Pick(parent, messages, request, f);
        });
    }

    int nOpened = 0;
    platform::CScriptedPrompts messages;
    platform::CQtPrompts prompts;
    CSerialPort port;
    CRecordingConsole console;
    CDownloaderSession session{port, console, prompts, nullptr};
};

TEST_F(SectorPicker, ExitStartsNothingAndTheNextOpeningHasNoTicks) {
    OnSectorDialog([](CSectorDlg& d) {
        d.ControlAs<QAbstractButton>(IDC_SECTOR_ALL)->click();
        d.ControlAs<QAbstractButton>(IDC_SECTOR_EXIT)->click();
    });
    EXPECT_FALSE(session.Erase().StartErase());
    EXPECT_EQ(nOpened, 1);
    EXPECT_EQ(std::count(g_abSectorSelected.begin(), g_abSectorSelected.end(), 1), 0);
    EXPECT_EQ(console.m_nDisableCount, 0);
    EXPECT_EQ(console.m_strLog, "");

    int nTickedOnOpen = -1;
    OnSectorDialog([&](CSectorDlg& d) {
        auto* l = d.ControlAs<QListWidget>(IDC_SECTOR_LIST);
        nTickedOnOpen = 0;
        for (int i = 0; i < l->count(); ++i) {
            nTickedOnOpen += l->item(i)->checkState() == Qt::Checked ? 1 : 0;
        }
        d.ControlAs<QAbstractButton>(IDC_SECTOR_EXIT)->click();
    });
    EXPECT_FALSE(session.Dump().StartNorDump());
    EXPECT_EQ(nOpened, 2);
    EXPECT_EQ(nTickedOnOpen, 0);
    EXPECT_TRUE(messages.m_messages.empty());
}

TEST_F(SectorPicker, StartHandsTheTicksToTheErase) {
    OnSectorDialog([](CSectorDlg& d) {
        auto* l = d.ControlAs<QListWidget>(IDC_SECTOR_LIST);
        for (int i : {5, 2, 133}) {
            emit l->itemDoubleClicked(l->item(i));
        }
        d.ControlAs<QAbstractButton>(IDC_SECTOR_START)->click();
    });
    EXPECT_TRUE(session.Erase().StartErase());
    std::vector<int> selected;
    for (int i = 0; i < kNorSectorCount; ++i) {
        if (g_abSectorSelected[static_cast<size_t>(i)] != 0) {
            selected.push_back(i);
        }
    }
    EXPECT_EQ(selected, (std::vector<int>{2, 5, 133}));
    EXPECT_EQ(session.Erase().m_nCurSector, 2);
    EXPECT_EQ(console.m_nProgressMax, 3);
}

TEST(ExplorerDialog, FileMenuNamesTheSelectedFileAndPassesItsCommands) {
    CMfxExplorerDlg dlg;
    EXPECT_EQ(dlg.windowTitle().toStdString(), "MFX Explorer");
    EXPECT_FALSE(dlg.Control(IDC_EXPLORER_CANCEL)->isEnabled());
    EXPECT_FALSE(dlg.Control(IDC_EXPLORER_CANCEL)->isVisibleTo(&dlg));
    EXPECT_EQ(dlg.ControlAs<QAbstractButton>(IDC_EXPLORER_NAND_DUMP)->text().toStdString(),
              "NAND FULL Dump");

    auto* files = dlg.ControlAs<QListWidget>(IDC_EXPLORER_FILES);
    files->addItem("boot.cfg");
    files->addItem("Ünïcode name.txt");
    EXPECT_EQ(dlg.FileMenu(), nullptr);  // nothing selected: no menu

    files->setCurrentRow(1);
    std::vector<std::pair<int, int>> calls;
    dlg.SetCommandHandler([&](int nCommand, int nRow) { calls.emplace_back(nCommand, nRow); });
    std::unique_ptr<QMenu> menu = dlg.FileMenu();
    ASSERT_NE(menu, nullptr);
    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(actions.size(), 5);
    EXPECT_EQ(actions[0]->text().toStdString(), "< Ünïcode name.txt >");
    EXPECT_FALSE(actions[0]->isEnabled());
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_EQ(actions[2]->text().toStdString(), "Dump...");
    EXPECT_EQ(actions[3]->text().toStdString(), "Delete");
    EXPECT_EQ(actions[4]->text().toStdString(), "Status");
    actions[3]->trigger();
    actions[2]->trigger();
    EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{ID_FILE_DELETE, 1}, {ID_FILE_DUMP, 1}}));

    dlg.ReplaceLog("one\r\n");
    dlg.AppendLog("two\r\n");
    EXPECT_EQ(dlg.ControlAs<QPlainTextEdit>(IDC_EXPLORER_LOG)->toPlainText().toStdString(),
              "one\ntwo\n");
}

}  // namespace
