#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QList>

// An in-memory connection for driving a handler: the test hands it the bytes a client would send,
// and it keeps every write the handler makes as one entry, so that frame boundaries stay visible.
class ScriptedDevice : public QIODevice
{
    Q_OBJECT

public:
    explicit ScriptedDevice(QObject *parent = nullptr);

    // Makes the bytes readable and announces them with readyRead().
    void deliver(const QByteArray &bytes);
    QList<QByteArray> writes() const;
    qint64 unreadBytes() const;

    bool isSequential() const override;
    qint64 bytesAvailable() const override;

signals:
    void wrote(const QByteArray &chunk);

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    QByteArray incoming;
    QList<QByteArray> written;
};
