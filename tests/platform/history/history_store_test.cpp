// The history database on SQLite: the schema the program makes, the
// migration of a first-version database, recording once, the filters and
// the pass rates.
#include <gtest/gtest.h>

#include <QSqlQuery>
#include <QSqlRecord>

#include "platform/history/db_connection.h"
#include "platform/history/history_schema.h"
#include "platform/history/history_store.h"
#include "platform/history/pass_rates.h"
#include "tests/platform/history/history_test_support.h"

namespace {

using history::CDbConnection;
using history::CHistoryStore;
using history::HistoryFilter;
using history::InsertResult;
using history::JobRecord;
using history::JobRow;
using historytest::Job;
using historytest::SqliteTarget;

class HistoryStore : public ::testing::Test {
  protected:
    std::string Path() const { return (m_dir.Path() / "history.sqlite").string(); }
    void OpenStore() {
        std::string error;
        ASSERT_TRUE(m_store.Open(SqliteTarget(Path()), error)) << error;
    }
    std::vector<JobRow> Query(const HistoryFilter& filter) {
        std::vector<JobRow> rows;
        std::string error;
        EXPECT_TRUE(m_store.Query(filter, rows, error)) << error;
        return rows;
    }
    void Insert(const JobRecord& r) {
        std::string error;
        ASSERT_EQ(m_store.Insert(r, error), InsertResult::Inserted) << error;
    }

    testsupport::CScratchDir m_dir{"oriel_history"};
    CHistoryStore m_store;
};

TEST_F(HistoryStore, AnEmptyDatabaseGetsTheCurrentSchema) {
    OpenStore();
    std::string error;
    EXPECT_EQ(history::ReadSchemaVersion(m_store.Connection(), error), history::kSchemaVersion);
    const QStringList tables = m_store.Connection().Db().tables();
    for (const char* t : {"history_schema", "jobs", "job_images", "job_logs"}) {
        EXPECT_TRUE(tables.contains(QLatin1String(t))) << t;
    }
    // Opening again changes nothing.
    m_store.Close();
    OpenStore();
    EXPECT_EQ(history::ReadSchemaVersion(m_store.Connection(), error), history::kSchemaVersion);
}

TEST_F(HistoryStore, AFirstVersionDatabaseIsMigratedWithItsJobsLogsAndImages) {
    {
        CDbConnection db("v1");
        std::string error;
        ASSERT_TRUE(db.Open(SqliteTarget(Path()), error)) << error;
        ASSERT_TRUE(history::MigrateSchema(db, 1, error)) << error;
        ASSERT_EQ(history::ReadSchemaVersion(db, error), 1);
        // Rows as the first version wrote them: the log inside the job.
        for (int i = 1; i <= 3; ++i) {
            ASSERT_TRUE(db.Exec(
                QStringLiteral(
                    "INSERT INTO jobs (job_uid, started_at, ended_at, station, program, version, "
                    "front_end, port, slot, device, usb_serial, flash_id, operation, profile, "
                    "result, failure_code, failure_text, bytes, log) VALUES (?, ?, ?, 'st', "
                    "'fleet_downloader', '0.2', 'window', 'p', ?, 'dev', '', '', 'flash', '', "
                    "'completed', '', '', 10, ?)"),
                {QStringLiteral("uid-%1").arg(i),
                 QStringLiteral("2025-06-0%1T10:00:00.000Z").arg(i),
                 QStringLiteral("2025-06-0%1T10:01:00.000Z").arg(i), i,
                 QStringLiteral("log of job %1\r\n").arg(i)},
                error))
                << error;
        }
        ASSERT_TRUE(db.Exec(QStringLiteral("INSERT INTO job_images (job_id, position, role, path, "
                                           "size, crc32, sha256, note) VALUES (2, 1, 'pda', "
                                           "'/img/pda.bin', 77, '0000abcd', ?, '')"),
                            {QString(64, QLatin1Char('e'))}, error))
            << error;
    }
    OpenStore();
    std::string error;
    EXPECT_EQ(history::ReadSchemaVersion(m_store.Connection(), error), 2);
    QSqlQuery q(m_store.Connection().Db());
    ASSERT_TRUE(q.exec(QStringLiteral("SELECT * FROM jobs")));
    for (int i = 0; i < q.record().count(); ++i) {
        EXPECT_NE(q.record().fieldName(i), QStringLiteral("log"));
    }
    std::string log;
    ASSERT_TRUE(m_store.Log(2, log, error)) << error;
    EXPECT_EQ(log, "log of job 2\r\n");
    HistoryFilter f;
    f.strImageSha = std::string(64, 'e');
    const std::vector<JobRow> rows = Query(f);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].record.strUid, "uid-2");
    ASSERT_EQ(rows[0].record.images.size(), 1u);
    EXPECT_EQ(rows[0].record.images[0].nSize, 77);
    // New jobs go in beside the migrated ones.
    Insert(Job(1, "new", true));
    EXPECT_EQ(m_store.Count(error), 4);
}

