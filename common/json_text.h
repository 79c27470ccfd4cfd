#pragma once

#include <QByteArray>
#include <json/value.h>

// The one wire form of every JSON message: compact, object members in ascending key order, and one
// line feed at the end.
QByteArray compactJson(const Json::Value &value);

// Lenient parse (comments allowed, any value at the top level). Every parse of outside input goes
// through here: input nested too deeply to parse safely counts as invalid rather than escaping as an
// exception. `value` is changed only on success.
bool parseJson(const QByteArray &text, Json::Value &value);
// The same, but the text must hold one value and nothing after it ("{} and more" fails).
bool parseWholeJson(const QByteArray &text, Json::Value &value);
