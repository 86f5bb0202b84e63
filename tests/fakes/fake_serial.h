#pragma once

#include "comm/portdevices.h"
#include "comm/serialapi.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <mutex>

// A serial layer for tests. It records every call of the nine port operations with a timestamp, fails any
// of them on request with a chosen errno, and keeps the DTR, RTS and break state of each handle the way a
// port driver would: handles count up from 3 and are never reused (a stale one fails with EBADF), a name
// already open cannot be opened again (EBUSY), opening raises DTR and RTS, closing drops every line (HUPCL).
// GetLastError, FormatMessage, DevicePath, IsGone and IsBackUnderStableName are answered but not recorded.
// ForceLineDown, which the watchdog calls from its own thread, is recorded as "ForceLineDown" and fails only
// for a closed handle; every member is safe to call from any thread.
class FakeSerialApi : public SerialApi
{
public:
    struct Call
    {
        QString name;                       // the operation, e.g. "EscapeCommFunction"
        CommHandle handle = kInvalidHandle; // the handle passed; for CreateFile the one returned
        // The other arguments as text: the port name, "1024,1024", the purge flags, the five timeouts,
        // the settings string, the Dcb as a mode string (see modeString) or the function code.
        QString arg;
        qint64 ms = 0; // milliseconds since the fake was created or reset
        bool ok = false;
        std::int32_t error = 0; // the errno of a failed call, else 0
    };

    struct Lines
    {
        bool dtr = false;
        bool rts = false;
        bool brk = false;

        bool operator==(const Lines&) const = default;
        bool anyUp() const { return dtr || rts || brk; }
    };

    FakeSerialApi();
    ~FakeSerialApi() override;
    FakeSerialApi(const FakeSerialApi&) = delete;
    FakeSerialApi& operator=(const FakeSerialApi&) = delete;

    // Makes serialApi() answer with this fake until destruction.
    void install();

    // Fails the operation `call` with `error` the next `count` times it is made, after letting `skip`
    // calls through. A failed call changes nothing. Several failures for one call queue up in order.
    void failOn(const QString& call, std::int32_t error, int count = 1, int skip = 0);
    // Makes the operation `call` throw std::runtime_error the next time.
    void throwOn(const QString& call);
    // Whether CreateFile raises DTR and RTS; true unless set otherwise.
    void setOpenRaisesLines(bool raises) { mOpenRaisesLines = raises; }
    // DevicePath answers "/dev/ttyS0".."/dev/ttyS3" for COM1..COM4 unless told otherwise.
    void setDevicePath(const QString& name, const QString& path) { mDevicePaths.insert(name, path); }
    // FormatMessage answers strerror's text ("" for codes it has none for) unless told otherwise.
    void setMessage(std::int32_t code, const QString& text) { mMessages.insert(code, text); }
    // Pulls the device of a port name out: its open handle reads as gone (its lines as down) and it cannot
    // be opened until replug(), which brings it back under its stable name.
    void unplug(const QString& name);
    void replug(const QString& name);
    // What GetCommState reads from a newly opened port; 9600 8N1 unless told otherwise.
    void setPortDefaults(const Dcb& dcb) { mPortDefaults = dcb; }

    QList<Call> calls() const;
    QStringList callNames() const;
    QList<Call> callsNamed(const QString& name) const;
    // The lines of a handle, or of a port name's open handle; all down when it is not open.
    Lines lineState(CommHandle handle) const;
    Lines lineStateByName(const QString& name) const { return lineState(handleOf(name)); }
    bool isOpen(const QString& name) const { return isOpen(handleOf(name)); }
    bool isOpen(CommHandle handle) const;
    // The open handle of a port name, else the last one it had, else kInvalidHandle.
    CommHandle handleOf(const QString& name) const;
    // The settings last applied with SetCommState to a handle.
    Dcb appliedDcb(CommHandle handle) const;
    qint64 elapsedMs() const { return mClock.elapsed(); }

    // Forgets the recorded calls and the scripted failures; open handles stay open.
    void clear();
    // Back to a new fake: no calls, no failures, no handles, clock and numbering restarted.
    void reset();

    CommHandle CreateFile(const QString& name) override;
    bool SetupComm(CommHandle handle, std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool PurgeComm(CommHandle handle, std::uint32_t flags) override;
    bool SetCommTimeouts(CommHandle handle, const CommTimeouts& timeouts) override;
    bool GetCommState(CommHandle handle, Dcb& dcb) override;
    bool BuildCommDCB(const QString& settings, Dcb& dcb) override;
    bool SetCommState(CommHandle handle, const Dcb& dcb) override;
    bool EscapeCommFunction(CommHandle handle, std::uint32_t function) override;
    bool CloseHandle(CommHandle handle) override;
    bool ForceLineDown(CommHandle handle, std::uint32_t function) override;
    std::int32_t GetLastError() override;
    QString FormatMessage(std::int32_t code) override;
    QString DevicePath(const QString& name) override;
    bool IsGone(CommHandle handle) override;
    bool IsBackUnderStableName(const QString& name) override;

    // A Dcb in the mode syntax: "baud=1200 parity=N data=8 stop=1".
    static QString modeString(const Dcb& dcb);

private:
    struct Port
    {
        QString name;
        bool open = false;
        Lines lines;
        Dcb state;
    };
    struct Failure
    {
        std::int32_t error = 0; // 0: throw instead
        int count = 1;
        int skip = 0;
    };

    // The scripted failure for this call, consumed; 0 when it goes through. Throws when scripted to.
    std::int32_t scripted(const QString& call);
    // Starts an operation on an open handle: its port, or null with `error` set.
    Port* start(const QString& call, CommHandle handle, std::int32_t& error);
    bool finish(const QString& call, CommHandle handle, const QString& arg, std::int32_t error);

    // Recursive: the public members call one another.
    mutable std::recursive_mutex mLock;
    QElapsedTimer mClock;
    QList<Call> mCalls;
    QHash<QString, QList<Failure>> mFailures;
    QMap<CommHandle, Port> mPorts;
    QHash<QString, QString> mDevicePaths;
    QHash<std::int32_t, QString> mMessages;
    QSet<QString> mUnplugged;
    Dcb mPortDefaults{9600, 8, 'N', 10};
    CommHandle mNextHandle = 3;
    std::int32_t mLastError = 0;
    bool mOpenRaisesLines = true;
};

// Stops the watchdog, closes every port the program holds through the serial layer installed and clears the
// error record, so that no test inherits another's open ports or failures. False when a port stayed open.
bool releaseEveryPort();

// Serial devices found below a folder that mimics /dev and /sys; none while no folder is set.
class FolderPortDevices final : public PortDeviceSource
{
public:
    ~FolderPortDevices() override; // uninstalls itself
    void install() { setPortDeviceSource(this); }
    QList<PortDevice> devices() override { return root.isEmpty() ? QList<PortDevice>() : DetectPortDevices(root); }

    QString root;
};
