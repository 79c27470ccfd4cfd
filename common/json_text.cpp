#include "common/json_text.h"

#include <json/reader.h>
#include <json/writer.h>

#include <exception>
#include <memory>

QByteArray compactJson(const Json::Value &value)
{
    Json::FastWriter writer;
    const std::string text = writer.write(value);
    return QByteArray(text.data(), int(text.size()));
}

namespace {
bool parseWith(const Json::CharReaderBuilder &builder, const QByteArray &text, Json::Value &value)
{
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value parsed;
    std::string errors;
    try {
        if (!reader->parse(text.constData(), text.constData() + text.size(), &parsed, &errors)) {
            return false;
        }
    } catch (const std::exception &) {
        // The reader throws when the nesting exceeds its stack limit.
        return false;
    }
    value = parsed;
    return true;
}
}

bool parseJson(const QByteArray &text, Json::Value &value)
{
    return parseWith(Json::CharReaderBuilder(), text, value);
}

bool parseWholeJson(const QByteArray &text, Json::Value &value)
{
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    return parseWith(builder, text, value);
}
