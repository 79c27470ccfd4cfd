#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <json/value.h>

class QSslSocket;

// A test client of the remote procedure protocol: TLS (or plain TCP) to 127.0.0.1, NetString frames
// of JSON, and a reader that files every received message either as a response (it has an "id", or
// it is a batch) or as a notification (it has a "method" and no "id"). Every wait keeps the calling
// thread's event loop running, so a server in the same process goes on working meanwhile.
class RpcClient : public QObject
{
    Q_OBJECT

public:
    explicit RpcClient(QObject *parent = nullptr);
    ~RpcClient() override;

    // The certificate and key presented to the server; without them the client offers none.
    bool setIdentity(const QString &certificatePath, const QString &keyPath, QString &error);
    void setIdentity(const QSslCertificate &certificate, const QSslKey &key);

    // Connects and runs the TLS handshake. True once the client's side of the handshake is done,
    // which does not yet mean that the server has accepted the client's certificate.
    bool connectToServer(quint16 port, int timeoutMs = 10000);
    // Connects without TLS.
    bool connectPlain(quint16 port, int timeoutMs = 10000);
    void abort();

    // From now on the client takes next to nothing off the connection: what the server sends stays
    // in the network's buffers and the server's.
    void stopReading();
    // Bytes written but not yet handed to the network.
    qint64 unsentBytes() const;

    void sendRaw(const QByteArray &bytes);
    void sendFrame(const QByteArray &payload);
    // The message as compact JSON with one line feed, framed.
    void sendMessage(const Json::Value &message);
    // {"jsonrpc":"2.0","id":id,"method":method,"params":params} (no "params" when it is null).
    static Json::Value makeRequest(const QString &method, const Json::Value &params, const Json::Value &id);
    // Sends makeRequest(method, params, id).
    void sendRequest(const QString &method, const Json::Value &params, const Json::Value &id);
    // Sends the request and waits for the response with the same id.
    bool call(const QString &method, const Json::Value &params, const Json::Value &id, Json::Value &response,
              int timeoutMs = 10000);
    // Sends the request under an id of the client's own and waits for its response. One that does not
    // come in time reads as the string "no response", which no check takes for an answer.
    Json::Value call(const QString &method, const Json::Value &params = Json::Value(), int timeoutMs = 30000);
    // "Live.Start" for a session with this id; the response as call() gives it.
    Json::Value startSession(const QString &id, const QString &command = QStringLiteral("xterm"),
                             const QString &geometry = QStringLiteral("800x600"), int timeoutMs = 30000);

    // The pieces of requests and responses that the tests share.
    static QString newSessionId();
    static Json::Value strings(const QStringList &values);
    static Json::Value idParams(const QString &id);
    static Json::Value startParams(const QString &id, const QString &command, const QString &geometry);
    // The code of the response's "error", 0 when it has none.
    static int errorCode(const Json::Value &response);
    // The JSON text as a value; null when it is not JSON.
    static Json::Value parse(const QByteArray &text);
    // The "id" of every session in a list such as "Live.ListSessions" answers.
    static QStringList idsOf(const Json::Value &list);

    // Each of these takes the message it returns out of its queue.
    bool waitForResponse(const Json::Value &id, Json::Value &response, int timeoutMs = 10000);
    bool waitForNextResponse(Json::Value &response, int timeoutMs = 10000);
    bool waitForNotification(const QString &method, Json::Value &notification, int timeoutMs = 10000);
    // Waits until `count` frames have arrived in all since the connection was made.
    bool waitForFrames(int count, int timeoutMs = 10000);
    bool waitForDisconnected(int timeoutMs = 10000);
    // Runs the event loop for a while, to let a message arrive that should not.
    void idle(int ms);

    bool isConnected() const;
    bool wasEncrypted() const;
    // The port this end was bound to, also after the connection has gone.
    quint16 localPort() const;
    QSslCertificate serverCertificate() const;
    // Every byte of application data received so far, whether or not it formed a frame.
    QByteArray receivedBytes() const;
    // The payloads of all frames received so far, in order, exactly as they arrived.
    QList<QByteArray> payloads() const;
    // Not empty once the server sent something that is not a valid frame.
    QString framingError() const;
    int pendingResponses() const;
    int pendingNotifications() const;

private slots:
    void Socket_readyRead();

private:
    bool waitForConnection(int timeoutMs);
    void fileMessage(const QByteArray &payload);

    QSslSocket *socket;
    QSslCertificate certificate;
    QSslKey key;
    bool encrypted = false;
    quint16 boundPort = 0;
    QByteArray received;
    QByteArray unframed;
    QList<QByteArray> framePayloads;
    QList<Json::Value> responses;
    QList<Json::Value> notifications;
    QString framingProblem;
    int lastCallId = 0;
};
