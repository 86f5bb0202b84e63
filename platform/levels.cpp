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
