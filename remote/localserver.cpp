#include "remote/localserver.h"

#include "keyer/keyercontrol.h"
#include "remote/protocol.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>
#include <QVariant>

namespace {

const char* const kAnswered = "wrenkeyerAnswered";

} // namespace

RemoteServer::RemoteServer(KeyerControl& keyer, QObject* parent) : QObject(parent), mKeyer(keyer) {}

RemoteServer::~RemoteServer()
{
    if (mServer)
        mServer->close();
}

bool RemoteServer::listen(const QString& path)
{
    mPath = path;
    {
        // A keyer that answers owns the name; only a socket nobody listens on is left over from a crash.
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(200)) {
            mError = QStringLiteral("another keyer listens on %1").arg(path);
            return false;
        }
    }
    QLocalServer::removeServer(path);
    mServer = new QLocalServer(this);
    // Owner only: another user on the machine must not key this operator's transmitter.
    mServer->setSocketOptions(QLocalServer::UserAccessOption);
    mServer->setMaxPendingConnections(kMaxClients);
    if (!mServer->listen(path)) {
        mError = mServer->errorString();
        delete mServer;
        mServer = nullptr;
        return false;
    }
    connect(mServer, &QLocalServer::newConnection, this, &RemoteServer::newConnection);
    mRateWindow = QDeadlineTimer(1000);
    return true;
}

void RemoteServer::newConnection()
{
    while (QLocalSocket* socket = mServer->nextPendingConnection()) {
        if (mClients >= kMaxClients) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++mClients;
        // Whatever a client pours in beyond one request stays in the kernel, not in our memory.
        socket->setReadBufferSize(kMaxRequestBytes);
        connect(socket, &QObject::destroyed, this, [this] { --mClients; });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequest(socket); });
        // A client that connects and sends nothing, or no whole line, is dropped.
        QTimer::singleShot(kClientDeadlineMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0)
            readRequest(socket);
    }
}

void RemoteServer::readRequest(QLocalSocket* socket)
{
    if (socket->property(kAnswered).toBool())
        return; // answered already; whatever follows is ignored
    const QByteArray data = socket->peek(kMaxRequestBytes);
    const qsizetype end = data.indexOf('\n');
    if (end < 0) {
        if (data.size() >= kMaxRequestBytes) {
            socket->setProperty(kAnswered, true);
            reply(socket, badReply(QStringLiteral("request too long")));
        }
        return;
    }
    socket->setProperty(kAnswered, true);
    const QByteArray line = data.left(end);
    socket->readAll();
    QPointer<QLocalSocket> guard(socket);
    const QByteArray text = answer(line);
    // The keyer may have shown a box meanwhile, and the client given up.
    if (guard)
        reply(guard, text);
}

bool RemoteServer::withinRate()
{
    if (mRateWindow.hasExpired()) {
        mRateWindow = QDeadlineTimer(1000);
        mRequestsInWindow = 0;
    }
    return ++mRequestsInWindow <= kRequestsPerSecond;
}

QByteArray RemoteServer::answer(const QByteArray& line)
{
    const RemoteRequest request = parseRemoteRequest(line);
    // A stop only ever releases the transmitter: no flood may keep it from the operator's logger.
    if (request.kind != RemoteRequest::Kind::Stop && !withinRate())
        return refusedReply(QStringLiteral("too many requests, try again in a second"));
    QString refusal;
    switch (request.kind) {
    case RemoteRequest::Kind::Invalid:
        return badReply(request.error);
    case RemoteRequest::Kind::Status:
        return okReply(keyerStatusText(mKeyer.keyerState()));
    case RemoteRequest::Kind::Stop:
        mKeyer.remoteStop();
        return okReply();
    case RemoteRequest::Kind::Play:
        refusal = mKeyer.remotePlay(request.number);
        break;
    case RemoteRequest::Kind::Repeat:
        refusal = mKeyer.remoteRepeat(request.number);
        break;
    case RemoteRequest::Kind::PlayFile:
        if (const QString bad = checkSoundFilePath(request.path); !bad.isEmpty())
            return badReply(bad);
        refusal = mKeyer.remotePlayFile(request.path);
        break;
    }
    return refusal.isEmpty() ? okReply() : refusedReply(refusal);
}

void RemoteServer::reply(QLocalSocket* socket, const QByteArray& text)
{
    socket->write(text);
    socket->flush();
    socket->disconnectFromServer();
}
