#include "platform/levels.h"

#include "core/settingkeys.h"

#include <QFileInfo>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

float peakOf(const float* samples, std::size_t count)
{
    float peak = 0.0f;
    for (std::size_t i = 0; i < count; ++i)
        peak = std::max(peak, std::fabs(samples[i]));
    return peak;
}

double dbfsOf(float magnitude)
{
    if (!(magnitude > 0.0f))
        return kSilenceDbfs;
    return std::max(kSilenceDbfs, 20.0 * std::log10(static_cast<double>(magnitude)));
}

double gainFactor(double gainDb)
{
    return std::pow(10.0, gainDb / 20.0);
}

std::optional<double> filePeakDbfs(const QString& path)
{
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    SF_INFO info{};
    const QByteArray name = QFile::encodeName(path);
    const std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(sf_open(name.constData(), SFM_READ, &info), sf_close);
    if (!file || info.channels < 1)
        return std::nullopt;
    // Integer files are read as float scaled to full scale, so a 16-bit peak of 32767 reads just below 0 dBFS.
    sf_command(file.get(), SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    std::vector<float> block(static_cast<std::size_t>(info.channels) * 4096);
    float peak = 0.0f;
    for (;;) {
        const sf_count_t frames = sf_readf_float(file.get(), block.data(), 4096);
        if (frames <= 0)
            break;
        peak = std::max(peak, peakOf(block.data(), static_cast<std::size_t>(frames * info.channels)));
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR)
        return std::nullopt;
    return dbfsOf(peak);
}

FrameSpan soundSpan(const float* samples, std::size_t frames, int channels, int rate, double thresholdDbfs, int keepMs)
{
    if (channels < 1 || rate < 1 || frames == 0)
        return {};
    // Compared as a magnitude, so a sample exactly at the threshold counts as sound.
    const auto threshold = static_cast<float>(gainFactor(thresholdDbfs));
    const auto width = static_cast<std::size_t>(channels);
    const auto loud = [&](std::size_t frame) { return peakOf(samples + frame * width, width) >= threshold; };
    std::size_t first = 0;
    while (first < frames && !loud(first))
        ++first;
    if (first == frames)
        return {};
    std::size_t last = frames - 1;
    while (!loud(last))
        --last;
    const auto keep = static_cast<std::size_t>(std::max(keepMs, 0)) * static_cast<std::size_t>(rate) / 1000;
    return {first > keep ? first - keep : 0, std::min(frames, last + 1 + keep)};
}

double normaliseFactor(float peak, double targetDbfs)
{
    // Below the floor of the measure there is nothing but noise of the converter.
    if (dbfsOf(peak) <= kSilenceDbfs)
        return 1.0;
    return gainFactor(targetDbfs) / static_cast<double>(peak);
}

double normalise(float* samples, std::size_t count, double targetDbfs)
{
    const double factor = normaliseFactor(peakOf(samples, count), targetDbfs);
    for (std::size_t i = 0; i < count; ++i)
        samples[i] = static_cast<float>(samples[i] * factor);
    return factor;
}

double limitedGainDb(double peakDbfs, double gainDb)
{
    return std::min(gainDb, -peakDbfs);
}

double effectiveGainDb(const QString& path, double gainDb)
{
    if (!std::isfinite(gainDb))
        return 0.0;
    const double held = std::clamp(gainDb, double(kGainMinDb), double(kGainMaxDb));
    if (held == 0.0)
        return 0.0;
    const std::optional<double> peak = filePeakDbfs(path);
    if (!peak)
        return std::min(held, 0.0);
    return limitedGainDb(*peak, held);
}
