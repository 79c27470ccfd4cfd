#include "common/path_template.h"
#include "common/settings.h"

#include <QDir>
#include <QHostInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// Where the server and the relay look for their files: both must expand the user path the same way
// and read numbers the way the settings store converts them.
class PathSettingsTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir config;
    QString host;

    void writeSetting(const QString &key, const QVariant &value)
    {
        QSettings file(config.path() + "/Orvane/Lumen Server.conf", QSettings::IniFormat);
        file.setValue(key, value);
    }

    void clearSettings()
    {
        QFile::remove(config.path() + "/Orvane/Lumen Server.conf");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        qputenv("HOME", "/home/ann");
        qputenv("USER", "ann");
        host = QHostInfo::localHostName();
    }

    void init() { clearSettings(); }

    void templatesExpandOnceAndCaseSensitively_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("all four") << "@HOME@|@TEMP@|@USER@|@HOST@" << "/home/ann|" + QDir::tempPath() + "|ann|" + host;
        QTest::newRow("repeated") << "@USER@@USER@" << "annann";
        QTest::newRow("lower case is not a name") << "@user@/x" << "@user@/x";
        QTest::newRow("unknown name stays") << "@FOO@/@USER@" << "@FOO@/ann";
        QTest::newRow("no template") << "/plain/path" << "/plain/path";
        QTest::newRow("empty") << "" << "";
    }

    void templatesExpandOnceAndCaseSensitively()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(expandPathTemplate(input), expected);
    }

    void expandedValuesAreNotScannedAgain()
    {
        qputenv("HOME", "/home/@USER@");
        QCOMPARE(expandPathTemplate("@HOME@/x"), QString("/home/@USER@/x"));
        qputenv("HOME", "/home/ann");
    }

    void unsetUserExpandsToNothing()
    {
        qunsetenv("USER");
        QCOMPARE(expandPathTemplate("ssh://@USER@@box"), QString("ssh://@box"));
        qputenv("USER", "ann");
    }

    void userPathDefaultsToTheHostFolder()
    {
        QCOMPARE(Settings::userPath(), "/home/ann/.lumen_server/" + host);
        QCOMPARE(Settings::userFile(Settings::userPath(), "../server_cert"),
                 "/home/ann/.lumen_server/" + host + "/../server_cert");
    }

    void userPathSettingIsExpanded()
    {
        writeSetting("UserPath", "@TEMP@/lumen/@USER@-@HOST@");
        QCOMPARE(Settings::userPath(), QDir::tempPath() + "/lumen/ann-" + host);
    }

    void numbersConvertLikeVariants()
    {
        QCOMPARE(Settings::unsignedShort("ListenPort", 0), quint16(0));
        QCOMPARE(Settings::unsignedShort("DisplayBase", 100), quint16(100));
        QCOMPARE(Settings::signedInt("SuspendTimeout", -1), -1);

        writeSetting("ListenPort", "abc");
        writeSetting("DisplayBase", "120");
        writeSetting("SuspendTimeout", "x");
        writeSetting("BroadcastPort", "70000");
        QCOMPARE(Settings::unsignedShort("ListenPort", 5), quint16(0)); // not a number: 0, not the default
        QCOMPARE(Settings::unsignedShort("DisplayBase", 100), quint16(120));
        QCOMPARE(Settings::signedInt("SuspendTimeout", -1), 0);
        QCOMPARE(Settings::unsignedShort("BroadcastPort", 0), quint16(65535)); // clamped, never wrapped
    }

    // The INI file gives a list as one entry or several separated by commas, quoted or not.
    void listsTakeOneEntryOrSeveral()
    {
        QCOMPARE(Settings::list("Peers"), QStringList());
        QDir().mkpath(config.path() + "/Orvane");
        const QList<QPair<QByteArray, QStringList>> cases = {
            {"Peers=node1", {"node1"}},
            {"Peers=node1, node2:47000 ,,node3", {"node1", "node2:47000", "node3"}},
            {"Peers=\"node1,node2\"", {"node1", "node2"}},
            {"Peers=", {}},
        };
        for (const auto &[line, expected] : cases) {
            QFile file(config.path() + "/Orvane/Lumen Server.conf");
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write("[General]\n" + line + "\n");
            file.close();
            QCOMPARE(Settings::list("Peers"), expected);
        }
    }

    // A switch that is off by default stays off unless the value clearly says on.
    void switchesTurnOnOnlyWhenClearlyOn()
    {
        QCOMPARE(Settings::boolean("ViewersFromNetwork", false), false);
        for (const char *on : {"true", "Yes", "ON", "1"}) {
            writeSetting("ViewersFromNetwork", on);
            QVERIFY2(Settings::boolean("ViewersFromNetwork", false), on);
        }
        for (const char *off : {"false", "no", "0", "maybe", ""}) {
            writeSetting("ViewersFromNetwork", off);
            QVERIFY2(!Settings::boolean("ViewersFromNetwork", false), off);
        }
    }

    void logLevelIsEmptyWhenAbsent()
    {
        QVERIFY(Settings::logLevelName().isEmpty());
        writeSetting("LogLevel", "Debug1");
        QCOMPARE(Settings::logLevelName(), QString("Debug1"));
    }
};

QTEST_GUILESS_MAIN(PathSettingsTest)
#include "tst_path_settings.moc"
