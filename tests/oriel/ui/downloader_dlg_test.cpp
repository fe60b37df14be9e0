// The main dialog without a handset: the enabling of every control at each
// moment of a connection, the settings, the tabs, file choice and the size and
// CRC boxes. A pseudo-terminal stands in for the port where START must open one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "oriel/engine/engine_states.h"
#include "oriel/ui/port_settings_dlg.h"
#include "platform/qt_history_view.h"
#include "tests/oriel/ui/console_fixture.h"
#include "tests/support/pty_pair.h"

namespace {

using namespace oriel;
using consoletest::ClickOk;
using consoletest::ConsoleTest;
using consoletest::OnNextModal;

// Every control the enabling rules name, with a name for failure messages.
const std::map<int, const char*> kTableControls = {
    {IDC_COM_LIST, "COM list"},
    {IDC_SPEED_LIST, "SPEED list"},
    {IDC_MODE_LIST, "Mode list"},
    {IDC_PORT_EDIT, "Device..."},
    {IDC_START, "START"},
    {IDC_STOP, "Stop"},
    {IDC_EXIT, "Exit"},
    {IDC_TAB, "tab"},
    {IDC_AUTO, "Auto DownLoad"},
    {IDC_FAST, "Fast DownLoad"},
    {IDC_ABOUT, "About..."},
    {IDC_ERASE, "Erase..."},
    {IDC_DUMP, "Dump..."},
    {IDC_DOWNLOAD1, "DOWNLOAD 1"},
    {IDC_DOWNLOAD2, "DOWNLOAD 2"},
    {IDC_DOWNLOAD3, "DOWNLOAD 3"},
    {IDC_ALL_DOWNLOAD, "All Download"},
    {IDC_POWER_ON, "Power ON after download"},
    {IDC_BIN1, "BIN... 1"},
    {IDC_BIN2, "BIN... 2"},
    {IDC_BIN3, "BIN... 3"},
    {IDC_PATH1, "path 1"},
    {IDC_PATH2, "path 2"},
    {IDC_PATH3, "path 3"},
    {IDC_ADDR_CHECK1, "Start NOR Addr 1"},
    {IDC_ADDR_CHECK2, "Start NOR Addr 2"},
    {IDC_ADDR_CHECK3, "Start NOR Addr 3"},
    {IDC_ADDR1, "address 1"},
    {IDC_ADDR2, "address 2"},
    {IDC_ADDR3, "address 3"},
    {IDC_CRC_BUTTON1, "CRC CheckSum 1"},
    {IDC_CRC_BUTTON2, "CRC CheckSum 2"},
    {IDC_CRC_BUTTON3, "CRC CheckSum 3"},
    {IDC_FORMAT, "Format"},
    {IDC_EXPLORER, "Explorer..."},
    {IDC_STATUS, "Status"},
    {IDC_MFX_PATH, "MFX path"},
    {IDC_MFX_CHOOSE, "MFX..."},
    {IDC_MFX_CRC_BUTTON, "MFX CRC CheckSum"},
};

using IdSet = std::set<int>;
IdSet operator+(IdSet a, const IdSet& b) {
    a.insert(b.begin(), b.end());
    return a;
}
IdSet operator-(IdSet a, const IdSet& b) {
    for (int n : b) {
        a.erase(n);
    }
    return a;
}

// The rows "Main Binary" and "BP Engine" as tab "Tamarin2" adds them.
const IdSet kRows23Files = {IDC_BIN2,  IDC_BIN3,        IDC_PATH2,
                            IDC_PATH3, IDC_CRC_BUTTON2, IDC_CRC_BUTTON3};
const IdSet kRows23Operations = {IDC_DOWNLOAD2, IDC_DOWNLOAD3, IDC_ADDR_CHECK2, IDC_ADDR_CHECK3};

// Dialog open, tab "Alder2".
const IdSet kOpenAlder2 = {IDC_COM_LIST, IDC_SPEED_LIST, IDC_MODE_LIST, IDC_PORT_EDIT,  IDC_START,
                           IDC_EXIT,     IDC_TAB,        IDC_AUTO,      IDC_FAST,       IDC_ABOUT,
                           IDC_POWER_ON, IDC_BIN1,       IDC_PATH1,     IDC_CRC_BUTTON1};
// From START on, and during any operation: only Stop and Exit.
const IdSet kBusy = {IDC_STOP, IDC_EXIT};
// After FinishOperation on tab "Alder2".
const IdSet kReadyAlder2 = {
    IDC_STOP,         IDC_EXIT,     IDC_ABOUT,  IDC_ERASE,    IDC_DUMP,        IDC_DOWNLOAD1,
    IDC_ALL_DOWNLOAD, IDC_POWER_ON, IDC_BIN1,   IDC_PATH1,    IDC_ADDR_CHECK1, IDC_CRC_BUTTON1,
    IDC_FORMAT,       IDC_EXPLORER, IDC_STATUS, IDC_MFX_PATH, IDC_MFX_CHOOSE,  IDC_MFX_CRC_BUTTON};
// After Stop: the dialog-open set without "Power ON after download".
const IdSet kStoppedAlder2 = kOpenAlder2 - IdSet{IDC_POWER_ON};

class DialogTest : public ConsoleTest {
  protected:
    void ExpectEnabled(const IdSet& on, const char* stage) {
        for (const auto& [nId, pszName] : kTableControls) {
            ASSERT_NE(dlg->Control(nId), nullptr) << pszName;
            EXPECT_EQ(Enabled(nId), on.count(nId) == 1) << stage << ": " << pszName;
        }
    }
    // COM1 opens the pseudo-terminal.
    void MapCom1ToPty() { Store().SetString("Ports", "COM1", pty.SlavePath()); }

