#include "termsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int gSignalPipe[2] = {-1, -1};
std::function<void(int)> gOnSignal;

extern "C" void forwardSignal(int signal)
{
    const unsigned char byte = static_cast<unsigned char>(signal);
    // Only async-signal-safe work here: the event loop does the rest.
    [[maybe_unused]] const ssize_t written = ::write(gSignalPipe[0], &byte, 1);
}

} // namespace

void installTerminationHandler(std::function<void(int)> onSignal)
{
    gOnSignal = std::move(onSignal);
    if (gSignalPipe[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0) {
            qWarning("Cannot watch for termination signals: socketpair failed");
            return;
        }
        auto* notifier = new QSocketNotifier(gSignalPipe[1], QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(notifier, &QSocketNotifier::activated, [] {
            unsigned char byte = 0;
            if (::read(gSignalPipe[1], &byte, 1) == 1 && gOnSignal)
                gOnSignal(byte);
        });
    }
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}
