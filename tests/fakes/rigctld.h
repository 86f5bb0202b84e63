#pragma once

#include <QString>

#include <sys/types.h>

// Hamlib's rigctld with its dummy rig (model 1), which keeps and reports PTT, on a free port of the loopback
// interface: the real server the keyer talks to, started and stopped by its process id.
class Rigctld
{
public:
    Rigctld() = default;
    ~Rigctld(); // stops it
    Rigctld(const Rigctld&) = delete;
    Rigctld& operator=(const Rigctld&) = delete;

    // Starts it and waits until it listens; on the port it had before when it ran already once.
    bool start();
    // SIGKILL, as a crash or a pulled network would leave it.
    void kill();
    // SIGSTOP or SIGCONT: a server that holds its answers, as one on a congested link.
    void pause(bool paused);
    bool running() const { return mPid > 0; }
    int port() const { return mPort; }
    QString path() const { return QStringLiteral("127.0.0.1:%1").arg(mPort); }
    // What a second client reads with "t": 1 keyed, 0 not, -1 when it cannot ask.
    int ptt() const;

    // A loopback port nothing listens on at the moment.
    static int freePort();

private:
    int askPtt() const;
    pid_t mPid = -1;
    int mPort = 0;
};
