// InfoDialog in-process, on the offscreen platform.

#include "info_dialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QIcon>
#include <QImage>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSpacerItem>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextFragment>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

class TestInfoDialog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    QString writeFile(const QString &name, const QByteArray &content)
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QString();
        file.write(content);
        file.close();
        return path;
    }

    // True when some character of the text area is shown with a format other than plain text
    // (bold, italic, an anchor, an image...), i.e. when markup was interpreted.
    static bool hasFormattedText(QTextBrowser *browser)
    {
        QTextDocument *doc = browser->document();
        for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                const QTextCharFormat format = it.fragment().charFormat();
                if (format.fontWeight() > QFont::Normal || format.fontItalic() || format.isAnchor()
                    || format.isImageFormat())
                    return true;
            }
        }
        return false;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("offscreen"));
    }

    void applicationIdentity()
    {
        setInfoApplicationIdentity();
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Lumen Server"));
        QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("1.0.38"));
        QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Orvane"));

        // The icon is compiled in as a resource, a real picture, and is the application's icon.
        const QImage image(QStringLiteral(":/images/Lumen Server.png"));
        QVERIFY(!image.isNull());
        QVERIFY(image.width() >= 32 && image.width() == image.height());
        QVERIFY(!QApplication::windowIcon().isNull());
        QVERIFY(!QApplication::windowIcon().availableSizes().isEmpty());
        QCOMPARE(QApplication::windowIcon().availableSizes().constFirst(), image.size());
    }

    void widgetsAndLayout()
    {
        InfoDialog dialog;
        QCOMPARE(dialog.objectName(), QStringLiteral("InfoDialog"));
        QCOMPARE(dialog.size(), QSize(400, 300));
        QVERIFY(dialog.parent() == nullptr);

        auto *grid = qobject_cast<QGridLayout *>(dialog.layout());
        QVERIFY(grid);
        QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
        QCOMPARE(grid, dialog.gridLayout);
        QCOMPARE(grid->rowCount(), 3);
        QCOMPARE(grid->columnCount(), 1);
        QCOMPARE(grid->count(), 3);

        auto *txtLog = dialog.findChild<QTextBrowser *>(QStringLiteral("txtLog"));
        QVERIFY(txtLog);
        QCOMPARE(txtLog, dialog.txtLog);
        QVERIFY(txtLog->isReadOnly());
        QVERIFY(txtLog->toPlainText().isEmpty());
        QCOMPARE(grid->itemAtPosition(0, 0)->widget(), txtLog);

        QLayoutItem *spacerItem = grid->itemAtPosition(1, 0);
        QVERIFY(spacerItem);
        QSpacerItem *spacer = spacerItem->spacerItem();
        QVERIFY(spacer);
        QCOMPARE(spacer->sizeHint(), QSize(20, 40));
        QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);

        auto *buttonBox = dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
        QVERIFY(buttonBox);
        QCOMPARE(buttonBox, dialog.buttonBox);
        QCOMPARE(grid->itemAtPosition(2, 0)->widget(), buttonBox);
        QCOMPARE(buttonBox->orientation(), Qt::Horizontal);
        QCOMPARE(buttonBox->standardButtons(), QDialogButtonBox::StandardButtons(QDialogButtonBox::Close));
        QCOMPARE(buttonBox->buttons().size(), 1);
        QVERIFY(buttonBox->button(QDialogButtonBox::Close));
        QCOMPARE(buttonBox->buttonRole(buttonBox->button(QDialogButtonBox::Close)),
                 QDialogButtonBox::RejectRole);
    }

    void shownGeometry()
    {
        InfoDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.size(), QSize(400, 300));
        // The text area sits above the button box, which sits at the bottom of the dialog.
        QVERIFY(dialog.txtLog->isVisible());
        QVERIFY(dialog.buttonBox->isVisible());
        QVERIFY(dialog.txtLog->geometry().bottom() < dialog.buttonBox->geometry().top());
        QVERIFY(dialog.buttonBox->geometry().bottom() >= 300 - 30);
    }

    void loadsTextLiterally_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("plain") << QByteArray("first line\nsecond line\n");
        QTest::newRow("markup") << QByteArray("<b>bold</b> &amp; <i>it</i>\n<a href=\"x\">link</a> a < b && c > d\n");
        QTest::newRow("html document") << QByteArray("<html><body><h1>Title</h1><img src=\"x.png\"><p>&lt;p&gt;</p></body></html>");
        QTest::newRow("entities") << QByteArray("&lt;tag&gt; &nbsp; &#65; &copy;");
        QTest::newRow("no final line end") << QByteArray("one\ntwo");
        QTest::newRow("utf-8") << QByteArray("Gr\xc3\xbc\xc3\x9f" "e \xe2\x9c\x93\n");
    }

    void loadsTextLiterally()
    {
        QFETCH(QByteArray, content);
        const QString path = writeFile(QStringLiteral("text.txt"), content);
        QVERIFY(!path.isEmpty());

        InfoDialog dialog;
        dialog.loadFile(path);
        // The text is decoded with the locale's encoding and shown as it is.
        QCOMPARE(dialog.txtLog->toPlainText(), QString::fromLocal8Bit(content));
        QVERIFY(!hasFormattedText(dialog.txtLog));
        QVERIFY(dialog.txtLog->isReadOnly());
    }

    void emptyFile()
    {
        const QString path = writeFile(QStringLiteral("empty.txt"), QByteArray());
        InfoDialog dialog;
        dialog.loadFile(path);
        QVERIFY(dialog.txtLog->toPlainText().isEmpty());
        QCOMPARE(dialog.txtLog->verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(dialog.buttonBox->button(QDialogButtonBox::Close)->isVisible());
    }

    void missingFile()
    {
        InfoDialog dialog;
        dialog.loadFile(dir.filePath(QStringLiteral("does-not-exist.txt")));
        QVERIFY(dialog.txtLog->toPlainText().isEmpty());
    }

    void directoryInsteadOfFile()
    {
        InfoDialog dialog;
        dialog.loadFile(dir.path());
        QVERIFY(dialog.txtLog->toPlainText().isEmpty());
    }

    void unreadableFile()
    {
        const QString path = writeFile(QStringLiteral("secret.txt"), "secret text\n");
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        const QByteArray nativePath = QFile::encodeName(path);

        // Root reads a file of mode 0000: then the check runs as the user "nobody" for a moment
        // (its folder is made searchable so that only the file's own mode stands in the way).
        const uid_t effectiveUser = ::geteuid();
        auto restore = qScopeGuard([effectiveUser] {
            if (::geteuid() != effectiveUser && ::seteuid(effectiveUser) != 0)
                qFatal("cannot return to the effective user %u", unsigned(effectiveUser));
        });
        if (::access(nativePath.constData(), R_OK) == 0 || effectiveUser == 0) {
            if (effectiveUser != 0)
                QSKIP("The file of mode 0000 is readable");
            QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                          | QFileDevice::ExeOwner | QFileDevice::ExeGroup
                                                          | QFileDevice::ExeOther));
            QVERIFY2(::seteuid(65534) == 0, "cannot become the user nobody (65534)");
        }
        QVERIFY(::faccessat(AT_FDCWD, nativePath.constData(), R_OK, AT_EACCESS) != 0);
        QVERIFY(QFileInfo::exists(path));

        InfoDialog dialog;
        dialog.loadFile(path);
        QVERIFY(dialog.txtLog->toPlainText().isEmpty());
    }

    void loadReplacesText()
    {
        const QString first = writeFile(QStringLiteral("first.txt"), "first text\n");
        const QString second = writeFile(QStringLiteral("second.txt"), "second text\n");
        InfoDialog dialog;
        dialog.loadFile(first);
        QCOMPARE(dialog.txtLog->toPlainText(), QStringLiteral("first text\n"));
        dialog.loadFile(second);
        QCOMPARE(dialog.txtLog->toPlainText(), QStringLiteral("second text\n"));
        // A file that cannot be opened changes nothing.
        dialog.loadFile(dir.filePath(QStringLiteral("does-not-exist.txt")));
        QCOMPARE(dialog.txtLog->toPlainText(), QStringLiteral("second text\n"));
    }

    void closeButtonRejects()
    {
        InfoDialog dialog;
        QSignalSpy rejected(&dialog, &QDialog::rejected);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTest::mouseClick(dialog.buttonBox->button(QDialogButtonBox::Close), Qt::LeftButton);
        QCOMPARE(rejected.size(), 1);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(!dialog.isVisible());
    }

    void escapeRejects()
    {
        InfoDialog dialog;
        QSignalSpy rejected(&dialog, &QDialog::rejected);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QCOMPARE(rejected.size(), 1);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(!dialog.isVisible());
    }

    void buttonBoxSignalsConnected()
    {
        InfoDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        emit dialog.buttonBox->accepted();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!dialog.isVisible());

        dialog.show();
        emit dialog.buttonBox->rejected();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(!dialog.isVisible());
    }

    // The last window closing ends the event loop with status 0, as in the program's main.
    void closingEndsEventLoop_data()
    {
        QTest::addColumn<bool>("useEscape");
        QTest::newRow("Close button") << false;
        QTest::newRow("Escape") << true;
    }

    void closingEndsEventLoop()
    {
        QFETCH(bool, useEscape);
        QVERIFY(QGuiApplication::quitOnLastWindowClosed());
        const QString path = writeFile(QStringLiteral("loop.txt"), "some text\n");

        InfoDialog dialog;
        dialog.setWindowTitle(QCoreApplication::applicationName());
        dialog.loadFile(path);
        dialog.show();

        bool closedByUs = false;
        QTimer::singleShot(50, &dialog, [&] {
            if (useEscape)
                QTest::keyClick(&dialog, Qt::Key_Escape);
            else
                QTest::mouseClick(dialog.buttonBox->button(QDialogButtonBox::Close), Qt::LeftButton);
            closedByUs = true;
        });
        // A guard so that a broken dialog cannot hang the test.
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
        guard.start(10000);

        const int status = QCoreApplication::exec();
        QVERIFY(closedByUs);
        QCOMPARE(status, 0);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(!dialog.isVisible());
    }
};

// The widget checks run on the offscreen platform, also when the test is started by hand.
int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTEST_SET_MAIN_SOURCE_PATH
    TestInfoDialog test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_info_dialog.moc"
