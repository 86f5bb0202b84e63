#pragma once

#include "tests/fakes/scripted_desktop.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <initializer_list>

// A private settings folder and the scripted desktop (message boxes, beep, end) for one test case:
// no test ever reads or writes the user's own settings.
class TestEnv
{
public:
    TestEnv();
    ~TestEnv();
    TestEnv(const TestEnv&) = delete;
    TestEnv& operator=(const TestEnv&) = delete;

    QString configHome() const { return mDir.path(); }
    QString settingsFile() const;
    QByteArray settingsBytes() const;
    // Writes the settings file behind the store's back, as a hand edit or a damaged disk would.
    bool writeSettingsBytes(const QByteArray& bytes) const;
    // How often the program asked to end (tests never end for real), and how often it beeped.
    int endRequests() const { return ScriptedDesktop::endRequests(); }
    int beeps() const { return ScriptedDesktop::beeps(); }

private:
    QTemporaryDir mDir;
    QTemporaryDir mRuntimeDir;
    QByteArray mOldConfigHome;
    QByteArray mOldRuntimeDir;
    QByteArray mOldBus;
};

// A table whose rows are records with a `name`: one column holds the whole row, read with QFETCH(Row, row).
template <typename Row> void addRows(std::initializer_list<Row> rows)
{
    QTest::addColumn<Row>("row");
    for (const Row& row : rows)
        QTest::newRow(row.name) << row;
}

// The texts of the message boxes shown so far, in order.
QStringList messageTexts();

// Builds files below `root` from "dev/ttyUSB0" (empty file), "dir/" (folder), "path=text" (file with a line)
// and "path -> target" (symbolic link) entries.
bool buildTree(const QString& root, const QStringList& entries);

// Whether the reachable sound server has `sink` as a null sink, so test tones never come out of a real
// loudspeaker: PulseAudio names the module, PipeWire the factory of the node. False without a server.
bool isNullSink(const QString& sink);
