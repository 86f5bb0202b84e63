#include "comm/hamlibrig.h"

#include <hamlib/rig.h>

#include <algorithm>
#include <mutex>

namespace {

// The longest one Hamlib call may wait for the rig, and how often it tries: a key that takes longer is
// no use to a voice message, and an unkey that waits holds the transmitter.
constexpr const char* kTimeoutMs = "1000";
constexpr const char* kRetries = "0";
// The pauses between attempts to reach a rig that went away.
constexpr int kFirstBackoffMs = 500;
constexpr int kLongestBackoffMs = 16000;
// How long an unkey that failed waits before it is sent again.
constexpr int kUnkeyRetryMs = 250;
// After a call whose answer was lost, the rig is read back this many times, this far apart: a key still
// in flight (sent on a connection given up on) may reach rigctld after the unkey that followed it.
constexpr int kConfirmChecks = 4;
constexpr int kConfirmEveryMs = 500;

RIG* rigOf(void* rig)
{
    return static_cast<RIG*>(rig);
}

// The library prints its debug trace to stderr unless told not to, and loads its backends once.
void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] {
        rig_set_debug(RIG_DEBUG_NONE);
        rig_load_all_backends();
    });
}

// rigerror2, not rigerror: this library's rigerror puts its debug trace before the reason.
QString reasonOf(int status)
{
    QString text = QString::fromLocal8Bit(rigerror2(status));
    text = text.section(QLatin1Char('\n'), 0, 0).trimmed();
    return text.isEmpty() ? QStringLiteral("Hamlib error %1").arg(status) : text;
}

bool setConf(RIG* rig, const char* name, const QByteArray& value)
{
    const token_t token = rig_token_lookup(rig, name);
    return token != RIG_CONF_END && rig_set_conf(rig, token, value.constData()) == RIG_OK;
}

int collectModel(const struct rig_caps* caps, rig_ptr_t data)
{
    auto* models = static_cast<QList<HamlibModel>*>(data);
    models->append({static_cast<int>(caps->rig_model), QString::fromLatin1(caps->mfg_name),
                    QString::fromLatin1(caps->model_name)});
    return 1; // go on
}

ptt_t pttOf(int kind)
{
    switch (kind) {
    case 2:
        return RIG_PTT_ON_MIC;
    case 3:
        return RIG_PTT_ON_DATA;
    default:
        return RIG_PTT_ON;
    }
}

} // namespace

QList<HamlibModel> hamlibModels()
{
    initLibrary();
    QList<HamlibModel> models;
    rig_list_foreach(collectModel, &models);
    std::sort(models.begin(), models.end(), [](const HamlibModel& a, const HamlibModel& b) {
        const int byMaker = a.maker.compare(b.maker, Qt::CaseInsensitive);
        if (byMaker != 0)
            return byMaker < 0;
        return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
    });
    return models;
}

QString hamlibModelName(int model)
{
    initLibrary();
    const struct rig_caps* caps = rig_get_caps(static_cast<rig_model_t>(model));
    if (!caps || !caps->model_name)
        return QStringLiteral("model %1").arg(model);
    return QString::fromLatin1(caps->model_name);
}

