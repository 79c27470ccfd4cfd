#include "common/application_identity.h"

#include <QCoreApplication>

const char *const applicationVersion = "1.0.38";

void setApplicationIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("Lumen Server"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(applicationVersion));
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
}
