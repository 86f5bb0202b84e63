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
