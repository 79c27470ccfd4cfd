#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// The environment a batch job brings along is the one it was submitted from, on another host. Where
// it names folders this node lacks (XDG_RUNTIME_DIR, TMPDIR), the session gets private ones that
// live as long as the job. The node's server is shared by every job of the user on this node, so it
// gets none of one job's marks (its id, its GPUs) and the runtime folder any server there would get.
class JobEnvironment
{
public:
    explicit JobEnvironment(const QProcessEnvironment &inherited);

    // Makes the private folders that are needed, in `base` (/tmp on a node); `jobId` names them.
    bool prepare(const QString &jobId, QString &error, const QString &base = QStringLiteral("/tmp"));

    QProcessEnvironment session() const { return sessionEnvironment; }
    QProcessEnvironment server() const { return serverEnvironment; }
    // One line for the log per variable that was replaced, and why.
    QStringList changes() const { return notes; }

    // A runtime folder fit for the session: a directory, no link, the user's own, mode 0700.
    static bool isUsableRuntimeFolder(const QString &path);
    // A folder this user can create files in.
    static bool isUsableTempFolder(const QString &path);
    // What marks a process as one job's: Slurm's variables and the devices the job was given.
    static bool isJobMark(const QString &name, const QString &value);

private:
    void serverRuntime();

    QProcessEnvironment inherited;
    QProcessEnvironment sessionEnvironment;
    QProcessEnvironment serverEnvironment;
    std::unique_ptr<QTemporaryDir> privateFolder;
    QStringList notes;
};
