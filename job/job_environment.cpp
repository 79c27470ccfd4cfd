#include "job/job_environment.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString runtimeVariable = QStringLiteral("XDG_RUNTIME_DIR");
const QString tempVariable = QStringLiteral("TMPDIR");

// The devices a job was given, by the names the GPU runtimes read.
const QStringList deviceVariables = {QStringLiteral("CUDA_VISIBLE_DEVICES"), QStringLiteral("GPU_DEVICE_ORDINAL"),
                                     QStringLiteral("ROCR_VISIBLE_DEVICES"), QStringLiteral("ZE_AFFINITY_MASK")};

bool makePrivateFolder(const QString &path)
{
    return QDir().mkpath(path) && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace

JobEnvironment::JobEnvironment(const QProcessEnvironment &inherited)
    : inherited(inherited)
    , sessionEnvironment(inherited)
    , serverEnvironment(inherited)
{
}

bool JobEnvironment::isUsableRuntimeFolder(const QString &path)
{
    struct stat info;
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode)
           && info.st_uid == ::getuid() && (info.st_mode & 0077) == 0;
}

bool JobEnvironment::isUsableTempFolder(const QString &path)
{
    struct stat info;
    return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode)
           && ::access(QFile::encodeName(path).constData(), W_OK | X_OK) == 0;
}

bool JobEnvironment::isJobMark(const QString &name, const QString &value)
{
    return name.startsWith(QLatin1String("SLURM_")) || name.startsWith(QLatin1String("SLURMD_"))
           || deviceVariables.contains(name) || (name == QLatin1String("ENVIRONMENT") && value == QLatin1String("BATCH"));
}

bool JobEnvironment::prepare(const QString &jobId, QString &error, const QString &base)
{
    const QString runtime = inherited.value(runtimeVariable);
    const bool runtimeUsable = isUsableRuntimeFolder(runtime);
    // An unset TMPDIR means /tmp, which every node has.
    const bool tempUsable = !inherited.contains(tempVariable) || isUsableTempFolder(inherited.value(tempVariable));
    if (!runtimeUsable || !tempUsable) {
        const QString stem = jobId.isEmpty() ? QStringLiteral("lumen-job-") : QStringLiteral("lumen-job-%1-").arg(jobId);
        privateFolder = std::make_unique<QTemporaryDir>(QDir(base).filePath(stem + QStringLiteral("XXXXXX")));
        if (!privateFolder->isValid()) {
            error = QStringLiteral("Failed to create a private folder in \"%1\": %2").arg(base, privateFolder->errorString());
            return false;
        }
    }
    if (!runtimeUsable) {
        const QString folder = privateFolder->filePath(QStringLiteral("runtime"));
        if (!makePrivateFolder(folder)) {
            error = QStringLiteral("Failed to create the directory \"%1\"").arg(folder);
            return false;
        }
        sessionEnvironment.insert(runtimeVariable, folder);
        notes << QStringLiteral("XDG_RUNTIME_DIR \"%1\" is not a private folder of this user here; the session uses \"%2\"")
                     .arg(runtime, folder);
    }
    if (!tempUsable) {
        const QString folder = privateFolder->filePath(QStringLiteral("tmp"));
        if (!makePrivateFolder(folder)) {
            error = QStringLiteral("Failed to create the directory \"%1\"").arg(folder);
            return false;
        }
        sessionEnvironment.insert(tempVariable, folder);
        notes << QStringLiteral("TMPDIR \"%1\" is not usable here; the session uses \"%2\"")
                     .arg(inherited.value(tempVariable), folder);
    }

    serverEnvironment = sessionEnvironment;
    for (const QString &name : inherited.keys()) {
        if (isJobMark(name, inherited.value(name))) {
            serverEnvironment.remove(name);
        }
    }
    // The server outlives this job's folders, and its single-instance lock lies in its runtime folder.
    if (!tempUsable) {
        serverEnvironment.remove(tempVariable);
    }
    if (!runtimeUsable) {
        serverRuntime();
    }
    return true;
}

// The node's own runtime folder of the user when it has one (as an ssh login there would get it);
// else none, so that the server takes Qt's own fallback, /tmp/runtime-<user>, as one started by the
// relay over such a login does: all of them then meet the same single-instance lock.
void JobEnvironment::serverRuntime()
{
    const QString system = QStringLiteral("/run/user/%1").arg(::getuid());
    if (isUsableRuntimeFolder(system)) {
        serverEnvironment.insert(runtimeVariable, system);
    } else {
        serverEnvironment.remove(runtimeVariable);
    }
}
