// The flash history of the single-handset downloader, end to end against the
// simulated handset: one record per operation and per explorer transfer,
// with its images and their hashes, the bytes it moved, how it ended (the
// engine state and the reason of a failure) and its log.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <filesystem>
#include <fstream>

#include "oriel/engine/nor_sectors.h"
#include "oriel/mfx/code_page.h"
#include "platform/history/history_recorder.h"
#include "platform/history/history_store.h"
#include "tests/platform/history/history_test_support.h"
#include "tests/support/random_bytes.h"
#include "tests/support/recording_explorer_view.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/sim_session.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using history::JobRecord;
using orielsim::Fault;
using orielsim::Step;
using testsupport::RandomBytes;

std::string Sha256(const Bytes& b) {
    return QCryptographicHash::hash(QByteArrayView(b.data(), static_cast<qsizetype>(b.size())),
                                    QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

class OperationJournal : public ::testing::Test, protected testsupport::CSimSession {
  protected:
    void SetUp() override {
        history::RecorderOptions o;
        std::string error;
        ASSERT_TRUE(history::ParseHistoryTarget(File("history.sqlite"), o.target, error));
        o.strSpoolPath = File("spool.sqlite");
        m_recorder = std::make_unique<history::CHistoryRecorder>(o);
        session.Journal().SetRecorder(m_recorder.get(), "bench-1", history::kFrontEndWindow);
    }
    void TearDown() override {
        session.Stop();
        session.Journal().SetRecorder(nullptr, {}, {});
        if (handset) {
            handset->Stop();
        }
        m_recorder.reset();
    }
    std::string File(const std::string& name) const { return (m_dir.Path() / name).string(); }
    std::string Write(const std::string& name, const Bytes& b) {
        std::ofstream(File(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        return File(name);
    }
    void Identify(orielsim::HandsetOptions o = {}) {
        o.strNandDir = File("nand");
        std::string error;
        ASSERT_TRUE(BootAndIdentify(o, error)) << error;
        session.Download().m_controls.nTab = oriel::kTabTamarin2;
    }
    // Every record so far, oldest first (with its log).
    std::vector<JobRecord> Records() {
        EXPECT_TRUE(m_recorder->Flush(20s));
        history::CHistoryStore store;
        std::string error;
        std::vector<history::JobRow> rows;
        EXPECT_TRUE(store.Open(historytest::SqliteTarget(File("history.sqlite")), error)) << error;
        EXPECT_TRUE(store.Query({}, rows, error)) << error;
        std::vector<JobRecord> out;
        for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
            JobRecord r = it->record;
            EXPECT_TRUE(store.Log(it->nId, r.strLog, error));
            out.push_back(std::move(r));
        }
        return out;
    }

    testsupport::CScratchDir m_dir{"oriel_journal"};
    std::unique_ptr<history::CHistoryRecorder> m_recorder;
};

TEST_F(OperationJournal, ADownloadAndItsVerificationAreTwoRecordsWithTheImagesHashes) {
    Identify();
    const Bytes image = RandomBytes(300000, 1);
    auto& c = session.Download().m_controls;
    c.astrBinPath[2] = Write("main.bin", image);
    c.bVerify = true;
    ASSERT_TRUE(session.Download().DownloadMainBinary());
    ASSERT_TRUE(RunToIdle());
    ASSERT_EQ(prompts.MessageTexts(),
              (std::vector<std::string>{"Download completed!", "Verify completed!"}));

    const std::vector<JobRecord> r = Records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].strOperation, "download main");
    EXPECT_TRUE(r[0].bCompleted);
    EXPECT_EQ(r[0].nBytes, 300000);
    EXPECT_EQ(r[0].strProgram, "oriel_downloader");
    EXPECT_EQ(r[0].strFrontEnd, "window");
    EXPECT_EQ(r[0].strStation, "bench-1");
    EXPECT_EQ(r[0].strProfile, "Tamarin2");
    EXPECT_EQ(r[0].strPort, handset->SlavePath());
    EXPECT_EQ(r[0].nSlot, 0);
    EXPECT_FALSE(r[0].strFlashId.empty());
    EXPECT_TRUE(r[0].strFailureCode.empty());
    ASSERT_EQ(r[0].images.size(), 1u);
    EXPECT_EQ(r[0].images[0].strRole, "main");
    EXPECT_EQ(r[0].images[0].strPath, File("main.bin"));
    EXPECT_EQ(r[0].images[0].nSize, 300000);
    EXPECT_EQ(r[0].images[0].strSha256, Sha256(image));
    // The log is the operation's, as the console showed it.
    EXPECT_NE(r[0].strLog.find("** (Total 300000 bytes) **"), std::string::npos) << r[0].strLog;
    EXPECT_EQ(r[0].strLog.find("Verif"), std::string::npos) << r[0].strLog;
    EXPECT_LE(r[0].nStartMs, r[0].nEndMs);

    EXPECT_EQ(r[1].strOperation, "verify");
    EXPECT_TRUE(r[1].bCompleted);
    EXPECT_EQ(r[1].nBytes, 300000);
    ASSERT_EQ(r[1].images.size(), 1u);
    EXPECT_EQ(r[1].images[0].strSha256, Sha256(image));
    EXPECT_NE(r[1].strLog.find("Verifying 0x10020000 (300000 bytes)... OK!"), std::string::npos)
        << r[1].strLog;
    EXPECT_LE(r[0].nEndMs, r[1].nStartMs);
}

TEST_F(OperationJournal, AllDownloadIsOneRecordOfItsThreeImages) {
    Identify();
    const Bytes boot = RandomBytes(40000, 2), main = RandomBytes(300000, 3),
                bp = RandomBytes(6144, 4);
    auto& c = session.Download().m_controls;
    c.astrBinPath[1] = Write("a.bin", boot);
    c.astrBinPath[2] = Write("b.bin", main);
    c.astrBinPath[3] = Write("c.bin", bp);
    ASSERT_TRUE(session.Download().DownloadAll());
    ASSERT_TRUE(RunToIdle());
    const std::vector<JobRecord> r = Records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].strOperation, "download-all");
    EXPECT_TRUE(r[0].bCompleted);
    EXPECT_EQ(r[0].nBytes, 40000 + 300000 + 6144);
    ASSERT_EQ(r[0].images.size(), 3u);
    EXPECT_EQ(r[0].images[0].strRole, "boot");
    EXPECT_EQ(r[0].images[1].strSha256, Sha256(main));
    EXPECT_EQ(r[0].images[2].strRole, "bp");
    EXPECT_NE(r[0].strLog.find("##### End Download All Binary files #####"), std::string::npos);
}

