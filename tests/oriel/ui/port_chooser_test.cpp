// The port chooser of the main dialog: the COM list and "Device..." show the
// serial ports present (a folder of by-id style links to pseudo-terminals
// here) and follow them as they come and go; a port that cannot be opened
// says why in the log, under the unchanged message box.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QStandardItemModel>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "oriel/ui/port_settings_dlg.h"
#include "tests/oriel/ui/console_fixture.h"
#include "tests/support/pty_pair.h"

namespace {

using namespace oriel;
using consoletest::ClickOk;
using consoletest::ConsoleTest;
using consoletest::OnNextModal;
namespace fs = std::filesystem;

class PortChooserTest : public ConsoleTest {
  protected:
    std::string Plug(const std::string& name, const testsupport::CPtyPair& pty) {
        fs::create_directories(Path("by-id"));
        const std::string link = Path("by-id/" + name);
        fs::create_symlink(pty.SlavePath(), link);
        return link;
    }
    static void Unplug(const std::string& link) { ASSERT_EQ(unlink(link.c_str()), 0); }
    int Rows() const { return dlg->ComModel()->rowCount(); }
    std::string Cell(int nRow, int nColumn) const {
        return dlg->ComModel()->item(nRow, nColumn)->text().toStdString();
    }
};

TEST_F(PortChooserTest, TheComListShowsThePortsPresentAndTakesOneForAFreeComNumber) {
    Open();
    ASSERT_EQ(Rows(), 20);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(Cell(i, CDownloaderDlg::kComColumnPort), "") << i;
    }
    // The first adapter makes the by-id folder; the list follows.
    testsupport::CPtyPair a, b;
    const std::string linkB = Plug("usb-Maker_Beta_0002-if00", b);
    const std::string linkA = Plug("usb-Maker_Alpha_0001-if00", a);
    QTRY_COMPARE_WITH_TIMEOUT(Rows(), 22, 5000);
    EXPECT_EQ(Cell(20, 0), "(new)");
    EXPECT_EQ(Cell(20, CDownloaderDlg::kComColumnPort), "usb-Maker_Alpha_0001-if00");
    EXPECT_EQ(Cell(21, CDownloaderDlg::kComColumnPort), "usb-Maker_Beta_0002-if00");
    EXPECT_EQ(Combo(IDC_COM_LIST)->currentText().toStdString(), "COM1");

    // COM3 already opens the second one: it shows beside COM3, not as new.
    Store().SetString("Ports", "COM3", linkB);
    Open();
    ASSERT_EQ(Rows(), 21);
    EXPECT_EQ(Cell(2, CDownloaderDlg::kComColumnPort), "usb-Maker_Beta_0002-if00");
    EXPECT_EQ(Cell(20, CDownloaderDlg::kComColumnPort), "usb-Maker_Alpha_0001-if00");

    // Choosing the new one gives it the first COM number whose device is
    // neither present nor configured (COM1: /dev/ttyS0 is not among them).
    Combo(IDC_COM_LIST)->setCurrentIndex(20);
    EXPECT_EQ(Combo(IDC_COM_LIST)->currentText().toStdString(), "COM1");
    EXPECT_EQ(StoredInt("COM", -1), 0);
    EXPECT_EQ(StoredString("Ports", "COM1"), linkA);
    EXPECT_EQ(Text(IDC_PORT_PATH), linkA);
    EXPECT_EQ(Rows(), 20);
    EXPECT_EQ(Cell(0, CDownloaderDlg::kComColumnPort), "usb-Maker_Alpha_0001-if00");
    EXPECT_TRUE(prompts.m_messages.empty());

