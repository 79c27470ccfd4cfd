#pragma once

#include "common/logging.h"

#include <QList>
#include <QStringList>

// Installs itself as the process logger for its lifetime and keeps every line that passes its level
// (all of them until told otherwise), so that a test can check what was logged and at which level.
// Lines may come from any thread.
class LogCapture : public Logging
{
public:
    LogCapture();
    ~LogCapture() override;

    // Every kept line as "<level name>: <message>", in order.
    QStringList lines() const;
    // The kept messages without their level: all of them, or those of one level.
    QStringList messages() const;
    QStringList messages(int level) const;
    QStringList warnings() const;
    // How many kept lines contain the text.
    int count(const QString &text) const;
    // Waits, with the event loop running, until a kept line contains the text.
    bool waitFor(const QString &text, int timeoutMs = 5000) const;
    void clear();

protected:
    void write(int level, const QString &message) override;

private:
    struct Entry
    {
        int level;
        QString message;
    };
    QList<Entry> entries;
};
