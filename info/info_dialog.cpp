#include "info_dialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QGridLayout>
#include <QIcon>
#include <QSpacerItem>
#include <QStringConverter>
#include <QTextBrowser>
#include <QTextStream>

// The resource lives in a static library: register it explicitly (this also makes the linker keep
// it). Q_INIT_RESOURCE must be used outside any namespace.
static void initInfoResources()
{
    Q_INIT_RESOURCE(info);
}

const char *const infoVersion = "1.0.38";

void setInfoApplicationIdentity()
{
    initInfoResources();
    QCoreApplication::setApplicationName(QStringLiteral("Lumen Server"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(infoVersion));
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/Lumen Server.png")));
}

InfoDialog::InfoDialog(QWidget *parent)
    : QDialog(parent)
{
    setupUi();
}

void InfoDialog::setupUi()
{
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("InfoDialog"));
    resize(400, 300);

    gridLayout = new QGridLayout(this);
    gridLayout->setObjectName(QStringLiteral("gridLayout"));

    txtLog = new QTextBrowser(this);
    txtLog->setObjectName(QStringLiteral("txtLog"));
    txtLog->setReadOnly(true);
    gridLayout->addWidget(txtLog, 0, 0, 1, 1);

    verticalSpacer = new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding);
    gridLayout->addItem(verticalSpacer, 1, 0, 1, 1);

    buttonBox = new QDialogButtonBox(this);
    buttonBox->setObjectName(QStringLiteral("buttonBox"));
    buttonBox->setOrientation(Qt::Horizontal);
    buttonBox->setStandardButtons(QDialogButtonBox::Close);
    gridLayout->addWidget(buttonBox, 2, 0, 1, 1);

    connect(buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    QMetaObject::connectSlotsByName(this);
}

void InfoDialog::loadFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    QTextStream in(&file);
    in.setEncoding(QStringConverter::System);
    txtLog->setPlainText(in.readAll());
}