    testsupport::CPtyPair pty;
};

TEST_F(DialogTest, EnablingThroughAConnectionOnTabAlder2) {
    MapCom1ToPty();
    Open();
    ExpectEnabled(kOpenAlder2, "dialog open");

    Click(IDC_START);
    ASSERT_TRUE(port.IsOpen());
    ExpectEnabled(kBusy, "after START");
    EXPECT_EQ(dlg->Session().Engine().m_nState, WAIT_CONNECT_REQ);

    // What the handshake does once the flash is identified.
    dlg->Session().Engine().FinishOperation();
    ExpectEnabled(kReadyAlder2, "after identification");

    // The address box is edited only through its check box, and an operation
    // leaves it locked even though the box stays ticked.
    Click(IDC_ADDR_CHECK1);
    EXPECT_TRUE(Enabled(IDC_ADDR1));
    EXPECT_EQ(Text(IDC_ADDR1), "10000000");
    dlg->Session().Engine().StartOperation(OP_NOR_ERASE);
    ExpectEnabled(kBusy, "during an operation");
    dlg->Session().Engine().FinishOperation();
    ExpectEnabled(kReadyAlder2, "after the operation");
    EXPECT_TRUE(Button(IDC_ADDR_CHECK1)->isChecked());

    Click(IDC_STOP);
    EXPECT_FALSE(port.IsOpen());
    ExpectEnabled(kStoppedAlder2, "after Stop");
    EXPECT_EQ(dlg->LogText().substr(dlg->LogText().size() - 19), "\n** Close COM port\n");

    // Stop when nothing is open changes nothing.
    const std::string log = dlg->LogText();
    dlg->Session().Stop();
    EXPECT_EQ(dlg->LogText(), log);
    ExpectEnabled(kStoppedAlder2, "after a second Stop");
}

TEST_F(DialogTest, EnablingOnTabTamarin2FollowsTheThreeFiles) {
    MapCom1ToPty();
    Store().SetInt("Setting", "TabNum", 0);
    Open();
    ExpectEnabled(kOpenAlder2 + kRows23Files, "dialog open");

    // Files chosen without a connection do not make All Download available.
    const std::string boot = WriteFile("boot.bin", 100);
    const std::string main = WriteFile("main.cla", 200);
    const std::string bp = WriteFile("bp.bin", 300);
    Choose(IDC_BIN1, boot);
    Choose(IDC_BIN2, main);
    EXPECT_FALSE(Enabled(IDC_ALL_DOWNLOAD));

    Click(IDC_START);
    ExpectEnabled(kBusy, "after START");
    dlg->Session().Engine().FinishOperation();
    const IdSet kReady = kReadyAlder2 + kRows23Files + kRows23Operations;
    ExpectEnabled(kReady - IdSet{IDC_ALL_DOWNLOAD}, "identified, BP Engine file missing");

    // The third file makes it available at once, and at every later end of an operation.
    Choose(IDC_BIN3, bp);
    EXPECT_TRUE(Enabled(IDC_ALL_DOWNLOAD));
    dlg->Session().Engine().StartOperation(OP_NOR_DUMP);
    ExpectEnabled(kBusy, "during an operation");
    dlg->Session().Engine().FinishOperation();
    ExpectEnabled(kReady, "after the operation, all files present");

    Click(IDC_STOP);
    ExpectEnabled(kStoppedAlder2 + kRows23Files, "after Stop");
}

TEST_F(DialogTest, NoSettingsGiveTheFactoryDefaultsAndWriteNothing) {
    Open();
    EXPECT_EQ(dlg->windowTitle().toStdString(), "Alder2 Downloader v0.3");
    EXPECT_EQ(dlg->Tab(), kTabAlder2);
    EXPECT_EQ(dlg->ControlAs<QTabBar>(IDC_TAB)->currentIndex(), 1);
    EXPECT_EQ(dlg->ControlAs<QTabBar>(IDC_TAB)->tabText(0).toStdString(), "Tamarin2");
    EXPECT_EQ(dlg->ControlAs<QTabBar>(IDC_TAB)->tabText(1).toStdString(), "Alder2");
    EXPECT_EQ(Combo(IDC_COM_LIST)->currentText().toStdString(), "COM1");
    EXPECT_EQ(Combo(IDC_COM_LIST)->count(), 20);
    EXPECT_EQ(Combo(IDC_COM_LIST)->itemText(19).toStdString(), "COM20");
    EXPECT_EQ(Combo(IDC_SPEED_LIST)->currentText().toStdString(), "115200");
    EXPECT_EQ(Combo(IDC_MODE_LIST)->currentText().toStdString(), "Normal");
    EXPECT_TRUE(Button(IDC_FAST)->isChecked());
    EXPECT_FALSE(Button(IDC_AUTO)->isChecked());
    EXPECT_FALSE(Button(IDC_POWER_ON)->isChecked());
    EXPECT_EQ(Text(IDC_PORT_PATH), "/dev/ttyS0");
    EXPECT_EQ(
        dlg->LogText(),
        "Welcome to Tamarin Downloader!!\n\nPress 'START' button to identify the FLASH ID...");
    const HandshakeSettings s = dlg->Choices();
    EXPECT_EQ(s.nComIndex, 0);
    EXPECT_EQ(s.nSpeedIndex, 0);
    EXPECT_EQ(s.nMode, kModeNormal);
    EXPECT_EQ(s.bFast, 1);
    EXPECT_EQ(s.bAuto, 0);
    // Alder2: one row, titled "Main Binary".
    EXPECT_EQ(dlg->ControlAs<QGroupBox>(IDC_ROW_GROUP1)->title().toStdString(), "Main Binary");
    EXPECT_FALSE(Shown(IDC_ROW_GROUP2));
    EXPECT_FALSE(Shown(IDC_ROW_GROUP3));
    // The NAND and MFX controls exist but are not shown.
    EXPECT_FALSE(Shown(IDC_NAND_GROUP));
    EXPECT_FALSE(Shown(IDC_MFX_CHOOSE));
    EXPECT_FALSE(Shown(IDC_CANCEL));
    for (const char* key : {"COM", "SPEED", "Mode", "Fast", "Auto", "TabNum"}) {
        EXPECT_EQ(StoredInt(key, -99), -99) << key;
    }
}

TEST_F(DialogTest, EveryChoiceIsStoredWhenMadeAndComesBackNextRun) {
    Open();
    Combo(IDC_COM_LIST)->setCurrentIndex(4);
    EXPECT_EQ(StoredInt("COM", -1), 4);
    EXPECT_EQ(Text(IDC_PORT_PATH), "/dev/ttyUSB0");  // COM5
    Combo(IDC_SPEED_LIST)->setCurrentIndex(3);
    EXPECT_EQ(StoredInt("SPEED", -1), 3);
    Combo(IDC_MODE_LIST)->setCurrentIndex(1);
    EXPECT_EQ(StoredInt("Mode", -1), 1);
    Click(IDC_FAST);
    EXPECT_EQ(StoredInt("Fast", -1), 0);
    Click(IDC_AUTO);
    EXPECT_EQ(StoredInt("Auto", -1), 1);
    const std::string alder = WriteFile("alder.cla", 10);
    Choose(IDC_BIN1, alder);
    EXPECT_EQ(StoredString("Setting", "BinPath4"), alder);
    dlg->ControlAs<QTabBar>(IDC_TAB)->setCurrentIndex(0);
    EXPECT_EQ(StoredInt("TabNum", -1), 0);
    const std::string boot = WriteFile("boot.bin", 10);
    Choose(IDC_BIN1, boot);
    EXPECT_EQ(StoredString("Setting", "BinPath1"), boot);
    EXPECT_EQ(StoredString("Setting", "BinPath4"), alder);

    dlg.reset();
    store.reset();
    Open();
    EXPECT_EQ(dlg->Tab(), kTabTamarin2);
    EXPECT_EQ(Combo(IDC_COM_LIST)->currentText().toStdString(), "COM5");
    EXPECT_EQ(Combo(IDC_SPEED_LIST)->currentText().toStdString(), "921600");
    EXPECT_EQ(Combo(IDC_MODE_LIST)->currentText().toStdString(), "TAT");
    EXPECT_FALSE(Button(IDC_FAST)->isChecked());
    EXPECT_TRUE(Button(IDC_AUTO)->isChecked());
    EXPECT_EQ(Text(IDC_PATH1), boot);
    const HandshakeSettings s = dlg->Choices();
    EXPECT_EQ(s.nComIndex, 4);
    EXPECT_EQ(s.nSpeedIndex, 3);
    EXPECT_EQ(s.nMode, kModeTat);
    EXPECT_EQ(s.bFast, 0);
    EXPECT_EQ(s.bAuto, 1);
}

TEST_F(DialogTest, StoredValuesOutsideTheirListsAreClampedAndStartUsesThem) {
    Store().SetInt("Setting", "COM", 57);
    Store().SetInt("Setting", "SPEED", -2);
    Store().SetInt("Setting", "Mode", 7);
    Store().SetInt("Setting", "TabNum", 9);
    Store().SetString("Ports", "COM20", pty.SlavePath());
    Open();
    EXPECT_EQ(Combo(IDC_COM_LIST)->currentText().toStdString(), "COM20");
    EXPECT_EQ(Combo(IDC_SPEED_LIST)->currentText().toStdString(), "115200");
    EXPECT_EQ(Combo(IDC_MODE_LIST)->currentText().toStdString(), "TAT");
    EXPECT_EQ(dlg->Tab(), kTabAlder2);
    EXPECT_EQ(Text(IDC_PORT_PATH), pty.SlavePath());
    Click(IDC_START);
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(port.PortNumber(), 20);
    EXPECT_TRUE(prompts.m_messages.empty());
    Click(IDC_STOP);

    // Text where a number belongs counts as missing.
    Store().SetString("Setting", "COM", "COM3");
    Store().SetString("Setting", "Fast", "yes");
    Open();
    EXPECT_EQ(Combo(IDC_COM_LIST)->currentIndex(), 0);
    EXPECT_TRUE(Button(IDC_FAST)->isChecked());
}

TEST_F(DialogTest, TabChangeResetsAddressesAndClearsTheBoxesOfMissingFiles) {
    const std::string boot = WriteFile("boot.bin", 318508);
    const std::string main = WriteFile("main.cla", 999);
    Store().SetInt("Setting", "TabNum", 0);
    Store().SetString("Setting", "BinPath1", boot);
    Store().SetString("Setting", "BinPath2", main);
    Store().SetString("Setting", "BinPath3", Path("gone.bin"));
    MapCom1ToPty();
    Open();
    EXPECT_EQ(Text(IDC_SIZE1), "318,508");
    EXPECT_EQ(Text(IDC_SIZE2), "999");
    EXPECT_EQ(Text(IDC_SIZE3), " ");
    EXPECT_EQ(Text(IDC_PATH1), boot);
    EXPECT_EQ(Text(IDC_PATH3), " ");  // missing
    EXPECT_EQ(dlg->ControlAs<QGroupBox>(IDC_ROW_GROUP1)->title().toStdString(), "Boot Loader");

    // Edit the addresses during a connection, then end it: the tab can change again.
    Click(IDC_START);
    dlg->Session().Engine().FinishOperation();
    for (int nCheck : {IDC_ADDR_CHECK1, IDC_ADDR_CHECK2, IDC_ADDR_CHECK3}) {
        Click(nCheck);
    }
    for (auto* edit : {dlg->ControlAs<QLineEdit>(IDC_ADDR1), dlg->ControlAs<QLineEdit>(IDC_ADDR2),
                       dlg->ControlAs<QLineEdit>(IDC_ADDR3)}) {
        edit->setText("10040000");
    }
    EXPECT_TRUE(dlg->Session().Download().m_controls.abAddrEnabled[2]);
    EXPECT_EQ(dlg->Session().Download().m_controls.astrAddr[2], "10040000");
    Click(IDC_STOP);

    dlg->ControlAs<QTabBar>(IDC_TAB)->setCurrentIndex(1);
    EXPECT_EQ(dlg->ControlAs<QGroupBox>(IDC_ROW_GROUP1)->title().toStdString(), "Main Binary");
    EXPECT_EQ(Text(IDC_ADDR1), "10000000");
    EXPECT_EQ(Text(IDC_ADDR2), "10020000");
    EXPECT_EQ(Text(IDC_ADDR3), "10B00000");
    for (int nCheck : {IDC_ADDR_CHECK1, IDC_ADDR_CHECK2, IDC_ADDR_CHECK3}) {
        EXPECT_FALSE(Button(nCheck)->isChecked());
    }
    const NorDownloadControls& c = dlg->Session().Download().m_controls;
    EXPECT_EQ(c.nTab, kTabAlder2);
    EXPECT_FALSE(c.abAddrEnabled[1] || c.abAddrEnabled[2] || c.abAddrEnabled[3]);
    EXPECT_EQ(c.astrAddr[2], "10020000");
    // No "BinPath4": the first row is blank; the Main Binary row still knows its file.
    EXPECT_EQ(Text(IDC_PATH1), " ");
    EXPECT_EQ(Text(IDC_SIZE1), " ");
    EXPECT_EQ(Text(IDC_CRC1), " ");
    EXPECT_EQ(Text(IDC_SIZE2), "999");
    EXPECT_EQ(Text(IDC_SIZE3), " ");
    EXPECT_EQ(Text(IDC_CRC3), " ");
    EXPECT_FALSE(Shown(IDC_ROW_GROUP2));
    EXPECT_FALSE(Enabled(IDC_DOWNLOAD2));
    EXPECT_FALSE(Enabled(IDC_BIN3));

    dlg->ControlAs<QTabBar>(IDC_TAB)->setCurrentIndex(0);
    EXPECT_EQ(Text(IDC_PATH1), boot);
    EXPECT_EQ(Text(IDC_SIZE1), "318,508");
    EXPECT_TRUE(Shown(IDC_ROW_GROUP3));
    // Shown again with the first row's enabling: no DOWNLOAD without a connection.
    EXPECT_TRUE(Enabled(IDC_BIN2));
    EXPECT_FALSE(Enabled(IDC_DOWNLOAD2));
    EXPECT_FALSE(Enabled(IDC_ADDR_CHECK3));
}

TEST_F(DialogTest, FileChoiceUsesEachRowsFilterAndRefreshesSizeAndCrc) {
    Store().SetInt("Setting", "TabNum", 0);
    Open();
    const std::string check = WriteFile("check.bin", {'1', '2', '3', '4', '5', '6', '7', '8', '9'});
    const std::string F1 = "bin file (*.bin)|*.bin|cla file (*.cla)|*.cla|all files (*.*)|*.*||";
    const std::string F2 = "cla file (*.cla)|*.cla|bin file (*.bin)|*.bin|all files (*.*)|*.*||";

    Choose(IDC_BIN1, check);
    Choose(IDC_BIN2, check);
    Choose(IDC_BIN3, check);
    dlg->ControlAs<QTabBar>(IDC_TAB)->setCurrentIndex(1);
    Choose(IDC_BIN1, check);
    ASSERT_EQ(prompts.m_openRequests.size(), 4u);
    const std::pair<const char*, std::string> expected[] = {
        {".bin", F1}, {".cla", F2}, {".bin", F1}, {".cla", F2}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(prompts.m_openRequests[i].strDefaultExt, expected[i].first) << i;
        EXPECT_EQ(prompts.m_openRequests[i].strFilter, expected[i].second) << i;
    }
    EXPECT_EQ(Text(IDC_SIZE1), "9");
    EXPECT_EQ(Text(IDC_CRC1), "0xCBF43926");  // the CRC-32 check value
    EXPECT_TRUE(prompts.m_messages.empty());

    // The dialog opens at the file chosen before; choosing it again refreshes the boxes.
    dlg->ControlAs<QLineEdit>(IDC_SIZE1)->setText("stale");
    Choose(IDC_BIN1, check);
    EXPECT_EQ(prompts.m_openRequests.back().strStartPath, check);
    EXPECT_EQ(Text(IDC_SIZE1), "9");

    // Cancelled: nothing changes.
    Click(IDC_BIN1);
    EXPECT_EQ(Text(IDC_PATH1), check);
    EXPECT_EQ(StoredString("Setting", "BinPath4"), check);

    // A file that cannot be opened is stored as chosen but reported.
    Choose(IDC_BIN1, Path("gone.cla"));
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Fail to open bin file!"});
    EXPECT_EQ(dlg->Session().Engine().m_nState, IDLE);
    EXPECT_EQ(StoredString("Setting", "BinPath4"), Path("gone.cla"));
}

TEST_F(DialogTest, CrcButtonShowsTheFilesCrcOrZeroWithAMessage) {
    const std::string check = WriteFile("check.cla", {'1', '2', '3', '4', '5', '6', '7', '8', '9'});
    Store().SetString("Setting", "BinPath4", check);
    Store().SetString("Setting", "BinPath2", dir.path().toStdString());  // a folder
    Store().SetInt("Setting", "TabNum", 0);
    Open();
    dlg->ControlAs<QTabBar>(IDC_TAB)->setCurrentIndex(1);
    dlg->ControlAs<QLineEdit>(IDC_CRC1)->setText(" ");
    Click(IDC_CRC_BUTTON1);
    EXPECT_EQ(Text(IDC_CRC1), "0xCBF43926");
    EXPECT_TRUE(Enabled(IDC_CRC1));
    EXPECT_TRUE(prompts.m_messages.empty());

    dlg->ControlAs<QTabBar>(IDC_TAB)->setCurrentIndex(0);
    Click(IDC_CRC_BUTTON2);
    EXPECT_EQ(Text(IDC_CRC2), "0x0");
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Fail to open bin file!"});
}

TEST_F(DialogTest, ShowNandShowsTheServiceControlsAndTheMfxFileChoiceWorks) {
    Store().SetInt("Setting", "ShowNand", 1);
    Open();
    EXPECT_TRUE(Shown(IDC_NAND_GROUP));
    EXPECT_TRUE(Shown(IDC_FORMAT));
    EXPECT_TRUE(Shown(IDC_MFX_CHOOSE));
    // The download type is the service desk's choice too.
    EXPECT_TRUE(Shown(IDC_TYPE_MFX));
    EXPECT_FALSE(Enabled(IDC_MFX_CHOOSE));

    MapCom1ToPty();
    Click(IDC_START);
    dlg->Session().Engine().FinishOperation();
    EXPECT_TRUE(Enabled(IDC_FORMAT));
    // Format asks first; "No" changes nothing.
    const std::string log = dlg->LogText();
    prompts.m_yesNoAnswers.push_back(platform::MsgAnswer::No);
    Click(IDC_FORMAT);
    EXPECT_EQ(dlg->LogText(), log);
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Sure to FORMAT?"});
    // Status needs no confirmation.
    Click(IDC_STATUS);
    EXPECT_EQ(dlg->LogText(), " \n** Checking MFX system (NAND Flash)... ");
    EXPECT_EQ(dlg->Session().Engine().m_nOperation, OP_NAND_STATUS);
    dlg->Session().Engine().FinishOperation();
    prompts.m_messages.clear();

    const std::string mfx = WriteFile("pkg.v2.mfx", 1234567);
    prompts.m_openAnswers.push_back(mfx);
    Click(IDC_MFX_CHOOSE);
    EXPECT_EQ(prompts.m_openRequests.back().strDefaultExt, ".mfx");
    EXPECT_EQ(prompts.m_openRequests.back().strFilter, "mfx file (*.mfx)|*.mfx||");
    EXPECT_EQ(Text(IDC_MFX_PATH), mfx);
    EXPECT_EQ(Text(IDC_MFX_SIZE), "1234567");
    EXPECT_EQ(dlg->DescriptionPath(), Path("pkg.v2.cfg"));
    EXPECT_EQ(StoredString("Setting", "OgmPath"), mfx);

    Click(IDC_MFX_CHOOSE);  // cancelled
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"No file selected!"});
    EXPECT_EQ(Text(IDC_MFX_PATH), "");
    EXPECT_EQ(Text(IDC_MFX_SIZE), "");
    EXPECT_EQ(dlg->DescriptionPath(), "");
    EXPECT_EQ(StoredString("Setting", "OgmPath"), "");
    Click(IDC_STOP);
}