    // Unplugged, its COM number keeps the path but shows no port; a new one appears.
    Unplug(linkA);
    QTRY_COMPARE_WITH_TIMEOUT(Cell(0, CDownloaderDlg::kComColumnPort), std::string(), 5000);
    EXPECT_EQ(StoredString("Ports", "COM1"), linkA);
    testsupport::CPtyPair c;
    Plug("usb-Maker_Gamma_0003-if00", c);
    QTRY_COMPARE_WITH_TIMEOUT(Rows(), 21, 5000);
    EXPECT_EQ(Cell(20, CDownloaderDlg::kComColumnPort), "usb-Maker_Gamma_0003-if00");
    EXPECT_EQ(Combo(IDC_COM_LIST)->currentText().toStdString(), "COM1");

    // START on the unplugged port: the box keeps its text, the log says why.
    Click(IDC_START);
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Port Initialization Failed!"});
    EXPECT_NE(dlg->LogText().find("** COM1: " + linkA + ": missing: no such device\n** "),
              std::string::npos)
        << dlg->LogText();
}

TEST_F(PortChooserTest, DeviceListsThePortsPresentAndStoresThePickedOne) {
    testsupport::CPtyPair a, b, c;
    const std::string linkA = Plug("usb-Maker_Alpha_0001-if00", a);
    const std::string linkB = Plug("usb-Maker_Beta_0002-if00", b);
    Open();
    Combo(IDC_COM_LIST)->setCurrentIndex(4);
    std::vector<std::string> names;
    int nAfterPlug = 0;
    OnNextModal([&](QWidget* w) {
        auto* pDlg = dynamic_cast<CPortSettingsDlg*>(w);
        ASSERT_NE(pDlg, nullptr);
        QTreeWidget* list = pDlg->PortList();
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            names.push_back(list->topLevelItem(i)->text(0).toStdString());
        }
        // A port plugged in while the dialog is open shows up in it.
        Plug("usb-Maker_Gamma_0003-if00", c);
        QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 3, 5000);
        nAfterPlug = list->topLevelItemCount();
        list->setCurrentItem(list->topLevelItem(1));
        EXPECT_EQ(pDlg->PathEdit()->text().toStdString(), linkB);
        ClickOk(pDlg);
    });
    Click(IDC_PORT_EDIT);
    EXPECT_EQ(names,
              (std::vector<std::string>{"usb-Maker_Alpha_0001-if00", "usb-Maker_Beta_0002-if00"}));
    EXPECT_EQ(nAfterPlug, 3);
    EXPECT_EQ(StoredString("Ports", "COM5"), linkB);
    EXPECT_EQ(Cell(4, CDownloaderDlg::kComColumnPort), "usb-Maker_Beta_0002-if00");
    // Opened again, the dialog marks the COM number's own port.
    std::string marked;
    OnNextModal([&](QWidget* w) {
        auto* pDlg = dynamic_cast<CPortSettingsDlg*>(w);
        ASSERT_NE(pDlg, nullptr);
        ASSERT_NE(pDlg->PortList()->currentItem(), nullptr);
        marked = pDlg->PortList()->currentItem()->text(0).toStdString();
        pDlg->reject();
    });
    Click(IDC_PORT_EDIT);
    EXPECT_EQ(marked, "usb-Maker_Beta_0002-if00");
    EXPECT_EQ(StoredString("Ports", "COM5"), linkB);
}

TEST_F(PortChooserTest, APortHeldElsewhereIsSaidInTheLogWithTheHolder) {
    testsupport::CPtyPair pty;
    Store().SetString("Ports", "COM2", pty.SlavePath());
    Store().SetInt("Setting", "COM", 1);
    CSerialPort holder;
    ASSERT_TRUE(holder.OpenPath(pty.SlavePath(), 9, 115200, true));
    Open();
    Click(IDC_START);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Port Initialization Failed!"});
    EXPECT_NE(dlg->LogText().find("** COM2: " + pty.SlavePath() + ": busy: held by this program"),
              std::string::npos)
        << dlg->LogText();
    holder.Close();
    // Free again, the same START opens it.
    prompts.m_messages.clear();
    Click(IDC_START);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(prompts.m_messages.empty());
    Click(IDC_STOP);
}

}  // namespace
