#pragma once

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

// Sound files the program writes itself: recordings and normalised copies, always WAV, always new files
// in the program's data folder. Nothing here ever replaces or changes a file that exists.

// How a file's samples are stored; a copy keeps its original's resolution where WAV can hold it.
enum class SampleDepth
{
    Int16,
    Int24,
    Float32,
};

// Decoded samples, interleaved, full scale 1.0.
struct Pcm
{
    int rate = 0;
    int channels = 0;
    SampleDepth depth = SampleDepth::Int16;
    std::vector<float> samples;

    std::size_t frames() const { return channels > 0 ? samples.size() / static_cast<std::size_t>(channels) : 0; }
};

// $XDG_DATA_HOME/WrenKeyer/messages: where recordings and copies go. Not made here.
QString messageFolder();

// `text` as a file name without extension: only ASCII letters, digits, '-' and '_' survive and blanks become
// '_', so a caption or a name from elsewhere can never name a path elsewhere or an option of a tool;
// `fallback` stands in for a text with nothing left.
QString safeFileStem(const QString& text, const QString& fallback = QStringLiteral("message"));
// The name of a recording without extension, from its caption and time: "CQ_20261207-151203".
QString messageFileStem(const QString& caption, const QDateTime& when);

// Writes `pcm` as `stem`.wav in `folder` (made as needed), or as `stem`-2.wav, -3 … when that name is
// taken: into a temporary file in the same folder, synced, then linked into place under a name that does
// not exist, so a crash or a full disk leaves no part file and no existing file is touched. Returns the
// new file's path; on failure empty, with `error` telling why and which system call failed.
QString saveNewWav(const QString& folder, const QString& stem, const Pcm& pcm, QString& error);

// The whole of a sound file, decoded; nullopt with `error` set when it cannot be read as sound. Refuses
// anything but a regular file, files longer than `maxSeconds`, and files holding more samples than
// `maxSeconds` of 48 kHz stereo.
std::optional<Pcm> readSoundFile(const QString& path, QString& error, int maxSeconds = 600);