TEST_F(HistoryStore, ADatabaseOfANewerProgramIsLeftAlone) {
    OpenStore();
    std::string error;
    ASSERT_TRUE(m_store.Connection().ExecPlain(
        QStringLiteral("UPDATE history_schema SET version = 9"), error));
    m_store.Close();
    EXPECT_FALSE(m_store.Open(SqliteTarget(Path()), error));
    EXPECT_NE(error.find("newer"), std::string::npos) << error;
    CDbConnection db("check");
    ASSERT_TRUE(db.Open(SqliteTarget(Path()), error));
    EXPECT_EQ(history::ReadSchemaVersion(db, error), 9);
}

TEST_F(HistoryStore, AJobIsRecordedOnceWhateverTimesItIsSent) {
    OpenStore();
    JobRecord r = Job(2, "usb-Sim_Handset_0002", true);
    history::ImageRef image;
    image.strRole = "pda";
    image.strPath = "/img/pda.bin";
    image.nSize = 100;
    image.strCrc32 = "cbf43926";
    image.strSha256 = std::string(64, 'b');
    image.bHashed = true;
    history::ImageRef missing;
    missing.strRole = "phone";
    missing.strPath = "/img/gone.bin";
    missing.strNote = "the file is gone";
    r.images = {image, missing};
    Insert(r);
    std::string error;
    EXPECT_EQ(m_store.Insert(r, error), InsertResult::Duplicate);
    EXPECT_EQ(m_store.Count(error), 1);

    const std::vector<JobRow> rows = Query({});
    ASSERT_EQ(rows.size(), 1u);
    const JobRecord& back = rows[0].record;
    EXPECT_EQ(back.strUid, r.strUid);
    EXPECT_EQ(back.nStartMs, r.nStartMs);
    EXPECT_EQ(back.nEndMs, r.nEndMs);
    EXPECT_EQ(back.nSlot, 2);
    EXPECT_TRUE(back.bCompleted);
    ASSERT_EQ(back.images.size(), 2u);
    EXPECT_EQ(back.images[0].strSha256, image.strSha256);
    EXPECT_FALSE(back.images[1].bHashed);
    EXPECT_EQ(back.images[1].strNote, "the file is gone");
    std::string log;
    ASSERT_TRUE(m_store.Log(rows[0].nId, log, error));
    EXPECT_EQ(log, r.strLog);
    EXPECT_FALSE(m_store.Log(rows[0].nId + 1, log, error));
}

TEST_F(HistoryStore, TextFromOutsideIsStoredAsItIsNeverRunAsSql) {
    OpenStore();
    JobRecord r = Job(1, "x'); DROP TABLE jobs; --", true);
    r.strStation = "st\"ation";
    Insert(r);
    HistoryFilter f;
    f.strDevice = "drop table";
    const std::vector<JobRow> rows = Query(f);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].record.strDevice, r.strDevice);
    f = {};
    f.strStation = "st\"ation";
    EXPECT_EQ(Query(f).size(), 1u);
    // Wildcards in a filter are plain characters.
    f = {};
    f.strDevice = "%";
    EXPECT_TRUE(Query(f).empty());
}

