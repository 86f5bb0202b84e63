#include "platform/soundserver.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <thread>

namespace {

struct Query
{
    pa_mainloop* loop = nullptr;
    QString name;
};

void quit(Query& query)
{
    pa_mainloop_quit(query.loop, 0);
}

} // namespace

SoundServerKind soundServerKindOf(const QString& serverName)
{
    if (serverName.contains(QLatin1String("PipeWire"), Qt::CaseInsensitive))
        return SoundServerKind::PipeWire;
    if (serverName.contains(QLatin1String("pulseaudio"), Qt::CaseInsensitive))
        return SoundServerKind::PulseAudio;
    return SoundServerKind::Unknown;
}

QString askSoundServerName(int timeoutMs)
{
    Query query;
    query.loop = pa_mainloop_new();
    if (query.loop == nullptr)
        return QString();
    pa_mainloop_api* api = pa_mainloop_get_api(query.loop);
    // The deadline is an event of the loop itself, so a server that takes the connection and then says
    // nothing ends the wait as surely as one that is not there.
    timeval deadline{};
    pa_gettimeofday(&deadline);
    pa_timeval_add(&deadline, pa_usec_t(std::max(timeoutMs, 0)) * PA_USEC_PER_MSEC);
    pa_time_event* timer = api->time_new(
        api, &deadline,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* user) { quit(*static_cast<Query*>(user)); }, &query);
    pa_context* context = pa_context_new(api, "WrenKeyer");
    if (context != nullptr) {
        pa_context_set_state_callback(
            context,
            [](pa_context* c, void* user) {
                auto& q = *static_cast<Query*>(user);
                switch (pa_context_get_state(c)) {
                case PA_CONTEXT_READY:
                    if (pa_operation* op = pa_context_get_server_info(
                            c,
                            [](pa_context*, const pa_server_info* info, void* u) {
                                auto& inner = *static_cast<Query*>(u);
                                if (info != nullptr && info->server_name != nullptr)
                                    inner.name = QString::fromUtf8(info->server_name);
                                quit(inner);
                            },
                            &q))
                        pa_operation_unref(op);
                    else
                        quit(q);
                    break;
                case PA_CONTEXT_FAILED:
                case PA_CONTEXT_TERMINATED:
                    quit(q);
                    break;
                default:
                    break;
                }
            },
            &query);
        // Never start a server just to ask its name.
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0)
            pa_mainloop_run(query.loop, nullptr);
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    api->time_free(timer);
    pa_mainloop_free(query.loop);
    return query.name;
}

SoundServerProbe::SoundServerProbe(int timeoutMs)
    : mKind(std::make_shared<std::atomic<SoundServerKind>>(SoundServerKind::Unknown))
{
    // Detached: the answer goes to state the thread shares, and a probe destroyed meanwhile waits for nothing.
    std::thread([kind = mKind, timeoutMs] { kind->store(soundServerKindOf(askSoundServerName(timeoutMs))); }).detach();
}

SoundServerKind SoundServerProbe::kind() const
{
    return mKind->load();
}