TEST_F(OperationJournal, AFailedSectorIsRecordedWithTheStepAndTheBytesWrittenBeforeIt) {
    orielsim::HandsetOptions o;
    o.faults.push_back({Fault::Kind::WrongReply, Step::SectorSum, 5});  // the image's second sector
    Identify(o);
    session.Download().m_controls.astrBinPath[2] = Write("main.bin", RandomBytes(600000, 5));
    ASSERT_TRUE(session.Download().DownloadMainBinary());
    ASSERT_TRUE(RunToIdle());
    const std::vector<JobRecord> r = Records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_FALSE(r[0].bCompleted);
    EXPECT_EQ(r[0].strFailureCode, "WAIT_SECTOR_SUM (50)");
    // The log's last line says it.
    EXPECT_EQ(r[0].strFailureText,
              "Address 0x10040000... Fail to download sector(send(4e)recive(b1))!")
        << r[0].strLog;
    EXPECT_EQ(r[0].nBytes, 0x20000);
}

TEST_F(OperationJournal, AnOperationThatStopsWithoutFinishingIsRecordedAsFailedAtOnce) {
    orielsim::HandsetOptions o;
    o.faults.push_back({Fault::Kind::WrongReply, Step::DownloadEnd, 0});
    Identify(o);
    session.Download().m_controls.astrBinPath[2] = Write("main.bin", RandomBytes(5000, 6));
    ASSERT_TRUE(session.Download().DownloadMainBinary());
    ASSERT_TRUE(RunToIdle());
    // "Not Complete!" leaves the engine idle without FinishOperation.
    const std::vector<JobRecord> r = Records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_FALSE(r[0].bCompleted);
    EXPECT_EQ(r[0].strFailureCode, "WAIT_DOWNLOAD_END (59)");
    EXPECT_NE(r[0].strFailureText.find("Not Complete! (0x"), std::string::npos)
        << r[0].strFailureText;
    // The next operation is a record of its own.
    oriel::g_abSectorSelected.fill(0);
    oriel::g_abSectorSelected[5] = 1;
    ASSERT_TRUE(session.Erase().StartSelected());
    ASSERT_TRUE(RunToIdle());
    const std::vector<JobRecord> r2 = Records();
    ASSERT_EQ(r2.size(), 2u);
    EXPECT_EQ(r2[1].strOperation, "erase");
    EXPECT_TRUE(r2[1].bCompleted);
    EXPECT_EQ(r2[1].nBytes, 0);
}

