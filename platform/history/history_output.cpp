#include "platform/history/history_output.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "platform/format.h"
#include "platform/text_columns.h"

namespace history {

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

QJsonArray ImagesJson(const JobRecord& r) {
    QJsonArray images;
    for (const ImageRef& i : r.images) {
        QJsonObject o{{"role", Q(i.strRole)}, {"path", Q(i.strPath)}};
        if (i.bHashed) {
            o.insert(QStringLiteral("size"), static_cast<qint64>(i.nSize));
            o.insert(QStringLiteral("crc32"), Q(i.strCrc32));
            o.insert(QStringLiteral("sha256"), Q(i.strSha256));
        }
        if (!i.strNote.empty()) {
            o.insert(QStringLiteral("note"), Q(i.strNote));
        }
        images.append(o);
    }
    return images;
}

// Numbers with a point whatever the locale: CSV and JSON readers expect one.
std::string Number(double d, char format, int nPrecision) {
    return QString::number(d, format, nPrecision).toStdString();
}

std::string Percent(double d) {
    return Number(d * 100.0, 'f', 1) + "%";
}

}  // namespace

std::string ShortUtc(int64_t nMs) {
    return QDateTime::fromMSecsSinceEpoch(nMs, Qt::UTC)
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
        .toStdString();
}

std::string FormatDuration(int64_t nMs) {
    const int64_t s = nMs < 0 ? 0 : (nMs + 500) / 1000;
    if (s >= 3600) {
        return platform::Format("%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                                static_cast<long long>(s / 60 % 60),
                                static_cast<long long>(s % 60));
    }
    return platform::Format("%lld:%02lld", static_cast<long long>(s / 60),
                            static_cast<long long>(s % 60));
}

std::string PortOrSlot(const JobRecord& r) {
    return r.nSlot > 0 ? "slot " + std::to_string(r.nSlot) : r.strPort;
}

std::string ImagesShort(const JobRecord& r) {
    std::string out;
    for (const ImageRef& i : r.images) {
        out += (out.empty() ? "" : " ") + i.strRole + ":" +
               (i.bHashed ? i.strSha256.substr(0, 8) : std::string("?"));
    }
    return out;
}

std::string JobsTable(const std::vector<JobRow>& rows) {
    std::vector<std::vector<std::string>> t{{"ID", "STARTED (UTC)", "TIME", "STATION", "FRONT END",
                                             "PORT/SLOT", "DEVICE", "OPERATION", "RESULT", "CODE",
                                             "BYTES", "IMAGES (SHA-256)"}};
    for (const JobRow& row : rows) {
        const JobRecord& r = row.record;
        t.push_back({std::to_string(row.nId), ShortUtc(r.nStartMs),
                     FormatDuration(r.nEndMs - r.nStartMs), r.strStation, r.strFrontEnd,
                     PortOrSlot(r), r.strDevice.empty() ? "-" : r.strDevice, r.strOperation,
                     r.bCompleted ? kResultCompleted : kResultFailed,
                     r.strFailureCode.empty() ? "-" : r.strFailureCode, std::to_string(r.nBytes),
                     ImagesShort(r)});
    }
    return platform::FormatColumns(t);
}