TEST_F(DialogTest, AFifoAsImageIsRefusedWithoutEverBeingOpened) {
    // Opening a FIFO for reading blocks until a writer comes: the console must
    // not try. A writer waits on it here, so an attempt would show (and not hang).
    const std::string fifo = Path("pipe.cla");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> bOpened{false};
    std::thread writer([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        bOpened = true;
        if (fd >= 0) {
            ::close(fd);
        }
    });
    MapCom1ToPty();
    Store().SetString("Setting", "BinPath4", fifo);
    Open();
    EXPECT_EQ(Text(IDC_PATH1), " ");  // counted as missing
    Click(IDC_START);
    dlg->Session().Engine().FinishOperation();
    pty.ReadAvailable(std::chrono::milliseconds(50));
    Click(IDC_DOWNLOAD1);
    Click(IDC_CRC_BUTTON1);
    EXPECT_EQ(prompts.MessageTexts(),
              (std::vector<std::string>{"Fail to open bin file!", "Fail to open bin file!"}));
    EXPECT_EQ(dlg->Session().Engine().m_nState, IDLE);
    EXPECT_TRUE(pty.ReadAvailable(std::chrono::milliseconds(50)).empty());  // nothing sent
    ExpectEnabled(kReadyAlder2, "after the refusal");
    QTest::qWait(50);
    EXPECT_FALSE(bOpened);

    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    ::close(fd);
    Click(IDC_STOP);
}

