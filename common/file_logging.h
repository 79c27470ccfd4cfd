#pragma once

#include "common/logging.h"

#include <QObject>

class LockedFile;

// Appends log lines to the server's log file; reopen() lets the file be rotated under a running
// server (SIGHUP).
class FileLogging : public QObject, public Logging
{
    Q_OBJECT

public:
    explicit FileLogging(QObject *parent = nullptr);

    bool open(const QString &path, QString &error);

public slots:
    void reopen();

protected:
    void write(int level, const QString &message) override;

private:
    LockedFile *file;
};
