#pragma once

#include <QByteArray>
#include <QString>

// NetString frames ("<length>:<payload>,") carry every message of the remote procedure protocol.

// The largest payload a receiver accepts; a longer announced length ends the connection.
constexpr int netStringPayloadLimit = 65536;

// Cuts the first frame off the front of `buffer`. Returns 0 with the payload in `message`, 1 when
// the buffer does not yet hold a whole frame, or -1 with the reason in `error` when the buffer does
// not start with a valid frame or announces a payload longer than `limit`. Only a successful call
// changes `buffer` or `message`.
int decodeNetString(QByteArray &buffer, QByteArray &message, QString &error, int limit = netStringPayloadLimit);

QByteArray encodeNetString(const QByteArray &payload);