TEST_F(DialogTest, TheDeviceOfAComNumberIsEditedFromTheDialog) {
    Open();
    Combo(IDC_COM_LIST)->setCurrentIndex(2);
    EXPECT_EQ(Text(IDC_PORT_PATH), "/dev/ttyS2");
    std::string shownFirst;
    OnNextModal([&](QWidget* w) {
        auto* pDlg = dynamic_cast<CPortSettingsDlg*>(w);
        ASSERT_NE(pDlg, nullptr);
        shownFirst = pDlg->PathEdit()->text().toStdString();
        pDlg->PathEdit()->setText("  /dev/serial/by-id/usb-FTDI_A1-if00-port0 ");
        ClickOk(pDlg);
    });
    Click(IDC_PORT_EDIT);
    EXPECT_EQ(shownFirst, "/dev/ttyS2");
    EXPECT_EQ(StoredString("Ports", "COM3"), "/dev/serial/by-id/usb-FTDI_A1-if00-port0");
    EXPECT_EQ(Text(IDC_PORT_PATH), "/dev/serial/by-id/usb-FTDI_A1-if00-port0");

    // A relative path is refused with a message and the dialog stays; Cancel keeps the old one.
    OnNextModal([&](QWidget* w) {
        auto* pDlg = dynamic_cast<CPortSettingsDlg*>(w);
        ASSERT_NE(pDlg, nullptr);
        pDlg->PathEdit()->setText("ttyUSB0");
        ClickOk(pDlg);
        EXPECT_TRUE(pDlg->isVisible());
        pDlg->reject();
    });
    Click(IDC_PORT_EDIT);
    ASSERT_EQ(prompts.m_messages.size(), 1u);
    EXPECT_EQ(StoredString("Ports", "COM3"), "/dev/serial/by-id/usb-FTDI_A1-if00-port0");
}