std::string JobsJson(const std::vector<JobRow>& rows) {
    QJsonArray out;
    for (const JobRow& row : rows) {
        const JobRecord& r = row.record;
        out.append(QJsonObject{
            {"id", static_cast<qint64>(row.nId)},
            {"job_uid", Q(r.strUid)},
            {"started_at", Q(FormatUtc(r.nStartMs))},
            {"ended_at", Q(FormatUtc(r.nEndMs))},
            {"station", Q(r.strStation)},
            {"program", Q(r.strProgram)},
            {"version", Q(r.strVersion)},
            {"front_end", Q(r.strFrontEnd)},
            {"port", Q(r.strPort)},
            {"slot", r.nSlot > 0 ? QJsonValue(r.nSlot) : QJsonValue()},
            {"device", Q(r.strDevice)},
            {"usb_serial", Q(r.strUsbSerial)},
            {"flash_id", Q(r.strFlashId)},
            {"operation", Q(r.strOperation)},
            {"profile", Q(r.strProfile)},
            {"result", QLatin1String(r.bCompleted ? kResultCompleted : kResultFailed)},
            {"failure_code", Q(r.strFailureCode)},
            {"failure_text", Q(r.strFailureText)},
            {"bytes", static_cast<qint64>(r.nBytes)},
            {"images", ImagesJson(r)},
        });
    }
    return QJsonDocument(out).toJson(QJsonDocument::Indented).toStdString();
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (const char c : text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

std::string JobsCsv(const std::vector<JobRow>& rows) {
    std::string out =
        "id,job_uid,started_at,ended_at,duration_s,station,program,version,front_end,port,slot,"
        "device,usb_serial,flash_id,operation,profile,result,failure_code,failure_text,bytes,"
        "images\r\n";
    for (const JobRow& row : rows) {
        const JobRecord& r = row.record;
        const std::vector<std::string> fields{
            std::to_string(row.nId),
            r.strUid,
            FormatUtc(r.nStartMs),
            FormatUtc(r.nEndMs),
            Number(static_cast<double>(r.nEndMs - r.nStartMs) / 1000.0, 'f', 3),
            r.strStation,
            r.strProgram,
            r.strVersion,
            r.strFrontEnd,
            r.strPort,
            r.nSlot > 0 ? std::to_string(r.nSlot) : "",
            r.strDevice,
            r.strUsbSerial,
            r.strFlashId,
            r.strOperation,
            r.strProfile,
            r.bCompleted ? kResultCompleted : kResultFailed,
            r.strFailureCode,
            r.strFailureText,
            std::to_string(r.nBytes),
            QJsonDocument(ImagesJson(r)).toJson(QJsonDocument::Compact).toStdString()};
        for (size_t i = 0; i < fields.size(); ++i) {
            out += (i == 0 ? "" : ",") + CsvField(fields[i]);
        }
        out += "\r\n";
    }
    return out;
}

std::string RatesTable(const std::vector<RateVerdict>& rates, const char* pszKey) {
    std::vector<std::vector<std::string>> t{{pszKey, "JOBS", "PASSED", "FAILED", "PASS RATE", ""}};
    for (const RateVerdict& v : rates) {
        t.push_back(
            {v.row.strKey, std::to_string(v.row.nJobs), std::to_string(v.row.nJobs - v.row.nFailed),
             std::to_string(v.row.nFailed), Percent(v.dPassRate),
             v.bOutlier
                 ? "** fails more often than the others (p = " + Number(v.dPValue, 'g', 2) + ")"
                 : std::string()});
    }
    return platform::FormatColumns(t);
}

std::string RatesJson(const std::vector<RateVerdict>& rates, const char* pszKey) {
    QJsonArray out;
    const QString key = QString::fromLatin1(pszKey).toLower();
    for (const RateVerdict& v : rates) {
        out.append(QJsonObject{{key, Q(v.row.strKey)},
                               {"jobs", static_cast<qint64>(v.row.nJobs)},
                               {"passed", static_cast<qint64>(v.row.nJobs - v.row.nFailed)},
                               {"failed", static_cast<qint64>(v.row.nFailed)},
                               {"pass_rate", v.dPassRate},
                               {"p_value", v.dPValue},
                               {"outlier", v.bOutlier}});
    }
    return QJsonDocument(out).toJson(QJsonDocument::Indented).toStdString();
}

std::string RatesCsv(const std::vector<RateVerdict>& rates, const char* pszKey) {
    std::string out = QString::fromLatin1(pszKey).toLower().toStdString() +
                      ",jobs,passed,failed,pass_rate,p_value,outlier\r\n";
    for (const RateVerdict& v : rates) {
        out += CsvField(v.row.strKey) + "," + std::to_string(v.row.nJobs) + "," +
               std::to_string(v.row.nJobs - v.row.nFailed) + "," + std::to_string(v.row.nFailed) +
               "," + Number(v.dPassRate, 'f', 4) + "," + Number(v.dPValue, 'g', 4) + "," +
               (v.bOutlier ? "yes" : "no") + "\r\n";
    }
    return out;
}

}  // namespace history
