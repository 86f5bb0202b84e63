#pragma once

#include <QString>

#include <cstddef>
#include <optional>

// One measure of level for the whole program, the meter, the trim, the normaliser and the gain limit: the
// sample peak in dB relative to full scale (dBFS), full scale being 1.0 in float.

// The quietest level reported; silence reads as this instead of minus infinity.
inline constexpr double kSilenceDbfs = -120.0;

// The peak of `count` samples, any channel layout: the largest magnitude found.
float peakOf(const float* samples, std::size_t count);
// A linear magnitude in dBFS, never below kSilenceDbfs.
double dbfsOf(float magnitude);
// The linear factor of a gain in dB.
double gainFactor(double gainDb);

// The peak of every sample of a sound file in dBFS, read through once; nullopt when the file cannot be
// read as sound. Refuses anything but a regular file, so it cannot block on a FIFO or a device.
std::optional<double> filePeakDbfs(const QString& path);

// The gain that plays a file peaking at `peakDbfs` as loud as `gainDb` asks and never past full scale: the
// gain, or the file's headroom when the gain would clip it.
double limitedGainDb(double peakDbfs, double gainDb);

// The gain a message stored with `gainDb` plays `path` at: held to kGainMinDb..kGainMaxDb (anything not a
// number reads as 0), then limited to the file's headroom. A file whose peak cannot be read gets no boost,
// since nothing says it would not clip. 0 stays 0 without reading the file, so the samples pass untouched.
// Reads the whole file when the gain is not 0: a few milliseconds for a message of a minute.
double effectiveGainDb(const QString& path, double gainDb);

// What the assignment dialog does to a fresh recording: silence below kTrimThresholdDbfs is cut from both
// ends, kTrimKeepMs of it kept so a word's soft onset and decay survive, and the peak is brought to
// kNormalisePeakDbfs, a little below full scale so a resampling output stage cannot clip it.
inline constexpr double kTrimThresholdDbfs = -45.0;
inline constexpr int kTrimKeepMs = 50;
inline constexpr double kNormalisePeakDbfs = -1.0;

// The part of `count` interleaved frames of `channels` channels at `rate` that holds sound: from
// `keepMs` before the first frame whose peak reaches `thresholdDbfs` to `keepMs` after the last one, held
// to the buffer. Frame indices, `end` one past the last; empty (0, 0) when nothing reaches the threshold.
struct FrameSpan
{
    std::size_t begin = 0;
    std::size_t end = 0;
    bool operator==(const FrameSpan&) const = default;
};
FrameSpan soundSpan(const float* samples, std::size_t frames, int channels, int rate,
                    double thresholdDbfs = kTrimThresholdDbfs, int keepMs = kTrimKeepMs);

// The factor that brings a buffer peaking at `peak` to `targetDbfs`; 1 for silence, which has no level to
// bring anywhere and must not be blown up to full-scale noise.
double normaliseFactor(float peak, double targetDbfs = kNormalisePeakDbfs);
// Scales `count` samples in place by normaliseFactor of their peak; returns the factor used.
double normalise(float* samples, std::size_t count, double targetDbfs = kNormalisePeakDbfs);
