#pragma once

#include "common/logging.h"

#include <QObject>

// The relay's logger: its standard output carries the relayed bytes, so its log goes to standard
// error, which the remote client receives separately.
class StderrLogging : public QObject, public Logging
{
    Q_OBJECT

public:
    explicit StderrLogging(QObject *parent = nullptr);

    // "<date> <level>: <message>"
    static QString formatRelayLine(int level, const QString &message);

protected:
    void write(int level, const QString &message) override;
};
