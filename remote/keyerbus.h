#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

class KeyerControl;

inline const QString kBusService = QStringLiteral("org.example.WrenKeyer");
inline const QString kBusPath = QStringLiteral("/org/example/WrenKeyer");
inline const QString kBusInterface = QStringLiteral("org.example.WrenKeyer.Keyer");

// The keyer on the D-Bus session bus, for loggers that speak it: the same requests as the local socket,
// checked the same way, and the transmit state as properties whose changes are signalled.
class KeyerBus : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.example.WrenKeyer.Keyer")
    Q_PROPERTY(bool Transmitting READ transmitting)
    Q_PROPERTY(int Message READ message)

public:
    explicit KeyerBus(KeyerControl& keyer, QObject* parent = nullptr);

    // Takes the name and the object on `connection`; false when it is not connected or the name is taken.
    bool registerOn(const QDBusConnection& connection);
    // Whether a session bus is there to connect to, without starting one.
    static bool sessionBusAvailable();

    bool transmitting() const;
    // The button being sent or repeating, 0 when idle or a file is being sent.
    int message() const;

    // Sends PropertiesChanged when the transmit state differs from what the bus last heard.
    void refresh();

public slots:
    void Play(int n);
    void PlayFile(const QString& path);
    void Repeat(int n);
    void Stop();

private:
    bool admitted();
    // admitted(), and n names a message button; the caller is told otherwise.
    bool admittedNumber(int n);
    void answer(const QString& refusal);

    KeyerControl& mKeyer;
    QDBusConnection mConnection{QString()};
    bool mRegistered = false;
    bool mLastTransmitting = false;
    int mLastMessage = 0;
    QDeadlineTimer mRateWindow;
    int mRequestsInWindow = 0;
};
