#include "tests/fakes/rigctld.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QThread>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kStartWaitMs = 5000;
constexpr int kAnswerWaitMs = 2000;

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

Rigctld::~Rigctld()
{
    kill();
}

int Rigctld::freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool Rigctld::start()
{
    if (mPid > 0)
        return true;
    if (mPort == 0)
        mPort = freePort();
    const QByteArray port = QByteArray::number(mPort);
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        ::execlp("rigctld", "rigctld", "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", port.constData(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    mPid = pid;
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < kStartWaitMs) {
        const int fd = connectTo(mPort);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        int status = 0;
        if (::waitpid(mPid, &status, WNOHANG) == mPid) {
            mPid = -1;
            return false;
        }
        QThread::msleep(20);
    }
    kill();
    return false;
}

void Rigctld::kill()
{
    if (mPid <= 0)
        return;
    ::kill(mPid, SIGKILL);
    ::kill(mPid, SIGCONT);
    ::waitpid(mPid, nullptr, 0);
    mPid = -1;
}

void Rigctld::pause(bool paused)
{
    if (mPid > 0)
        ::kill(mPid, paused ? SIGSTOP : SIGCONT);
}

int Rigctld::ptt() const
{
    // rigctld now and then closes a new connection before answering it (it is still ending the last
    // one's thread); a watcher that asks again sees the rig's real state.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int state = askPtt();
        if (state >= 0 || mPid <= 0)
            return state;
        QThread::msleep(50);
    }
    return -1;
}

int Rigctld::askPtt() const
{
    const int fd = connectTo(mPort);
    if (fd < 0)
        return -1;
    int result = -1;
    if (::write(fd, "t\n", 2) == 2) {
        QByteArray reply;
        pollfd wait{fd, POLLIN, 0};
        while (!reply.contains('\n') && ::poll(&wait, 1, kAnswerWaitMs) > 0) {
            char buffer[64];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            reply.append(buffer, n);
        }
        bool ok = false;
        const int value = reply.trimmed().toInt(&ok);
        if (ok)
            result = value;
    }
    ::close(fd);
    return result;
}