TEST_F(DialogTest, ProgressAndLogTakeTheEnginesValuesSafely) {
    Open();
    dlg->SetProgressRange(0);  // an empty file: no busy indicator
    auto* bar = dlg->ControlAs<QProgressBar>(IDC_PROGRESS);
    EXPECT_GT(bar->maximum(), bar->minimum());
    dlg->SetProgressRange(1000);
    dlg->SetProgressPos(2000);
    EXPECT_EQ(bar->value(), 1000);
    dlg->ReplaceLog(" \r\n");
    dlg->AppendLog("a\r\nb\rc\n<b>not bold</b>");
    EXPECT_EQ(dlg->LogText(), " \na\nb\nc\n<b>not bold</b>");
}

}  // namespace

namespace {

// "History..." is off until the program names a history, then opens one
// window (raised again, not opened twice), whatever the connection does.
TEST_F(DialogTest, HistoryOpensTheHistoryWindowOnce) {
    Open();
    auto* button = dlg->ControlAs<QPushButton>(IDC_HISTORY);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), QStringLiteral("History..."));
    EXPECT_FALSE(button->isEnabled());
    history::HistoryConfig config;
    std::string error;
    ASSERT_TRUE(history::ParseHistoryTarget(Path("history.sqlite"), config.target, error));
    config.strStation = "desk-1";
    dlg->SetHistory(nullptr, config);
    EXPECT_TRUE(button->isEnabled());
    button->click();
    platform::CHistoryView* view = dlg->HistoryView();
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->isVisible());
    EXPECT_TRUE(view->windowTitle().contains(QStringLiteral("oriel_downloader")));
    button->click();
    EXPECT_EQ(dlg->HistoryView(), view);
    view->close();
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(dlg->HistoryView(), nullptr);
    // Off: nothing to show.
    ASSERT_TRUE(history::ParseHistoryTarget("off", config.target, error));
    dlg->SetHistory(nullptr, config);
    EXPECT_FALSE(button->isEnabled());
}

}  // namespace
