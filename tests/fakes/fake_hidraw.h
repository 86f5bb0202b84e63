#pragma once

#include "comm/cm108.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

// A device file that records the reports: a plain file opened for real, so that the guardian, which
// writes with its own system call, reaches it too. Writes can be cut short or fail as a vanished device.
// Installs itself for its lifetime.
class FileHidraw final : public HidrawApi
{
public:
    FileHidraw() { setHidrawApi(this); }
    ~FileHidraw() override { setHidrawApi(nullptr); }

    ssize_t shortWrite = -1; // bytes written by the next write, -1 = all
    int failWith = 0;        // errno of every write from now on, 0 = none

    int open(const QString& path) override
    {
        return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    ssize_t write(int fd, const QByteArray& report) override
    {
        if (failWith != 0) {
            errno = failWith;
            return -1;
        }
        const auto size = shortWrite >= 0 ? std::exchange(shortWrite, -1) : report.size();
        return ::write(fd, report.constData(), static_cast<size_t>(size));
    }
    void close(int fd) override { ::close(fd); }
};
