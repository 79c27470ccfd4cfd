#include "client/host/tunnel_link.h"

#include <QProcess>
#include <QTcpSocket>

namespace {

// A viewer that takes nothing in while the host sends on: past this much unsent data the link ends.
constexpr qint64 pendingLimit = 64 * 1024 * 1024;
constexpr int sshErrorLimit = 4096;
constexpr int headLimit = 1024;

} // namespace

TunnelLink::TunnelLink(QTcpSocket *viewer, QProcess *far, QObject *parent)
    : QObject(parent)
    , viewer(viewer)
    , far(far)
    , farProcess(far)
{
    viewer->setParent(this);
    far->setParent(this);
    connect(farProcess, &QProcess::readyReadStandardError, this, [this] {
        sshErrors += farProcess->readAllStandardError();
        if (sshErrors.size() > sshErrorLimit) {
            sshErrors.remove(0, sshErrors.size() - sshErrorLimit);
        }
    });
    connect(farProcess, &QProcess::finished, this, &TunnelLink::Far_ended);
    connect(farProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            Far_ended();
        }
    });
    connectSignals();
}

TunnelLink::TunnelLink(QTcpSocket *viewer, QTcpSocket *far, QObject *parent)
    : QObject(parent)
    , viewer(viewer)
    , far(far)
    , farSocket(far)
{
    viewer->setParent(this);
    far->setParent(this);
    connect(farSocket, &QTcpSocket::disconnected, this, &TunnelLink::Far_ended);
    connect(farSocket, &QTcpSocket::errorOccurred, this, [this] {
        if (farSocket->state() != QAbstractSocket::ConnectedState) {
            sshErrors = farSocket->errorString().toLocal8Bit();
            Far_ended();
        }
    });
    connectSignals();
}

TunnelLink::~TunnelLink()
{
    close();
}

void TunnelLink::connectSignals()
{
    connect(viewer, &QTcpSocket::readyRead, this, &TunnelLink::Viewer_readyRead);
    connect(viewer, &QTcpSocket::disconnected, this, &TunnelLink::Viewer_disconnected);
    connect(far, &QIODevice::readyRead, this, &TunnelLink::Far_readyRead);
}

void TunnelLink::close()
{
    if (done) {
        return;
    }
    done = true;
    disconnect(viewer, nullptr, this, nullptr);
    disconnect(far, nullptr, this, nullptr);
    viewer->abort();
    if (farProcess && farProcess->state() != QProcess::NotRunning) {
        // ssh ends its forward at the end of its input; one that does not is ended outright.
        farProcess->closeWriteChannel();
        if (!farProcess->waitForFinished(2000)) {
            farProcess->kill();
            farProcess->waitForFinished(2000);
        }
    }
    // What ssh said last, also when the viewer went first.
    if (farProcess) {
        sshErrors += farProcess->readAllStandardError();
        if (sshErrors.size() > sshErrorLimit) {
            sshErrors.remove(0, sshErrors.size() - sshErrorLimit);
        }
    }
    if (farSocket) {
        farSocket->abort();
    }
}

QString TunnelLink::farErrors() const
{
    return QString::fromLocal8Bit(sshErrors).trimmed();
}

void TunnelLink::Viewer_readyRead()
{
    if (!copy(viewer, far)) {
        finish();
    }
}

void TunnelLink::Far_readyRead()
{
    if (!copy(far, viewer)) {
        finish();
    }
}

bool TunnelLink::copy(QIODevice *from, QIODevice *to)
{
    const QByteArray bytes = from->readAll();
    if (bytes.isEmpty()) {
        return true;
    }
    QByteArray &head = from == viewer ? viewerStart : farStart;
    if (head.size() < headLimit) {
        head += bytes.left(headLimit - head.size());
    }
    return to->write(bytes) == bytes.size() && to->bytesToWrite() < pendingLimit;
}

void TunnelLink::Viewer_disconnected()
{
    if (!done) {
        finish();
    }
}

// What the host sent last still reaches the viewer before its connection closes.
void TunnelLink::Far_ended()
{
    if (done) {
        return;
    }
    Far_readyRead();
    if (done) {
        return;
    }
    const bool viewerWasThere = viewer->state() == QAbstractSocket::ConnectedState;
    done = true;
    disconnect(viewer, nullptr, this, nullptr);
    disconnect(far, nullptr, this, nullptr);
    if (viewerWasThere) {
        viewer->disconnectFromHost();
        emit closedByHost();
    }
    if (farSocket) {
        farSocket->abort();
    }
    emit finished();
}

void TunnelLink::finish()
{
    close();
    emit finished();
}
