#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

class KeyerControl;
class QLocalServer;
class QLocalSocket;

// Listens on the local socket for requests from other programs and hands each to the keyer. Every client
// is a stranger: one request line per connection, read within a deadline, held to a length, refused when
// too many come at once; nothing a client sends or fails to send can hold up the user-interface thread.
class RemoteServer : public QObject
{
    Q_OBJECT

public:
    explicit RemoteServer(KeyerControl& keyer, QObject* parent = nullptr);
    ~RemoteServer() override;

    // Starts listening at `path`; false (and the reason in errorText) when another keyer already listens
    // there or the socket cannot be made.
    bool listen(const QString& path);
    QString errorText() const { return mError; }
    QString path() const { return mPath; }

    // Limits, named for the tests that hold the server to them.
    static constexpr int kMaxClients = 8;
    static constexpr int kClientDeadlineMs = 2000;
    static constexpr int kRequestsPerSecond = 20;

private:
    void newConnection();
    void readRequest(QLocalSocket* socket);
    QByteArray answer(const QByteArray& line);
    void reply(QLocalSocket* socket, const QByteArray& text);
    bool withinRate();

    KeyerControl& mKeyer;
    QLocalServer* mServer = nullptr;
    QString mPath;
    QString mError;
    int mClients = 0;
    QDeadlineTimer mRateWindow;
    int mRequestsInWindow = 0;
};
