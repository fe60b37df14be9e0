// The operator's whole path through the dialog against the simulated handset,
// on the Qt event loop: START, handshake, a Main Binary download, Stop.
#include <gtest/gtest.h>

#include "oriel/engine/engine_states.h"
#include "sim/oriel/oriel_handset.h"
#include "tests/oriel/ui/console_fixture.h"
#include "tests/oriel/ui/qt_wait.h"

namespace {

using namespace oriel;
using consoletest::ConsoleTest;

class ConsoleE2E : public ConsoleTest {
  protected:
    void Boot() {
        orielsim::HandsetOptions options;
        options.bPace = false;
        handset = std::make_unique<orielsim::COrielHandset>(std::move(options));
        std::string error;
        ASSERT_TRUE(handset->Start(error)) << error;
        Store().SetString("Ports", "COM1", handset->SlavePath());
    }
    void TearDown() override {
        ConsoleTest::TearDown();
        handset.reset();
    }
    bool WaitFor(const std::function<bool()>& pred, int nMs = 30000) {
        return consoletest::RunEventsUntil(pred, nMs);
    }

    std::unique_ptr<orielsim::COrielHandset> handset;
};

TEST_F(ConsoleE2E, MainBinaryDownloadFromTheDialogLandsInTheHandsetsNor) {
    Boot();
    Store().SetInt("Setting", "TabNum", 0);
    Store().SetInt("Setting", "SPEED", 3);
    Store().SetInt("Setting", "Mode", 1);
    Open();
    std::vector<uint8_t> image(5000);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>((i * 131u) ^ (i >> 3));
    }
    Choose(IDC_BIN2, WriteFile("main.cla", image));
    EXPECT_EQ(Text(IDC_SIZE2), "5,000");

    Click(IDC_START);
    CDownloaderEngine& e = dlg->Session().Engine();
    ASSERT_TRUE(WaitFor([&] { return e.m_bIdentified == 1 || e.m_nState == IDLE; }));
    ASSERT_EQ(e.m_bIdentified, 1) << dlg->LogText();
    EXPECT_EQ(Text(IDC_FLASH_ID), "Spansion-S71WS128NC0");
    EXPECT_NE(dlg->LogText().find("** Now you can do the followings. **"), std::string::npos);
    EXPECT_TRUE(Enabled(IDC_DOWNLOAD2));
    EXPECT_FALSE(Enabled(IDC_ALL_DOWNLOAD));  // no Boot Loader or BP Engine file
    EXPECT_FALSE(Enabled(IDC_START));

    Click(IDC_DOWNLOAD2);
    EXPECT_FALSE(Enabled(IDC_DOWNLOAD2));
    ASSERT_TRUE(WaitFor([&] { return e.m_nState == IDLE; })) << dlg->LogText();
    ASSERT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Download completed!"})
        << dlg->LogText();
    EXPECT_EQ(prompts.m_messages[0].icon, platform::MsgIcon::Information);

