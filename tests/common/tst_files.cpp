#include "common/files.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class FilesTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString certificatePath;
    QString keyPath;

    QString write(const QString &name, const QByteArray &content)
    {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::WriteOnly)) {
            file.write(content);
        }
        return file.fileName();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        certificatePath = dir.filePath("server_cert");
        keyPath = dir.filePath("server_key");
        QProcess openssl;
        openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", keyPath, "-out",
                                  certificatePath, "-days", "365", "-batch", "-subj", "/CN=test"});
        QVERIFY(openssl.waitForFinished(60000));
        QCOMPARE(openssl.exitCode(), 0);
    }

    void readFileIsBounded()
    {
        const QString path = write("data", "0123456789");
        QByteArray data = "unchanged";
        QString error;
        QVERIFY(readFile(path, 4, data, error));
        QCOMPARE(data, QByteArray("0123"));
        QVERIFY(readFile(write("empty", ""), 4, data, error));
        QVERIFY(data.isEmpty());

        data = "unchanged";
        QVERIFY(!readFile(dir.filePath("missing"), 4, data, error));
        QCOMPARE(data, QByteArray("unchanged"));
        QCOMPARE(error, QString("Failed to open the file \"%1\": No such file or directory").arg(dir.filePath("missing")));

        // A device would stream without end and a FIFO would block in open(): both fail at once.
        QVERIFY(QFile::link("/dev/zero", dir.filePath("zero")));
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600), 0);
        for (const QString &path : {dir.filePath("zero"), dir.filePath("fifo")}) {
            QElapsedTimer clock;
            clock.start();
            QVERIFY(!readFile(path, 4, data, error));
            QVERIFY(clock.elapsed() < 1000);
            QCOMPARE(data, QByteArray("unchanged"));
            QCOMPARE(error, QString("Failed to open the file \"%1\": Not a regular file").arg(path));
        }
    }

    void certificateAndKeyLoad()
    {
        QSslCertificate certificate;
        QSslKey key;
        QString error;
        QVERIFY2(readCertificate(certificatePath, certificate, error), qPrintable(error));
        QVERIFY2(readPrivateKey(keyPath, key, error), qPrintable(error));
        QVERIFY(!certificate.isNull());
        QCOMPARE(key.type(), QSsl::PrivateKey);
        QCOMPARE(key.algorithm(), QSsl::Rsa);
    }

    void wrongContentIsNamedAsSuch()
    {
        QSslCertificate certificate;
        QSslKey key;
        QString error;
        QVERIFY(!readCertificate(keyPath, certificate, error));
        QCOMPARE(error, QString("Invalid certificate in file \"%1\"").arg(keyPath));
        QVERIFY(certificate.isNull());
        const QString garbage = write("garbage_key", "not a key at all");
        QVERIFY(!readPrivateKey(garbage, key, error));
        QCOMPARE(error, QString("Invalid private key in file \"%1\"").arg(garbage));
        QVERIFY(key.isNull());
    }

    void missingFileIsAnOpenError()
    {
        QSslCertificate certificate;
        QString error;
        QVERIFY(!readCertificate(dir.filePath("nothing"), certificate, error));
        QVERIFY2(error.startsWith("Failed to open the file \""), qPrintable(error));
    }

    void randomTokensAreFreshHex()
    {
        QString first;
        QString second;
        QString error;
        QVERIFY(randomHex(first, error));
        QVERIFY(randomHex(second, error));
        const QRegularExpression hex("^[0-9a-f]{32}$");
        QVERIFY2(hex.match(first).hasMatch(), qPrintable(first));
        QVERIFY2(hex.match(second).hasMatch(), qPrintable(second));
        QVERIFY(first != second);
    }
};

QTEST_GUILESS_MAIN(FilesTest)
#include "tst_files.moc"
