#pragma once

#include <QString>

// Small value files: one value, no line end, UTF-8, mode 0600. Each helper returns success and, on
// failure, leaves the value untouched and puts one readable text into `error`; none of them logs.

bool readFileWord(const QString &path, QString &value, QString &error);
// The whole text of the file, unchanged, as long as it holds more than white space and fits a
// request (a session's command line comes from one).
bool readFileText(const QString &path, QString &value, QString &error);
bool readFileUShort(const QString &path, quint16 &value, QString &error);
bool readFileInt(const QString &path, int &value, QString &error);

bool writeFileLongLong(const QString &path, qint64 value, QString &error);
bool writeFileUShort(const QString &path, quint16 value, QString &error);
bool writeFileString(const QString &path, const QString &value, QString &error);
bool writeFileText(const QString &path, const char *value, QString &error);