    const std::string log = dlg->LogText();
    EXPECT_EQ(log.rfind(" \n** Start Downloading Main Binary file **\nSending Binary CheckSum:", 0),
              0u)
        << log;
    EXPECT_NE(log.find("Send the offset of writing address (0x00020000)... OK!\n"),
              std::string::npos);
    EXPECT_NE(log.find("** Send file length(5000 bytes)... OK!\n** Start BINARY downloading...\n"
                       "Address 0x10020000... Last size(904)"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\n** Downloading Time "), std::string::npos);
    const std::string end = "** (Total 5000 bytes) **\n\n";
    ASSERT_GE(log.size(), end.size());
    EXPECT_EQ(log.substr(log.size() - end.size()), end) << log;

    EXPECT_EQ(handset->ReadNor(0x20000, image.size()), image);
    ASSERT_TRUE(handset->LastCrcAnnounced().has_value());
    EXPECT_EQ(handset->LastCrcAnnounced(), handset->LastCrcComputed());

    // Back where operations can start; the connection is still up.
    EXPECT_TRUE(Enabled(IDC_DOWNLOAD2));
    EXPECT_TRUE(Enabled(IDC_ERASE));
    EXPECT_TRUE(Enabled(IDC_STOP));
    EXPECT_TRUE(port.IsOpen());

    Click(IDC_STOP);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(Text(IDC_FLASH_ID), "");
    EXPECT_EQ(dlg->LogText().substr(dlg->LogText().size() - 19), "\n** Close COM port\n");
    EXPECT_TRUE(Enabled(IDC_START));
    EXPECT_FALSE(Enabled(IDC_DOWNLOAD2));
}

// "Verify after download" is kept in the settings and reads the image back
// after the download, with the outcome in the log.
TEST_F(ConsoleE2E, VerifyAfterDownloadIsKeptAndReportsInTheLog) {
    Boot();
    Store().SetInt("Setting", "TabNum", 0);
    Store().SetInt("Setting", "SPEED", 3);
    Store().SetInt("Setting", "Mode", 1);
    Open();
    EXPECT_FALSE(Button(IDC_VERIFY)->isChecked());
    Click(IDC_VERIFY);
    EXPECT_EQ(StoredInt("Verify", 0), 1);
    Open();  // the next run of the program
    ASSERT_TRUE(Button(IDC_VERIFY)->isChecked());
    Choose(IDC_BIN2, WriteFile("main.cla", 70000));
    Click(IDC_START);
    CDownloaderEngine& e = dlg->Session().Engine();
    ASSERT_TRUE(WaitFor([&] { return e.m_bIdentified == 1 || e.m_nState == IDLE; }));
    ASSERT_EQ(e.m_bIdentified, 1) << dlg->LogText();
    EXPECT_TRUE(Enabled(IDC_VERIFY));
    Click(IDC_DOWNLOAD2);
    EXPECT_FALSE(Enabled(IDC_VERIFY));
    ASSERT_TRUE(WaitFor([&] { return prompts.MessageTexts().size() == 2 && e.m_nState == IDLE; }))
        << dlg->LogText();
    EXPECT_EQ(prompts.MessageTexts(),
              (std::vector<std::string>{"Download completed!", "Verify completed!"}));
    EXPECT_NE(dlg->LogText().find("Verifying 0x10020000 (70000 bytes)... OK!\n"), std::string::npos)
        << dlg->LogText();
    EXPECT_NE(dlg->LogText().find("** (Total 70000 bytes verified) **"), std::string::npos);
    EXPECT_TRUE(Enabled(IDC_DOWNLOAD2));
}

// An unplugged handset: the window says so and is back where Stop leaves it.
TEST_F(ConsoleE2E, AHandsetThatGoesAwayMidDownloadLeavesTheWindowAsStopWould) {
    Boot();
    Store().SetInt("Setting", "TabNum", 0);
    Store().SetInt("Setting", "SPEED", 3);
    Store().SetInt("Setting", "Mode", 1);
    Open();
    Choose(IDC_BIN2, WriteFile("main.cla", 3 * 1024 * 1024));
    Click(IDC_START);
    CDownloaderEngine& e = dlg->Session().Engine();
    ASSERT_TRUE(WaitFor([&] { return e.m_bIdentified == 1 || e.m_nState == IDLE; }));
    ASSERT_EQ(e.m_bIdentified, 1) << dlg->LogText();
    Click(IDC_DOWNLOAD2);
    ASSERT_TRUE(WaitFor([&] { return e.m_nState == WAIT_CHUNK_ACK; }));
    handset->Stop();
    ASSERT_TRUE(WaitFor([&] { return !port.IsOpen(); }, 3000)) << dlg->LogText();
    EXPECT_EQ(prompts.MessageTexts().back(), "The handset's port went away!");
    EXPECT_NE(dlg->LogText().find("** The handset's port went away ("), std::string::npos);
    EXPECT_EQ(Text(IDC_FLASH_ID), "");
    EXPECT_TRUE(Enabled(IDC_START));
    EXPECT_FALSE(Enabled(IDC_STOP));
    EXPECT_FALSE(Enabled(IDC_DOWNLOAD2));
    EXPECT_EQ(e.m_nState, STATE_NONE);
}

TEST_F(ConsoleE2E, AutoDownLoadOnAlder2WritesTheTabsFileAndPowerOnEndsTheConnection) {
    Boot();
    Store().SetInt("Setting", "SPEED", 2);
    Store().SetInt("Setting", "Mode", 1);
    Store().SetInt("Setting", "Auto", 1);
    std::vector<uint8_t> image(40000);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 13u + (i >> 8));
    }
    Store().SetString("Setting", "BinPath4", WriteFile("alder2.cla", image));
    Open();
    ASSERT_EQ(dlg->Tab(), kTabAlder2);
    Click(IDC_POWER_ON);

    Click(IDC_START);
    // Identification starts All Download, which on this tab is the one file;
    // after it the power-on byte goes out and the connection ends.
    ASSERT_TRUE(WaitFor([&] { return !port.IsOpen() && !dlg->Session().IsConnected(); }))
        << dlg->LogText();
    EXPECT_EQ(prompts.MessageTexts(), std::vector<std::string>{"Download completed!"});
    const std::string log = dlg->LogText();
    // On this tab the download itself clears the log again, All heading included.
    EXPECT_EQ(log.rfind(" \n** Start Downloading Boot Loader file **\n", 0), 0u) << log;
    EXPECT_NE(log.find("Send the offset of writing address (0x00000000)... OK!"),
              std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 19), "\n** Close COM port\n");
    EXPECT_EQ(handset->ReadNor(0, image.size()), image);
    EXPECT_TRUE(Enabled(IDC_START));
    EXPECT_FALSE(Enabled(IDC_POWER_ON));
    EXPECT_TRUE(Button(IDC_POWER_ON)->isChecked());
}

}  // namespace
