// The history as text: CSV a spreadsheet reads back, JSON, the table, and
// the command's answers.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "platform/history/history_command.h"
#include "platform/history/history_output.h"
#include "tests/platform/history/history_test_support.h"

namespace {

using history::JobRow;
using historytest::Job;

// Fields of RFC 4180 CSV, the way a spreadsheet reads them.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool bQuoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (bQuoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                bQuoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            bQuoted = true;
        } else if (c == ',') {
            rows.back().push_back(field);
            field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.back().push_back(field);
            field.clear();
            rows.emplace_back();
            ++i;
        } else {
            field += c;
        }
    }
    rows.pop_back();  // after the last line end
    return rows;
}

std::vector<JobRow> Rows() {
    JobRow a{7, Job(3, "usb-Sim_Handset_0003", false)};
    a.record.strFailureText = "Port open failed, \"COM 4\"\r\nsecond line";
    history::ImageRef image;
    image.strRole = "pda";
    image.strPath = "/images/pda, v2.bin";
    image.nSize = 9;
    image.strCrc32 = "cbf43926";
    image.strSha256 = "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225";
    image.bHashed = true;
    a.record.images = {image};
    JobRow b{6, Job(0, "", true)};
    b.record.strProgram = "oriel_downloader";
    b.record.strPort = "/dev/ttyUSB0";
    b.record.nEndMs = b.record.nStartMs + 3723000;
    return {a, b};
}

TEST(HistoryOutput, CsvReadsBackFieldForField) {
    const auto rows = ParseCsv(history::JobsCsv(Rows()));
    ASSERT_EQ(rows.size(), 3u);
    const std::vector<std::string>& head = rows[0];
    ASSERT_EQ(head.size(), rows[1].size());
    ASSERT_EQ(head.size(), rows[2].size());
    auto col = [&head](const char* name) {
        return static_cast<size_t>(std::find(head.begin(), head.end(), name) - head.begin());
    };
    EXPECT_EQ(rows[1][col("id")], "7");
    EXPECT_EQ(rows[1][col("slot")], "3");
    EXPECT_EQ(rows[1][col("result")], "failed");
    EXPECT_EQ(rows[1][col("failure_text")], "Port open failed, \"COM 4\"\r\nsecond line");
    EXPECT_EQ(rows[1][col("duration_s")], "41.000");
    EXPECT_EQ(rows[2][col("slot")], "");
    EXPECT_EQ(rows[2][col("port")], "/dev/ttyUSB0");
    const QJsonArray images =
        QJsonDocument::fromJson(QByteArray::fromStdString(rows[1][col("images")])).array();
    ASSERT_EQ(images.size(), 1);
    EXPECT_EQ(images[0].toObject().value("path").toString(), "/images/pda, v2.bin");
    EXPECT_EQ(images[0].toObject().value("crc32").toString(), "cbf43926");
}

TEST(HistoryOutput, JsonHoldsEveryField) {
    const QJsonArray jobs =
        QJsonDocument::fromJson(QByteArray::fromStdString(history::JobsJson(Rows()))).array();
    ASSERT_EQ(jobs.size(), 2);
    const QJsonObject a = jobs[0].toObject();
    EXPECT_EQ(a.value("id").toInteger(), 7);
    EXPECT_EQ(a.value("slot").toInt(), 3);
    EXPECT_EQ(a.value("started_at").toString(), "2026-01-05T10:00:00.000Z");
    EXPECT_EQ(a.value("failure_code").toString(), "208");
    EXPECT_EQ(a.value("images").toArray()[0].toObject().value("size").toInteger(), 9);
    EXPECT_TRUE(jobs[1].toObject().value("slot").isNull());
}

TEST(HistoryOutput, TheTableShowsOneLinePerJob) {
    const std::string table = history::JobsTable(Rows());
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3);
    EXPECT_NE(table.find("slot 3"), std::string::npos);
    EXPECT_NE(table.find("pda:15e2b0d3"), std::string::npos);
    EXPECT_NE(table.find("1:02:03"), std::string::npos);
    EXPECT_NE(table.find("2026-01-05 10:00:00"), std::string::npos);
    EXPECT_EQ(history::FormatDuration(41000), "0:41");
}

TEST(HistoryOutput, RatesSayWhichSlotStandsOut) {
    const auto rates = history::JudgeRates({{"1", 50, 1}, {"2", 50, 14}, {"3", 50, 2}});
    const std::string table = history::RatesTable(rates, "SLOT");
    std::istringstream lines(table);
    std::string line;
    std::vector<std::string> all;
    while (std::getline(lines, line)) {
        all.push_back(line);
    }
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[2].find("2 "), 0u);
    EXPECT_NE(all[2].find("72.0%"), std::string::npos) << all[2];
    EXPECT_NE(all[2].find("fails more often"), std::string::npos) << all[2];
    EXPECT_EQ(all[1].find("fails more often"), std::string::npos) << all[1];
    const auto csv = ParseCsv(history::RatesCsv(rates, "SLOT"));
    ASSERT_EQ(csv.size(), 4u);
    EXPECT_EQ(csv[0][0], "slot");
    EXPECT_EQ(csv[2][6], "yes");
    EXPECT_EQ(csv[2][4], "0.7200");
    const QJsonArray json =
        QJsonDocument::fromJson(QByteArray::fromStdString(history::RatesJson(rates, "SLOT")))
            .array();
    EXPECT_TRUE(json[1].toObject().value("outlier").toBool());
    EXPECT_EQ(json[1].toObject().value("slot").toString(), "2");
}

}  // namespace
