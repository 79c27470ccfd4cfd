#pragma once

#include <QByteArray>
#include <QString>

// NetString frames ("<length>:<payload>,") carry every message of the remote procedure protocol.

// The largest payload a receiver of requests accepts; a longer announced length ends the connection.
constexpr int netStringPayloadLimit = 65536;
// Answers are framed whatever their size: a server with many sessions (its own and its peers')
// sends more than a request may hold, so readers of answers accept up to this.
constexpr int netStringAnswerLimit = 16 * 1024 * 1024;

// Cuts the first frame off the front of `buffer`. Returns 0 with the payload in `message`, 1 when
// the buffer does not yet hold a whole frame, or -1 with the reason in `error` when the buffer does
// not start with a valid frame, or announces a payload longer than `limit`. Only a successful call
// changes `buffer` or `message`. A reader of answers passes netStringAnswerLimit.
int decodeNetString(QByteArray &buffer, QByteArray &message, QString &error, int limit = netStringPayloadLimit);

QByteArray encodeNetString(const QByteArray &payload);
