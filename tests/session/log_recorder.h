#pragma once

#include "common/logging.h"

#include <QList>
#include <QPair>
#include <QStringList>

// Installs itself as the process logger for its lifetime and keeps every line, so tests can check
// what an operation logged and at which level.
class LogRecorder : public Logging
{
public:
    LogRecorder();
    ~LogRecorder() override;

    QStringList warnings() const;
    void clear();

protected:
    void write(int level, const QString &message) override;

private:
    QList<QPair<int, QString>> entries;
};
