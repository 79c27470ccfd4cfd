#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <json/value.h>

// A snapshot of one session as clients and peer servers see it, detached from the live session.
class SessionRecord
{
public:
    // Reads the JSON object a peer sent. Fails, without a partly filled record, when a member holds
    // a number, an array or an object, or when the value is not an object at all.
    static bool fromJson(const Json::Value &value, SessionRecord &record);

    // All eight members, every one a string; unset times and empty lists give "". "job" is added
    // only for a session that lives in a batch job, so peers and clients that do not know it see
    // exactly the records of before.
    Json::Value toJson() const;

    QString id() const { return recordId; }
    void setId(const QString &id) { recordId = id; }
    QUrl location() const { return recordLocation; }
    void setLocation(const QUrl &location) { recordLocation = location; }
    QString windowMode() const { return recordWindowMode; }
    void setWindowMode(const QString &windowMode) { recordWindowMode = windowMode; }
    QString name() const { return recordName; }
    void setName(const QString &name) { recordName = name; }
    QDateTime started() const { return recordStarted; }
    void setStarted(const QDateTime &started) { recordStarted = started; }
    QDateTime lastConnect() const { return recordLastConnect; }
    void setLastConnect(const QDateTime &lastConnect) { recordLastConnect = lastConnect; }
    QDateTime lastDisconnect() const { return recordLastDisconnect; }
    void setLastDisconnect(const QDateTime &lastDisconnect) { recordLastDisconnect = lastDisconnect; }
    QStringList permissions() const { return recordPermissions; }
    void setPermissions(const QStringList &permissions) { recordPermissions = permissions; }
    // The id of the batch job the session lives in; empty for any other session.
    QString job() const { return recordJob; }
    void setJob(const QString &job) { recordJob = job; }

    bool operator==(const SessionRecord &other) const;

    static QString formatTime(const QDateTime &time);
    static QDateTime parseTime(const QString &text);

private:
    QString recordId;
    QUrl recordLocation;
    QString recordWindowMode;
    QString recordName;
    QDateTime recordStarted;
    QDateTime recordLastConnect;
    QDateTime recordLastDisconnect;
    QStringList recordPermissions;
    QString recordJob;
};

using SessionRecordList = QList<SessionRecord>;
