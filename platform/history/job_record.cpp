#include "platform/history/job_record.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>
#include <array>
#include <filesystem>

namespace history {

std::string NewJobUid() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
}

int64_t NowUtcMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

std::string FormatUtc(int64_t nMs) {
    return QDateTime::fromMSecsSinceEpoch(nMs, Qt::UTC)
        .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"))
        .toStdString();
}

std::string HostName() {
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0) {
        return "unknown";
    }
    return name.data();
}

bool StatFile(const std::string& strPath, int64_t& nSize, int64_t& nMtimeNs) {
    struct stat st {};
    if (strPath.empty() || stat(strPath.c_str(), &st) != 0) {
        return false;
    }
    nSize = static_cast<int64_t>(st.st_size);
    nMtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

ImageRef SeenImage(std::string strRole, std::string strPath, int64_t nOffset, int64_t nLength) {
    ImageRef image;
    image.strRole = std::move(strRole);
    // Relative to where the program ran, which the record does not keep.
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(strPath, ec);
    image.strPath = ec || strPath.empty() ? std::move(strPath) : absolute.string();
    image.nOffset = nOffset;
    image.nLength = nLength;
    if (!StatFile(image.strPath, image.nSeenSize, image.nSeenMtimeNs)) {
        image.nSeenSize = image.nSeenMtimeNs = -1;
    }
    return image;
}

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

std::string S(const QJsonObject& o, const char* key) {
    return o.value(QLatin1String(key)).toString().toStdString();
}

int64_t I(const QJsonObject& o, const char* key, int64_t nDefault = 0) {
    return o.value(QLatin1String(key)).toInteger(nDefault);
}

}  // namespace

std::string RecordToJson(const JobRecord& r) {
    QJsonArray images;
    for (const ImageRef& i : r.images) {
        images.append(QJsonObject{
            {"role", Q(i.strRole)},
            {"path", Q(i.strPath)},
            {"offset", static_cast<qint64>(i.nOffset)},
            {"length", static_cast<qint64>(i.nLength)},
            {"seen_size", static_cast<qint64>(i.nSeenSize)},
            {"seen_mtime_ns", static_cast<qint64>(i.nSeenMtimeNs)},
            {"size", static_cast<qint64>(i.nSize)},
            {"crc32", Q(i.strCrc32)},
            {"sha256", Q(i.strSha256)},
            {"note", Q(i.strNote)},
            {"hashed", i.bHashed},
        });
    }
    const QJsonObject o{
        {"uid", Q(r.strUid)},
        {"start_ms", static_cast<qint64>(r.nStartMs)},
        {"end_ms", static_cast<qint64>(r.nEndMs)},
        {"station", Q(r.strStation)},
        {"program", Q(r.strProgram)},
        {"version", Q(r.strVersion)},
        {"front_end", Q(r.strFrontEnd)},
        {"port", Q(r.strPort)},
        {"slot", r.nSlot},
        {"device", Q(r.strDevice)},
        {"usb_serial", Q(r.strUsbSerial)},
        {"flash_id", Q(r.strFlashId)},
        {"operation", Q(r.strOperation)},
        {"profile", Q(r.strProfile)},
        {"completed", r.bCompleted},
        {"failure_code", Q(r.strFailureCode)},
        {"failure_text", Q(r.strFailureText)},
        {"bytes", static_cast<qint64>(r.nBytes)},
        {"log", Q(r.strLog)},
        {"images", images},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

bool RecordFromJson(const std::string& json, JobRecord& r, std::string& error) {
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &parse);
    if (doc.isNull() || !doc.isObject()) {
        error = "not a job record: " + parse.errorString().toStdString();
        return false;
    }
    const QJsonObject o = doc.object();
    r = JobRecord{};
    r.strUid = S(o, "uid");
    if (r.strUid.empty()) {
        error = "a job record without its id";
        return false;
    }
    r.nStartMs = I(o, "start_ms");
    r.nEndMs = I(o, "end_ms");
    r.strStation = S(o, "station");
    r.strProgram = S(o, "program");
    r.strVersion = S(o, "version");
    r.strFrontEnd = S(o, "front_end");
    r.strPort = S(o, "port");
    r.nSlot = static_cast<int>(I(o, "slot"));
    r.strDevice = S(o, "device");
    r.strUsbSerial = S(o, "usb_serial");
    r.strFlashId = S(o, "flash_id");
    r.strOperation = S(o, "operation");
    r.strProfile = S(o, "profile");
    r.bCompleted = o.value(QLatin1String("completed")).toBool();
    r.strFailureCode = S(o, "failure_code");
    r.strFailureText = S(o, "failure_text");
    r.nBytes = I(o, "bytes");
    r.strLog = S(o, "log");
    for (const QJsonValue& v : o.value(QLatin1String("images")).toArray()) {
        const QJsonObject io = v.toObject();
        ImageRef i;
        i.strRole = S(io, "role");
        i.strPath = S(io, "path");
        i.nOffset = I(io, "offset");
        i.nLength = I(io, "length", -1);
        i.nSeenSize = I(io, "seen_size", -1);
        i.nSeenMtimeNs = I(io, "seen_mtime_ns", -1);
        i.nSize = I(io, "size", -1);
        i.strCrc32 = S(io, "crc32");
        i.strSha256 = S(io, "sha256");
        i.strNote = S(io, "note");
        i.bHashed = io.value(QLatin1String("hashed")).toBool();
        r.images.push_back(std::move(i));
    }
    return true;
}

}  // namespace history
