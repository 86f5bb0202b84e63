#pragma once

#include "keyer/keyercontrol.h"

#include <QStringList>

// Takes the requests of other programs in place of the main window: records each and refuses them all
// with `refusal` when it is set.
class FakeKeyer : public KeyerControl
{
public:
    QStringList calls;
    QString refusal;
    KeyerState state;

    QString remotePlay(int n) override { return note(QStringLiteral("play %1").arg(n)); }
    QString remotePlayFile(const QString& path) override { return note(QStringLiteral("file ") + path); }
    QString remoteRepeat(int n) override { return note(QStringLiteral("repeat %1").arg(n)); }
    void remoteStop() override { calls << QStringLiteral("stop"); }
    KeyerState keyerState() const override { return state; }

private:
    QString note(const QString& call)
    {
        calls << call;
        return refusal;
    }
};
