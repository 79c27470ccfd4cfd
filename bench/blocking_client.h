#pragma once

#include <QByteArray>
#include <QSslSocket>
#include <QString>

class ServerRunner;
class TestEnvironment;

// A client of the remote procedure protocol for timing: one call at a time, blocking on the socket
// itself, so that an answer is seen the moment it arrives (the tests' client looks every 10 ms).
class BlockingClient
{
public:
    // Connects with TLS, presenting the user's certificate and key.
    bool connect(quint16 port, const QString &certificatePath, const QString &keyPath);
    // Connects to the running server of `env` with its user's certificate.
    bool connectTo(const TestEnvironment &env, const ServerRunner &server);
    // Makes the user path of `env`, launches `server` and connects to it; false, with the step that
    // failed in `error`, when one does.
    bool launchAndConnect(const TestEnvironment &env, ServerRunner &server, QString &error);

    // Sends one message as a NetString frame.
    void send(const QByteArray &payload);

    // Waits for the frame whose payload contains `marker`, skipping the others (notifications), and
    // hands out its payload when asked. False on time-out or a broken frame.
    bool waitFor(const QByteArray &marker, int timeoutMs, QByteArray *payload = nullptr);

private:
    QSslSocket socket;
    QByteArray received;
};
