#pragma once

#include "common/session_record.h"

#include <QString>
#include <QStringList>

#include <initializer_list>
#include <json/value.h>

// What the session methods share: reading string parameters given by position or by name, the
// error objects they answer with, and their description documents.

bool stringValue(const Json::Value &value, QString &out);
// "params" as an array whose first elements are all strings; extra elements are ignored.
bool positionalParams(const Json::Value &params, std::initializer_list<QString *> outs);
// "params" as an object with a string member for every name; other members are ignored.
bool namedParams(const Json::Value &params, std::initializer_list<const char *> names,
                 std::initializer_list<QString *> outs);
// The single "id" parameter of the session operations, by position first, then by name.
bool sessionIdParam(const Json::Value &params, QString &id);

Json::Value invalidParametersError();
// A failed session operation: code status - 32000 with the status's fixed message.
Json::Value statusError(int status);

// The records in list order, or null when there are none.
Json::Value recordListJson(const SessionRecordList &records);

// {"description":…,"parameters":…,"returns":…}; a null `returns` and no parameters give nulls.
Json::Value methodDocument(const char *description, std::initializer_list<const char *> parameters,
                           const char *returns);
