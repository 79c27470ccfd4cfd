#include "scripted_device.h"

#include <cstring>

ScriptedDevice::ScriptedDevice(QObject *parent)
    : QIODevice(parent)
{
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void ScriptedDevice::deliver(const QByteArray &bytes)
{
    incoming += bytes;
    emit readyRead();
}

QList<QByteArray> ScriptedDevice::writes() const
{
    return written;
}

qint64 ScriptedDevice::unreadBytes() const
{
    return incoming.size();
}

bool ScriptedDevice::isSequential() const
{
    return true;
}

qint64 ScriptedDevice::bytesAvailable() const
{
    return incoming.size() + QIODevice::bytesAvailable();
}

qint64 ScriptedDevice::readData(char *data, qint64 maxSize)
{
    const qint64 count = qMin<qint64>(maxSize, incoming.size());
    std::memcpy(data, incoming.constData(), size_t(count));
    incoming.remove(0, int(count));
    return count;
}

qint64 ScriptedDevice::writeData(const char *data, qint64 size)
{
    const QByteArray chunk(data, int(size));
    written.append(chunk);
    emit wrote(chunk);
    return size;
}