QString hamlibSettingsRefusal(const HamlibSettings& settings)
{
    if (settings.path.isEmpty())
        return QStringLiteral("No Hamlib path is set.");
    const QByteArray path = settings.path.toLocal8Bit();
    if (path.size() >= HAMLIB_FILPATHLEN)
        return QStringLiteral("The Hamlib path is longer than %1 characters.").arg(HAMLIB_FILPATHLEN - 1);
    if (std::any_of(path.cbegin(), path.cend(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
        return QStringLiteral("The Hamlib path holds a control character.");
    if (settings.model != kHamlibNetModel && !settings.path.startsWith(QLatin1Char('/')))
        return QStringLiteral("A rig on a cable needs a device path such as /dev/ttyUSB0.");
    return QString();
}

HamlibRig::HamlibRig(QObject* parent) : QObject(parent), mRetry(new QTimer(this))
{
    mRetry->setSingleShot(true);
    connect(mRetry, &QTimer::timeout, this, &HamlibRig::retry);
}

HamlibRig::~HamlibRig()
{
    closeRig();
}

bool HamlibRig::openRig(QString& reason)
{
    closeRig();
    reason = hamlibSettingsRefusal(mSettings);
    if (!reason.isEmpty())
        return false;
    initLibrary();
    RIG* rig = rig_init(static_cast<rig_model_t>(mSettings.model));
    if (!rig) {
        reason = QStringLiteral("Hamlib knows no rig model %1.").arg(mSettings.model);
        return false;
    }
    bool configured = setConf(rig, "rig_pathname", mSettings.path.toLocal8Bit()) &&
                      setConf(rig, "timeout", kTimeoutMs) && setConf(rig, "retry", kRetries);
    // Keying is over CAT: a model that names no PTT of its own (the dummy rig) is told so.
    if (configured && rig->caps->ptt_type == RIG_PTT_NONE)
        configured = setConf(rig, "ptt_type", "RIG");
    if (configured && mSettings.speed > 0)
        configured = setConf(rig, "serial_speed", QByteArray::number(mSettings.speed));
    if (!configured) {
        reason = QStringLiteral("The model does not take this path or speed.");
        rig_cleanup(rig);
        return false;
    }
    const int status = rig_open(rig);
    if (status != RIG_OK) {
        reason = reasonOf(status);
        rig_cleanup(rig);
        return false;
    }
    mRig = rig;
    mBackoffMs = 0;
    return true;
}

void HamlibRig::closeRig()
{
    if (!mRig)
        return;
    rig_close(rigOf(mRig));
    rig_cleanup(rigOf(mRig));
    mRig = nullptr;
}

void HamlibRig::connectRig(const HamlibSettings& settings)
{
    mSettings = settings;
    mWanted = true;
    mUnkeyPending = false;
    mRetry->stop();
    QString reason;
    const bool ok = openRig(reason);
    emit opened(ok ? QString() : reason);
    if (!ok) {
        mBackoffMs = kFirstBackoffMs;
        mRetry->start(mBackoffMs);
    }
}

void HamlibRig::disconnectRig()
{
    mWanted = false;
    mRetry->stop();
    // A rig let go of while keyed would stay keyed: rigctld keeps PTT after its client has gone.
    if (mRig)
        (void)rig_set_ptt(rigOf(mRig), RIG_VFO_CURR, RIG_PTT_OFF);
    mUnkeyPending = false;
    mConfirmChecks = 0;
    closeRig();
}

int HamlibRig::sendPtt(bool on)
{
    if (!mRig) {
        QString reason;
        if (!openRig(reason))
            return -RIG_EIO;
    }
    const int status = rig_set_ptt(rigOf(mRig), RIG_VFO_CURR, on ? pttOf(mSettings.pttKind) : RIG_PTT_OFF);
    // A connection that failed a call is not trusted for the next one: rigctld may have gone, and a half
    // read answer would be taken for the next.
    if (status != RIG_OK && !RIG_IS_SOFT_ERRCODE(-status))
        closeRig();
    return status;
}

void HamlibRig::setPtt(bool on, quint64 seq)
{
    if (!mWanted) {
        emit pttAnswered(on, seq, QStringLiteral("No rig is open."), false);
        return;
    }
    const bool wasOpen = mRig != nullptr;
    int status = sendPtt(on);
    // A connection that went while idle (rigctld restarted) fails the first call only: one more on a
    // new connection.
    if (status != RIG_OK && wasOpen && !mRig)
        status = sendPtt(on);
    if (status != RIG_OK) {
        const QString reason =
            mRig || status != -RIG_EIO ? reasonOf(status) : QStringLiteral("The rig cannot be reached.");
        if (on) {
            // The key may have reached the rig although its answer did not: unkey all the same.
            if (sendPtt(false) != RIG_OK)
                mUnkeyPending = true;
        } else {
            mUnkeyPending = true;
        }
        mConfirmChecks = kConfirmChecks;
        emit pttAnswered(on, seq, reason, false);
        mBackoffMs = mUnkeyPending ? kUnkeyRetryMs : std::max(mBackoffMs, kFirstBackoffMs);
        mRetry->start(mRig && !mUnkeyPending ? kConfirmEveryMs : mBackoffMs);
        return;
    }
    mUnkeyPending = mUnkeyPending && on;
    // A key of ours ends any read-back: the rig is meant to transmit now.
    if (on)
        mConfirmChecks = 0;
    bool notKeyed = false;
    if (on) {
        ptt_t state = RIG_PTT_OFF;
        // Read back where the model can tell: a rig that ignores CAT PTT (menu setting, wrong input) says so.
        if (mRig && rig_get_ptt(rigOf(mRig), RIG_VFO_CURR, &state) == RIG_OK)
            notKeyed = state == RIG_PTT_OFF;
    }
    emit pttAnswered(on, seq, QString(), notKeyed);
}

void HamlibRig::retry()
{
    if (!mWanted)
        return;
    if (mUnkeyPending) {
        if (sendPtt(false) == RIG_OK) {
            mUnkeyPending = false;
            emit released();
            if (mConfirmChecks > 0)
                mRetry->start(kConfirmEveryMs);
            return;
        }
        mRetry->start(kUnkeyRetryMs);
        return;
    }
    if (mRig && mConfirmChecks > 0) {
        --mConfirmChecks;
        ptt_t state = RIG_PTT_OFF;
        if (rig_get_ptt(rigOf(mRig), RIG_VFO_CURR, &state) == RIG_OK && state != RIG_PTT_OFF &&
            sendPtt(false) != RIG_OK)
            mUnkeyPending = true;
        if (mConfirmChecks > 0 || mUnkeyPending)
            mRetry->start(mUnkeyPending ? kUnkeyRetryMs : kConfirmEveryMs);
        return;
    }
    if (mRig)
        return;
    QString reason;
    if (openRig(reason))
        return;
    mBackoffMs = std::min(std::max(mBackoffMs * 2, kFirstBackoffMs), kLongestBackoffMs);
    mRetry->start(mBackoffMs);
}
