#pragma once

#include <QObject>
#include <QString>

// Removes its file when it goes, so the pid and port files never outlive the server; the name is
// set before the file is written, which also removes a file that was written half-way.
class InfoFile : public QObject
{
    Q_OBJECT

public:
    explicit InfoFile(QObject *parent = nullptr);
    ~InfoFile() override;

    void setFileName(const QString &name);
    QString fileName() const;

private:
    QString name;
};
