#include "remote/keyerbus.h"

#include "core/globals.h"
#include "keyer/keyercontrol.h"
#include "remote/localserver.h"
#include "remote/protocol.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFileInfo>
#include <QVariantMap>

namespace {

const QString kRefused = QStringLiteral("org.example.WrenKeyer.Error.Refused");

} // namespace

KeyerBus::KeyerBus(KeyerControl& keyer, QObject* parent) : QObject(parent), mKeyer(keyer) {}

bool KeyerBus::sessionBusAvailable()
{
    // Without an address the library would try to launch a bus of its own, which outlives us.
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo(runtime + QStringLiteral("/bus")).exists();
}

bool KeyerBus::registerOn(const QDBusConnection& connection)
{
    if (!connection.isConnected())
        return false;
    mConnection = connection;
    if (!mConnection.registerObject(kBusPath, this,
                                    QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties))
        return false;
    if (!mConnection.registerService(kBusService)) {
        mConnection.unregisterObject(kBusPath);
        return false;
    }
    mRegistered = true;
    mLastTransmitting = transmitting();
    mLastMessage = message();
    return true;
}

bool KeyerBus::transmitting() const
{
    return mKeyer.keyerState().kind == KeyerState::Kind::Transmitting;
}

int KeyerBus::message() const
{
    return mKeyer.keyerState().message;
}

void KeyerBus::refresh()
{
    if (!mRegistered)
        return;
    QVariantMap changed;
    if (const bool now = transmitting(); now != mLastTransmitting) {
        mLastTransmitting = now;
        changed.insert(QStringLiteral("Transmitting"), now);
    }
    if (const int now = message(); now != mLastMessage) {
        mLastMessage = now;
        changed.insert(QStringLiteral("Message"), now);
    }
    if (changed.isEmpty())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(kBusPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << kBusInterface << changed << QStringList();
    mConnection.send(signal);
}

bool KeyerBus::admitted()
{
    if (mRateWindow.hasExpired()) {
        mRateWindow = QDeadlineTimer(1000);
        mRequestsInWindow = 0;
    }
    if (++mRequestsInWindow <= RemoteServer::kRequestsPerSecond)
        return true;
    answer(QStringLiteral("too many requests, try again in a second"));
    return false;
}

void KeyerBus::answer(const QString& refusal)
{
    if (!refusal.isEmpty() && calledFromDBus())
        sendErrorReply(kRefused, refusal);
}

bool KeyerBus::admittedNumber(int n)
{
    if (!admitted())
        return false;
    if (n >= 1 && n <= kMessageCount)
        return true;
    sendErrorReply(QDBusError::InvalidArgs,
                   QStringLiteral("not a message number 1 to %1: %2").arg(kMessageCount).arg(n));
    return false;
}

void KeyerBus::Play(int n)
{
    if (admittedNumber(n))
        answer(mKeyer.remotePlay(n));
}

void KeyerBus::Repeat(int n)
{
    if (admittedNumber(n))
        answer(mKeyer.remoteRepeat(n));
}

void KeyerBus::PlayFile(const QString& path)
{
    if (!admitted())
        return;
    // The same rules as a line on the socket: UTF-8 without control characters, absolute, a regular file.
    const RemoteRequest request = parseRemoteRequest("play-file " + path.toUtf8());
    QString problem = request.kind == RemoteRequest::Kind::PlayFile ? checkSoundFilePath(path) : request.error;
    if (!problem.isEmpty()) {
        sendErrorReply(QDBusError::InvalidArgs, problem);
        return;
    }
    answer(mKeyer.remotePlayFile(path));
}

void KeyerBus::Stop()
{
    // Only ever releases the transmitter: never refused for a flood.
    mKeyer.remoteStop();
}
