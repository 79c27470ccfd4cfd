#include "common/session_record.h"

namespace {
const QString timeFormat = QStringLiteral("yyyy-MM-ddThh:mm:ss");

QString toUtf8Text(const std::string &text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

std::string fromText(const QString &text)
{
    return text.toStdString();
}

// Strings, null and booleans read as text; anything else cannot stand for a text value.
bool memberText(const Json::Value &value, QString &text)
{
    switch (value.type()) {
    case Json::stringValue: text = toUtf8Text(value.asString()); return true;
    case Json::nullValue: text.clear(); return true;
    case Json::booleanValue: text = value.asBool() ? QStringLiteral("true") : QStringLiteral("false"); return true;
    default: return false;
    }
}
}

QString SessionRecord::formatTime(const QDateTime &time)
{
    return time.isValid() ? time.toString(timeFormat) : QString();
}

QDateTime SessionRecord::parseTime(const QString &text)
{
    return QDateTime::fromString(text, timeFormat);
}

bool SessionRecord::fromJson(const Json::Value &value, SessionRecord &record)
{
    if (!value.isObject()) {
        return false;
    }
    SessionRecord read;
    const char *const keys[] = {"id", "location", "windowMode", "name", "started", "lastConnect", "lastDisconnect",
                                "permissions", "job"};
    for (const char *key : keys) {
        if (!value.isMember(key)) {
            continue;
        }
        QString text;
        if (!memberText(value[key], text)) {
            return false;
        }
        const QByteArray name(key);
        if (name == "id") {
            read.recordId = text;
        } else if (name == "location") {
            // A text that is no URL would be written back as "": it is read as no location.
            const QUrl url(text);
            read.recordLocation = url.isValid() ? url : QUrl();
        } else if (name == "windowMode") {
            read.recordWindowMode = text;
        } else if (name == "name") {
            read.recordName = text;
        } else if (name == "started") {
            read.recordStarted = parseTime(text);
        } else if (name == "lastConnect") {
            read.recordLastConnect = parseTime(text);
        } else if (name == "lastDisconnect") {
            read.recordLastDisconnect = parseTime(text);
        } else if (name == "job") {
            read.recordJob = text;
        } else {
            // "" is no permission at all, as toJson writes an empty list.
            read.recordPermissions = text.isEmpty() ? QStringList() : text.split(QLatin1Char('|'));
        }
    }
    record = read;
    return true;
}

Json::Value SessionRecord::toJson() const
{
    Json::Value object(Json::objectValue);
    object["id"] = fromText(recordId);
    object["location"] = fromText(recordLocation.toString());
    object["windowMode"] = fromText(recordWindowMode);
    object["name"] = fromText(recordName);
    object["started"] = fromText(formatTime(recordStarted));
    object["lastConnect"] = fromText(formatTime(recordLastConnect));
    object["lastDisconnect"] = fromText(formatTime(recordLastDisconnect));
    object["permissions"] = fromText(recordPermissions.join(QLatin1Char('|')));
    if (!recordJob.isEmpty()) {
        object["job"] = fromText(recordJob);
    }
    return object;
}

bool SessionRecord::operator==(const SessionRecord &other) const
{
    return recordId == other.recordId && recordLocation == other.recordLocation
        && recordWindowMode == other.recordWindowMode && recordName == other.recordName
        && recordStarted == other.recordStarted && recordLastConnect == other.recordLastConnect
        && recordLastDisconnect == other.recordLastDisconnect && recordPermissions == other.recordPermissions
        && recordJob == other.recordJob;
}
