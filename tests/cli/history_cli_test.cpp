// The flash history from the command lines: every job of oriel_cli and every
// slot job of fleet_cli recorded by default, read back with "history" and its
// filters, outputs, pass rates and logs; a database that cannot be written
// fails no job, and the next history query sends what waited.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <fstream>

#include "sim/fleet/fleet_handset.h"
#include "sim/oriel/oriel_handset.h"
#include "tests/support/random_bytes.h"
#include "tests/support/run_program.h"
#include "tests/support/scratch_dir.h"

namespace {

using testsupport::Ran;
using testsupport::RunProgram;
namespace fs = std::filesystem;

std::string Sha256Of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

QJsonArray Jobs(const Ran& ran) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(ran.out)).array();
}

class HistoryCli : public ::testing::Test {
  protected:
    std::string File(const std::string& name) const { return (m_dir.Path() / name).string(); }
    void WriteRandom(const std::string& name, size_t n) {
        const std::vector<uint8_t> b = testsupport::RandomBytes(n, static_cast<unsigned>(n));
        std::ofstream(File(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(n));
    }
    // The simulated single handset on a link.
    void StartOriel() {
        orielsim::HandsetOptions o;
        o.bPace = false;
        o.strLinkPath = File("COM1");
        m_oriel = std::make_unique<orielsim::COrielHandset>(o);
        std::string error;
        ASSERT_TRUE(m_oriel->Start(error)) << error;
    }
    Ran Oriel(std::vector<std::string> args) {
        args.insert(args.begin(), ORIEL_CLI_PATH);
        return RunProgram(args);
    }

    testsupport::CScratchDir m_dir{"oriel_history_cli"};
    std::unique_ptr<orielsim::COrielHandset> m_oriel;
};

TEST_F(HistoryCli, OrielJobsAreRecordedByDefaultAndReadBack) {
    StartOriel();
    WriteRandom("main.bin", 200000);
    const Ran job = Oriel({"--port", File("COM1"), "--mode", "tat", "--speed", "921600", "--quiet",
                           "download", "main", File("main.bin"), "erase", "5"});
    ASSERT_EQ(job.nStatus, 0) << job.err;
    // In the program's data folder (this test's own), with nothing set up.
    EXPECT_TRUE(fs::exists(std::string(getenv("XDG_DATA_HOME")) +
                           "/ORIEL Tools/oriel_downloader/history.sqlite"));

    const Ran json = Oriel({"history", "--json"});
    ASSERT_EQ(json.nStatus, 0) << json.err;
    const QJsonArray jobs = Jobs(json);
    ASSERT_EQ(jobs.size(), 2) << json.out;
    const QJsonObject erase = jobs[0].toObject();
    const QJsonObject download = jobs[1].toObject();
    EXPECT_EQ(erase.value("operation").toString(), "erase");
    EXPECT_EQ(download.value("operation").toString(), "download main");
    EXPECT_EQ(download.value("result").toString(), "completed");
    EXPECT_EQ(download.value("front_end").toString(), "command line");
    EXPECT_EQ(download.value("program").toString(), "oriel_downloader");
    EXPECT_EQ(download.value("port").toString().toStdString(), File("COM1"));
    EXPECT_EQ(download.value("flash_id").toString(), "Spansion-S71WS128NC0");
    EXPECT_EQ(download.value("bytes").toInteger(), 200000);
    const QJsonObject image = download.value("images").toArray()[0].toObject();
    EXPECT_EQ(image.value("sha256").toString().toStdString(), Sha256Of(File("main.bin")));

    const Ran log = Oriel({"history", "--log", std::to_string(download.value("id").toInteger())});
    ASSERT_EQ(log.nStatus, 0) << log.err;
    EXPECT_NE(log.out.find("** (Total 200000 bytes) **\n"), std::string::npos) << log.out;
    EXPECT_EQ(log.out.find('\r'), std::string::npos);

    const Ran table = Oriel({"history", "--image", image.value("sha256").toString().toStdString()});
    ASSERT_EQ(table.nStatus, 0);
    EXPECT_NE(table.out.find("download main"), std::string::npos) << table.out;
    EXPECT_EQ(table.out.find("erase"), std::string::npos) << table.out;
    const Ran none = Oriel({"history", "--failed", "--csv"});
    EXPECT_EQ(std::count(none.out.begin(), none.out.end(), '\n'), 1) << none.out;  // the heading

    // Not recorded when asked not to be.
    ASSERT_EQ(Oriel({"--port", File("COM1"), "--mode", "tat", "--history", "off", "--quiet",
                     "erase", "6"})
                  .nStatus,
              0);
    EXPECT_EQ(Jobs(Oriel({"history", "--json"})).size(), 2);
}

TEST_F(HistoryCli, AWrongHistoryUrlIsRefusedBeforeAnyPortIsOpened) {
    const Ran ran = Oriel({"--port", "/nonexistent/tty", "--history", "mysql://u@h/db", "info"});
    EXPECT_EQ(ran.nStatus, 2);
    EXPECT_NE(ran.err.find("unknown kind of database 'mysql'"), std::string::npos) << ran.err;
    EXPECT_EQ(ran.err.find("cannot open the port"), std::string::npos) << ran.err;
    const Ran query = Oriel({"history", "--since", "last tuesday"});
    EXPECT_EQ(query.nStatus, 2);
    EXPECT_NE(query.err.find("--since: 'last tuesday' is not a time"), std::string::npos)
        << query.err;
}

TEST_F(HistoryCli, ADatabaseThatCannotBeWrittenFailsNoJobAndTheNextQuerySendsTheRecord) {
    StartOriel();
    std::ofstream(File("db")) << "a file where the database's folder should be";
    const std::string url = File("db") + "/history.sqlite";
    const Ran job = Oriel({"--port", File("COM1"), "--mode", "tat", "--history", url, "--quiet",
                           "erase", "5", "erase", "6"});
    ASSERT_EQ(job.nStatus, 0) << job.err;
    // Said once, not per record.
    const std::string said = "oriel_cli: history: cannot write to " + url;
    ASSERT_NE(job.err.find(said), std::string::npos) << job.err;
    EXPECT_EQ(job.err.find(said, job.err.find(said) + 1), std::string::npos) << job.err;

    fs::remove(File("db"));
    const Ran json = Oriel({"history", "--history", url, "--json"});
    ASSERT_EQ(json.nStatus, 0) << json.err;
    ASSERT_EQ(Jobs(json).size(), 2) << json.out << json.err;
    EXPECT_EQ(Jobs(json)[1].toObject().value("operation").toString(), "erase");
    // Sent once: asking again finds the same two.
    EXPECT_EQ(Jobs(Oriel({"history", "--history", url, "--json"})).size(), 2);
}

TEST_F(HistoryCli, FleetSlotJobsAreRecordedWithTheirSlotImagesAndFailures) {
    ASSERT_EQ(RunProgram({FLEET_MKIMG_PATH, "b000ff", "--out", File("pda.bin"), "--records", "4",
                          "--seed", "3"})
                  .nStatus,
              0);
    ASSERT_EQ(RunProgram({FLEET_MKIMG_PATH, "flat", "--out", File("eboot.nb0"), "--size", "196608",
                          "--seed", "4"})
                  .nStatus,
              0);
    const Ran pack =
        RunProgram({FLEET_PACK_PATH, "--program", FLEET_CLI_PATH, "--eboot", File("eboot.nb0"),
                    "--pda", File("pda.bin"), "--profile", "2", "--out", File("line_tool")});
    ASSERT_EQ(pack.nStatus, 0) << pack.err;
    fleetsim::FleetCommandLine sim;
    std::string error;
    ASSERT_TRUE(fleetsim::ParseFleetCommandLine(
        {"--dir", File("dev"), "--count", "2", "--store", File("store"), "--unplug", "stream:20@2"},
        sim, error))
        << error;
    fleetsim::CHandsetFleet fleet(sim.options);
    ASSERT_TRUE(fleet.Start(error)) << error;
    const Ran line = RunProgram({File("line_tool"), "--watch", File("dev"), "--slots", "2",
                                 "--count", "2", "--container", "--timeout", "200"});
    fleet.Stop();
    EXPECT_EQ(line.nStatus, 1) << line.out << line.err;  // one handset failed

    const Ran json = RunProgram({FLEET_CLI_PATH, "history", "--json"});
    ASSERT_EQ(json.nStatus, 0) << json.err;
    const QJsonArray jobs = Jobs(json);
    ASSERT_EQ(jobs.size(), 2) << json.out;
    QJsonObject done;
    QJsonObject failed;
    for (const QJsonValue& v : jobs) {
        (v.toObject().value("result").toString() == "completed" ? done : failed) = v.toObject();
    }
    ASSERT_FALSE(done.isEmpty());
    ASSERT_FALSE(failed.isEmpty());
    EXPECT_EQ(done.value("device").toString(), "usb-Sim_Handset_FSIM0001");
    EXPECT_EQ(failed.value("device").toString(), "usb-Sim_Handset_FSIM0002");
    EXPECT_NE(done.value("slot").toInt(), failed.value("slot").toInt());
    EXPECT_EQ(done.value("operation").toString(), "download eboot+pda");
    EXPECT_EQ(done.value("profile").toString(), "MTX-Juniper");
    EXPECT_EQ(done.value("bytes").toInteger(),
              196608 + static_cast<qint64>(fs::file_size(File("pda.bin"))));
    const QJsonArray images = done.value("images").toArray();
    ASSERT_EQ(images.size(), 2);
    EXPECT_EQ(images[0].toObject().value("sha256").toString().toStdString(),
              Sha256Of(File("eboot.nb0")));
    EXPECT_EQ(images[1].toObject().value("sha256").toString().toStdString(),
              Sha256Of(File("pda.bin")));
    EXPECT_EQ(images[1].toObject().value("path").toString().toStdString(), File("line_tool"));
    EXPECT_FALSE(failed.value("failure_code").toString().isEmpty());
    EXPECT_FALSE(failed.value("failure_text").toString().isEmpty());

    const Ran rates = RunProgram({FLEET_CLI_PATH, "history", "--by-slot", "--csv"});
    ASSERT_EQ(rates.nStatus, 0) << rates.err;
    EXPECT_EQ(rates.out.substr(0, rates.out.find('\n')),
              "slot,jobs,passed,failed,pass_rate,p_value,outlier\r");
    EXPECT_EQ(std::count(rates.out.begin(), rates.out.end(), '\n'), 3) << rates.out;

    const Ran log = RunProgram(
        {FLEET_CLI_PATH, "history", "--log", std::to_string(done.value("id").toInteger())});
    EXPECT_NE(log.out.find("Device name:usb-Sim_Handset_FSIM0001"), std::string::npos) << log.out;
    const Ran one = RunProgram({FLEET_CLI_PATH, "history", "--device", "fsim0002", "--json"});
    ASSERT_EQ(Jobs(one).size(), 1);
    EXPECT_EQ(Jobs(one)[0].toObject().value("result").toString(), "failed");
    // The single handset's program keeps to its own jobs unless asked.
    for (const QJsonValue& v : Jobs(RunProgram({ORIEL_CLI_PATH, "history", "--json"}))) {
        EXPECT_EQ(v.toObject().value("program").toString(), "oriel_downloader");
    }
    EXPECT_EQ(Jobs(RunProgram({ORIEL_CLI_PATH, "history", "--json", "--all-programs", "--history",
                               std::string(getenv("XDG_DATA_HOME")) +
                                   "/ORIEL Tools/fleet_downloader/history.sqlite"}))
                  .size(),
              2);
}

}  // namespace
