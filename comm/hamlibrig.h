#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>

// Keying through libhamlib. Every Hamlib call blocks (serial retries, network time-outs), so they all run
// on one thread of their own, in a HamlibRig that lives there; the user-interface thread only posts to it
// and hears back through signals.

// Hamlib's network model, which talks to rigctld.
inline constexpr int kHamlibNetModel = 2;

struct HamlibSettings
{
    int model = kHamlibNetModel;
    QString path;    // host:port for rigctld, else the rig's device
    int speed = 0;   // 0 = the model's own
    int pttKind = 1; // Hamlib's RIG_PTT_ON, _ON_MIC, _ON_DATA

    bool operator==(const HamlibSettings&) const = default;
};

struct HamlibModel
{
    int model = 0;
    QString maker;
    QString name;
};

// Every model the library knows, by maker and name.
QList<HamlibModel> hamlibModels();
// The model's name ("IC-7300"), or "model N" when the library does not know it.
QString hamlibModelName(int model);
// Why `settings` cannot be handed to the library; empty when they can.
QString hamlibSettingsRefusal(const HamlibSettings& settings);

// Lives on the Hamlib thread: every slot runs there.
class HamlibRig : public QObject
{
    Q_OBJECT

public:
    explicit HamlibRig(QObject* parent = nullptr);
    ~HamlibRig() override;

public slots:
    void connectRig(const HamlibSettings& settings);
    void disconnectRig();
    // `seq` comes back with the answer so that the sender knows which request it answers.
    void setPtt(bool on, quint64 seq);

signals:
    // `reason` is empty when the rig is open.
    void opened(const QString& reason);
    // `reason` is empty when the rig took it; `notKeyed` when it took a key but reads back receive.
    void pttAnswered(bool on, quint64 seq, const QString& reason, bool notKeyed);
    // An unkey that failed earlier has now reached the rig.
    void released();

private:
    bool openRig(QString& reason);
    void closeRig();
    void retry();
    int sendPtt(bool on);

    void* mRig = nullptr; // RIG*, kept out of this header so that callers need no Hamlib headers
    HamlibSettings mSettings;
    bool mWanted = false;       // a rig is chosen: reconnect when it goes
    bool mUnkeyPending = false; // an unkey failed and is tried again
    int mConfirmChecks = 0;     // read-backs left after an answer was lost
    int mBackoffMs = 0;
    QTimer* mRetry = nullptr;
};
