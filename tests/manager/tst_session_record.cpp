#include "common/session_record.h"
#include "common/json_text.h"
#include "server/rpc/method_params.h"

#include <QtTest>

#include <json/reader.h>

namespace {
Json::Value parse(const char *text)
{
    Json::Value value;
    Json::Reader().parse(text, value);
    return value;
}
}

// The record's JSON form is what clients and peer servers read: it must round-trip and reject what
// cannot stand for a text.
class SessionRecordTest : public QObject
{
    Q_OBJECT

private slots:
    void writesEveryMemberAsText()
    {
        SessionRecord record;
        record.setId("0123456789abcdef0123456789abcdef");
        record.setLocation(QUrl("ssh://ann@box1:22/lumen_sci"));
        record.setWindowMode("desktop");
        record.setName("xterm");
        record.setStarted(QDateTime(QDate(2025, 3, 7), QTime(9, 5, 3)));
        record.setPermissions({"connect", "terminate"});
        QCOMPARE(compactJson(record.toJson()),
                 QByteArray("{\"id\":\"0123456789abcdef0123456789abcdef\",\"lastConnect\":\"\",\"lastDisconnect\":\"\","
                            "\"location\":\"ssh://ann@box1:22/lumen_sci\",\"name\":\"xterm\","
                            "\"permissions\":\"connect|terminate\",\"started\":\"2025-03-07T09:05:03\","
                            "\"windowMode\":\"desktop\"}\n"));
    }

    void roundTripsThroughJson()
    {
        SessionRecord record;
        record.setId("abc");
        record.setLocation(QUrl("ssh://bob@host:22/lumen_sci"));
        record.setWindowMode("rootless");
        record.setName("xclock -digital");
        record.setLastConnect(QDateTime(QDate(2026, 1, 2), QTime(23, 59, 58)));
        record.setLastDisconnect(QDateTime(QDate(2026, 1, 3), QTime(0, 0, 1)));
        record.setPermissions({"disconnect", "terminate"});
        SessionRecord read;
        QVERIFY(SessionRecord::fromJson(record.toJson(), read));
        QVERIFY(read == record);
        // A batch session's job goes along; other records never carry the member.
        QVERIFY(!record.toJson().isMember("job"));
        record.setJob("4711");
        QCOMPARE(record.toJson()["job"].asString(), std::string("4711"));
        QVERIFY(SessionRecord::fromJson(record.toJson(), read));
        QVERIFY(read == record);
    }

    void readsPartialAndLooseObjects()
    {
        SessionRecord record;
        QVERIFY(SessionRecord::fromJson(parse("{\"id\":\"x\",\"other\":5}"), record));
        QCOMPARE(record.id(), QString("x"));
        QVERIFY(record.name().isEmpty());
        QVERIFY(record.permissions().isEmpty());
        QVERIFY(!record.started().isValid());
        QCOMPARE(record.toJson()["permissions"].asString(), std::string());

        QVERIFY(SessionRecord::fromJson(parse("{\"name\":null,\"windowMode\":true,\"permissions\":\"\","
                                              "\"started\":\"2025-02-30T10:00:00\",\"lastConnect\":\"junk\"}"),
                                        record));
        QCOMPARE(record.name(), QString());
        QCOMPARE(record.windowMode(), QString("true"));
        // No permission at all, as an empty list is written: read after write gives the same record.
        QCOMPARE(record.permissions(), QStringList());
        QCOMPARE(record.toJson()["permissions"].asString(), std::string());
        QVERIFY(!record.started().isValid()); // the 30th of February does not exist
        QVERIFY(!record.lastConnect().isValid());

        QVERIFY(SessionRecord::fromJson(parse("{\"permissions\":\"connect||terminate\"}"), record));
        QCOMPARE(record.permissions(), QStringList({"connect", "", "terminate"}));

        // A location that is no URL could not be written back: it reads as none.
        QVERIFY(SessionRecord::fromJson(parse("{\"location\":\"http://[0/a b\"}"), record));
        QVERIFY(record.location().isEmpty());
        SessionRecord again;
        QVERIFY(SessionRecord::fromJson(record.toJson(), again));
        QVERIFY(again == record);
    }

    void rejectsValuesThatAreNotText_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("number") << QByteArray("{\"id\":\"a\",\"name\":5}");
        QTest::newRow("array") << QByteArray("{\"id\":[\"a\"]}");
        QTest::newRow("object") << QByteArray("{\"location\":{}}");
        QTest::newRow("not an object") << QByteArray("[1]");
    }

    void rejectsValuesThatAreNotText()
    {
        QFETCH(QByteArray, json);
        SessionRecord record;
        record.setId("kept");
        QVERIFY(!SessionRecord::fromJson(parse(json.constData()), record));
        QCOMPARE(record.id(), QString("kept"));
    }

    void parameterForms()
    {
        QString id;
        QString command;
        QString geometry;
        QVERIFY(positionalParams(parse("[\"a\",\"b\",\"c\",4]"), {&id, &command, &geometry}));
        QCOMPARE(command, QString("b"));
        QVERIFY(!positionalParams(parse("[\"a\",\"b\"]"), {&id, &command, &geometry}));
        QVERIFY(!positionalParams(parse("[\"x\",\"y\",3]"), {&id, &command, &geometry}));
        QCOMPARE(id, QString("a")); // untouched by the failed attempt
        QVERIFY(namedParams(parse("{\"geometry\":\"g\",\"command\":\"c\",\"id\":\"i\",\"extra\":1}"),
                            {"id", "command", "geometry"}, {&id, &command, &geometry}));
        QCOMPARE(id, QString("i"));
        QCOMPARE(geometry, QString("g"));
        QVERIFY(!sessionIdParam(parse("[42]"), id));
        QVERIFY(!sessionIdParam(parse("{\"id\":42}"), id));
        QVERIFY(!sessionIdParam(Json::Value(), id));
        QVERIFY(sessionIdParam(parse("{\"id\":\"z\"}"), id));
        QCOMPARE(id, QString("z"));
    }

    void listsAndErrors()
    {
        QVERIFY(recordListJson({}).isNull());
        SessionRecord record;
        record.setId("one");
        QCOMPARE(recordListJson({record, record}).size(), 2u);
        QCOMPARE(compactJson(statusError(-94)),
                 QByteArray("{\"code\":-32094,\"message\":\"No session exists with the given id.\"}\n"));
        QCOMPARE(compactJson(statusError(-1)), QByteArray("{\"code\":-32001,\"message\":\"\"}\n"));
    }
};

QTEST_GUILESS_MAIN(SessionRecordTest)
#include "tst_session_record.moc"
