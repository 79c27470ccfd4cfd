#pragma once

#include "common/logging.h"

#include <QStringList>

// Keeps every logged line as "<level name>: <message>" while installed; lines may come from any
// thread.
class CapturedLog : public Logging
{
public:
    CapturedLog();
    ~CapturedLog() override;

    QStringList lines() const;
    bool contains(const QString &line) const;
    void clear();

protected:
    void write(int level, const QString &message) override;

private:
    QStringList captured;
};