TEST_F(OperationJournal, StopDuringADumpRecordsItsPartAndWhereItWasKept) {
    Identify();
    oriel::g_abSectorSelected.fill(0);
    for (int s = 4; s < 100; ++s) {
        oriel::g_abSectorSelected[static_cast<size_t>(s)] = 1;
    }
    ASSERT_TRUE(session.Dump().StartSelected(File("out.hex")));
    ASSERT_TRUE(RunUntil([this] { return console.m_nProgressPos >= 256; }, 30s));
    session.Stop();
    const std::vector<JobRecord> r = Records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].strOperation, "dump");
    EXPECT_FALSE(r[0].bCompleted);
    EXPECT_EQ(r[0].strFailureText, "Stop");
    EXPECT_GE(r[0].nBytes, 256 * 1024);
    EXPECT_EQ(r[0].nBytes % 8192, 0);
    ASSERT_EQ(r[0].images.size(), 1u);
    EXPECT_EQ(r[0].images[0].strRole, "dump-incomplete");
    EXPECT_EQ(r[0].images[0].strPath, File("out.hex.incomplete"));
    EXPECT_EQ(r[0].images[0].nSize, r[0].nBytes);
}

TEST_F(OperationJournal, APortThatGoesAwayIsTheReasonOfTheFailure) {
    Identify();
    oriel::g_abSectorSelected.fill(0);
    for (int s = 4; s < 120; ++s) {
        oriel::g_abSectorSelected[static_cast<size_t>(s)] = 1;
    }
    ASSERT_TRUE(session.Dump().StartSelected(File("out.hex")));
    ASSERT_TRUE(RunUntil([this] { return console.m_nProgressPos >= 64; }, 30s));
    handset->Stop();
    ASSERT_TRUE(RunUntil([this] { return !session.IsConnected(); }, 10s));
    const std::vector<JobRecord> r = Records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_FALSE(r[0].bCompleted);
    EXPECT_EQ(r[0].strFailureText.rfind("The handset's port went away (", 0), 0u)
        << r[0].strFailureText;
}

TEST_F(OperationJournal, APackageAndAFileReadBackThroughTheExplorerAreRecorded) {
    oriel::SetAnsiCodePage("ISO-8859-1");
    Identify();
    const Bytes data = RandomBytes(20000, 7);
    Write("pkg.mfx", data);
    std::ofstream(File("pkg.cfg"), std::ios::binary)
        << "MFXVERSION : PROJ-0001-ABCDEF\r\nMFXRELEASEVERSION : REL-2008-001\r\n"
           "DIR_NAME : /sys\r\nFILE_NAME : /sys/a.bin\r\nFILE_SIZE : 20000\r\n";
    session.Package().m_strMfxPath = File("pkg.mfx");
    ASSERT_TRUE(session.Mfx().StartMfxDownload());
    ASSERT_TRUE(RunToIdle());
    ASSERT_EQ(prompts.MessageTexts().back(), "Download completed!");

    testsupport::RecordingView view;
    oriel::CMfxExplorer exp(port, prompts, view);
    exp.SetTransferObserver(&session.Journal());
    session.TakeOverReceive([&exp] { exp.OnExplorerRx(); });
    exp.Open();
    ASSERT_TRUE(RunUntil([&exp] { return exp.Idle(); }, 30s));
    exp.ListDirectory(exp.ItemForPath("/sys"));
    ASSERT_TRUE(RunUntil([&exp] { return exp.Idle(); }, 30s));
    prompts.m_saveAnswers.push_back(File("got.bin"));
    exp.DumpSelectedFile("a.bin");
    ASSERT_TRUE(RunUntil([&exp] { return exp.Idle(); }, 30s));
    exp.CloseExplorer();
    ASSERT_TRUE(RunUntil([&view] { return view.closed > 0; }, 10s));
    session.GiveBackReceive();
    oriel::SetAnsiCodePage("");

    const std::vector<JobRecord> r = Records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].strOperation, "mfx-download");
    EXPECT_TRUE(r[0].bCompleted);
    EXPECT_EQ(r[0].nBytes, 20000);
    ASSERT_EQ(r[0].images.size(), 2u);
    EXPECT_EQ(r[0].images[0].strRole, "mfx");
    EXPECT_EQ(r[0].images[0].strSha256, Sha256(data));
    EXPECT_EQ(r[0].images[1].strRole, "mfx-cfg");
    EXPECT_EQ(r[1].strOperation, "get /sys/a.bin");
    EXPECT_TRUE(r[1].bCompleted);
    EXPECT_EQ(r[1].nBytes, 20000);
    ASSERT_EQ(r[1].images.size(), 1u);
    EXPECT_EQ(r[1].images[0].strRole, "dump");
    EXPECT_EQ(r[1].images[0].strPath, File("got.bin"));
    EXPECT_EQ(r[1].images[0].strSha256, Sha256(data));
    EXPECT_NE(r[1].strLog.find("** Dump Completed! **"), std::string::npos) << r[1].strLog;
}

}  // namespace
