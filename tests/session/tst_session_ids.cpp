// Status codes and their texts, session identifiers and the names of session directories.

#include "server/session/error_code.h"
#include "server/session/session_id.h"

#include <QTest>

class TestSessionIds : public QObject
{
    Q_OBJECT

private slots:
    void everyCodeHasItsText_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("-99") << -99 << "An unknown error occurred.";
        QTest::newRow("-98") << -98 << "The object is not initialized.";
        QTest::newRow("-97") << -97 << "The given credentials are not valid.";
        QTest::newRow("-96") << -96 << "The given token is invalid.";
        QTest::newRow("-95") << -95 << "You do not have permission to perform this operation.";
        QTest::newRow("-94") << -94 << "No session exists with the given id.";
        QTest::newRow("-93") << -93 << "The path does not contain session information.";
        QTest::newRow("-92") << -92 << "The requested operation can not be started from the current state.";
        QTest::newRow("-91") << -91 << "The path does not exist.";
        QTest::newRow("-89") << -89 << "Failed to find an open display.";
        QTest::newRow("-88") << -88 << "Failed to generate an xauthority cookie.";
        QTest::newRow("-87") << -87 << "Failed to create the session directory.";
        QTest::newRow("-86") << -86 << "Failed to read a session file.";
        QTest::newRow("-84") << -84 << "Failed to start the agent.";
        QTest::newRow("-83") << -83 << "Failed to start the application.";
        QTest::newRow("-82") << -82 << "Failed to start the screen shot application.";
        QTest::newRow("-80") << -80 << "Failed to write a session file.";
        QTest::newRow("-77") << -77 << "Timed out waiting for the agent.";
    }

    void everyCodeHasItsText()
    {
        QFETCH(int, code);
        QFETCH(QString, message);
        QCOMPARE(errorMessage(code), message);
    }

    void codesOutsideTheTableHaveNoText()
    {
        // Every gap in the table and its neighbours, not only a few samples.
        const QList<int> known = {-99, -98, -97, -96, -95, -94, -93, -92, -91,
                                  -89, -88, -87, -86, -84, -83, -82, -80, -77};
        for (int code = -120; code <= 5; ++code) {
            if (!known.contains(code)) {
                QVERIFY2(errorMessage(code).isNull(), qPrintable(QString::number(code)));
            }
        }
        QVERIFY(errorMessage(-32094).isNull());
    }

    void sessionIdIsExactly32HexDigits_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("valid");
        QTest::newRow("lower case") << "0123456789abcdef0123456789abcdef" << true;
        QTest::newRow("upper case") << "0123456789ABCDEF0123456789ABCDEF" << true;
        QTest::newRow("31 digits") << "0123456789abcdef0123456789abcde" << false;
        QTest::newRow("33 digits") << "0123456789abcdef0123456789abcdef0" << false;
        QTest::newRow("space") << "0123456789abcdef 123456789abcdef" << false;
        QTest::newRow("dash") << "0123456789abcdef-123456789abcdef" << false;
        QTest::newRow("g") << "0123456789abcdefg123456789abcdef" << false;
        QTest::newRow("trailing line feed") << "0123456789abcdef0123456789abcdef\n" << false;
        QTest::newRow("empty") << "" << false;
    }

    void sessionIdIsExactly32HexDigits()
    {
        QFETCH(QString, id);
        QFETCH(bool, valid);
        QCOMPARE(isValidSessionId(id), valid);
    }

    void directoryIsCDashIdInsideTheSessionsDirectory()
    {
        QCOMPARE(sessionDirectory("/h/.u/sessions", "0123456789abcdef0123456789ABCDEF"),
                 QString("/h/.u/sessions/C-0123456789abcdef0123456789ABCDEF"));
        QCOMPARE(sessionDirectory("/h/.u/sessions/", "0123456789abcdef0123456789ABCDEF"),
                 QString("/h/.u/sessions/C-0123456789abcdef0123456789ABCDEF"));
    }

    void idFromDirectoryName_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("id");
        const QString id = "0123456789abcdef0123456789ABCDEF";
        QTest::newRow("plain") << "/h/.u/sessions/C-" + id << id;
        QTest::newRow("relative") << "C-" + id << id;
        QTest::newRow("suffix after a dot") << "/h/sessions/C-" + id + ".old" << id;
        QTest::newRow("lower-case prefix") << "/h/sessions/c-" + id << QString();
        QTest::newRow("dash suffix") << "/h/sessions/C-" + id + "-x" << QString();
        QTest::newRow("31 digits") << "/h/sessions/C-" + id.left(31) << QString();
        QTest::newRow("no prefix") << "/h/sessions/" + id << QString();
        QTest::newRow("id in a parent") << "/h/C-" + id + "/other" << QString();
    }

    void idFromDirectoryName()
    {
        QFETCH(QString, path);
        QFETCH(QString, id);
        const QString found = sessionIdFromDirectory(path);
        QCOMPARE(found, id);
        QCOMPARE(found.isNull(), id.isNull());
    }

    void directoryNameRoundTrips()
    {
        const QString id = "fedcba9876543210FEDCBA9876543210";
        QCOMPARE(sessionIdFromDirectory(sessionDirectory("/s", id)), id);
    }
};

QTEST_GUILESS_MAIN(TestSessionIds)
#include "tst_session_ids.moc"