TEST_F(HistoryStore, FiltersNarrowTheListingNewestFirst) {
    OpenStore();
    const int64_t t0 = 1767607200000;
    JobRecord a = Job(1, "usb-Sim_Handset_FSIM0001", true, t0);
    JobRecord b = Job(2, "usb-Sim_Handset_FSIM0002", false, t0 + 60000);
    JobRecord c = Job(3, "usb-Other_0003", true, t0 + 120000);
    c.strStation = "line-2";
    c.strProgram = "oriel_downloader";
    JobRecord d = Job(4, "usb-Sim_Handset_FSIM0004", true, t0 + 180000);
    history::ImageRef image;
    image.strRole = "main";
    image.strPath = "/img/main.bin";
    image.nSize = 5;
    image.strCrc32 = "00000001";
    image.strSha256 = "0123456789abcdef" + std::string(48, '0');
    image.bHashed = true;
    d.images = {image};
    for (const JobRecord& r : {a, b, c, d}) {
        Insert(r);
    }
    auto uids = [](const std::vector<JobRow>& rows) {
        std::vector<std::string> out;
        for (const JobRow& row : rows) {
            out.push_back(row.record.strUid);
        }
        return out;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(uids(Query({})), (V{d.strUid, c.strUid, b.strUid, a.strUid}));

    HistoryFilter f;
    f.nSinceMs = t0 + 60000;
    f.nUntilMs = t0 + 180000;
    EXPECT_EQ(uids(Query(f)), (V{c.strUid, b.strUid}));
    f = {};
    f.strDevice = "fsim";  // any case
    EXPECT_EQ(uids(Query(f)), (V{d.strUid, b.strUid, a.strUid}));
    f.strDevice = "SER3";  // the USB serial
    EXPECT_EQ(uids(Query(f)), (V{c.strUid}));
    f.strDevice = "ttyACM2";  // the port
    EXPECT_EQ(uids(Query(f)), (V{b.strUid}));
    f = {};
    f.strStation = "line-2";
    EXPECT_EQ(uids(Query(f)), (V{c.strUid}));
    f = {};
    f.bFailedOnly = true;
    EXPECT_EQ(uids(Query(f)), (V{b.strUid}));
    f = {};
    f.strImageSha = "0123456789ABCDEF";
    EXPECT_EQ(uids(Query(f)), (V{d.strUid}));
    f.strImageSha = "0123456789abcdee";
    EXPECT_TRUE(Query(f).empty());
    f = {};
    f.strProgram = "fleet_downloader";
    f.nLimit = 2;
    EXPECT_EQ(uids(Query(f)), (V{d.strUid, b.strUid}));
    ASSERT_EQ(Query(f)[0].record.images.size(), 1u);
}

TEST_F(HistoryStore, PassRatesPerSlotFlagTheSlotThatFailsMoreOften) {
    OpenStore();
    // Slot 4 fails 9 of 20; the others 1 of 20 each.
    for (int slot = 1; slot <= 8; ++slot) {
        for (int i = 0; i < 20; ++i) {
            const bool bFail = slot == 4 ? i < 9 : i == 0;
            Insert(Job(slot, "dev", !bFail, 1767607200000 + i * 1000));
        }
    }
    std::vector<history::RateRow> rows;
    std::string error;
    HistoryFilter f;
    f.strProgram = "fleet_downloader";
    ASSERT_TRUE(m_store.Rates(f, history::RateGroup::Slot, rows, error)) << error;
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[3].strKey, "4");
    EXPECT_EQ(rows[3].nJobs, 20);
    EXPECT_EQ(rows[3].nFailed, 9);
    const std::vector<history::RateVerdict> v = history::JudgeRates(rows);
    for (size_t i = 0; i < v.size(); ++i) {
        EXPECT_EQ(v[i].bOutlier, i == 3) << "slot " << v[i].row.strKey << " p " << v[i].dPValue;
    }
    EXPECT_NEAR(v[3].dPassRate, 0.55, 1e-9);
    ASSERT_TRUE(m_store.Rates(f, history::RateGroup::Station, rows, error)) << error;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].strKey, "line-1");
    EXPECT_EQ(rows[0].nJobs, 160);
    EXPECT_EQ(rows[0].nFailed, 16);
}

}  // namespace
