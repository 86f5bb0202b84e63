#include "platform/wavefile.h"

#include "core/fileio.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How many other names are tried before giving up: "-2" to "-999".
constexpr int kMostNameSuffixes = 999;
// The start of a temporary file's name, after the folder's slash.
constexpr const char* kTemporaryPrefix = "/.wrenkeyer-";

QString callFailed(const char* call, const QByteArray& path, int error)
{
    return QStringLiteral("%1 %2: %3")
        .arg(QLatin1String(call), QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(error)));
}

// The WAV file built in memory: the disk then sees plain writes, each failure with its own errno, and
// libsndfile never holds a descriptor of ours.
struct MemoryFile
{
    QByteArray bytes;
    sf_count_t position = 0;
};

sf_count_t memoryLength(void* user)
{
    return static_cast<MemoryFile*>(user)->bytes.size();
}

sf_count_t memorySeek(sf_count_t offset, int whence, void* user)
{
    auto* file = static_cast<MemoryFile*>(user);
    const sf_count_t base = whence == SEEK_CUR ? file->position : whence == SEEK_END ? file->bytes.size() : 0;
    file->position = std::max<sf_count_t>(0, base + offset);
    return file->position;
}

sf_count_t memoryRead(void* data, sf_count_t count, void* user)
{
    auto* file = static_cast<MemoryFile*>(user);
    const sf_count_t available = std::max<sf_count_t>(0, file->bytes.size() - file->position);
    const sf_count_t got = std::min(count, available);
    std::memcpy(data, file->bytes.constData() + file->position, static_cast<std::size_t>(got));
    file->position += got;
    return got;
}

sf_count_t memoryWrite(const void* data, sf_count_t count, void* user)
{
    auto* file = static_cast<MemoryFile*>(user);
    const sf_count_t end = file->position + count;
    if (end > file->bytes.size())
        file->bytes.resize(static_cast<qsizetype>(end), '\0');
    std::memcpy(file->bytes.data() + file->position, data, static_cast<std::size_t>(count));
    file->position = end;
    return count;
}

sf_count_t memoryTell(void* user)
{
    return static_cast<MemoryFile*>(user)->position;
}

int subtypeOf(SampleDepth depth)
{
    switch (depth) {
    case SampleDepth::Int24:
        return SF_FORMAT_PCM_24;
    case SampleDepth::Float32:
        return SF_FORMAT_FLOAT;
    case SampleDepth::Int16:
        break;
    }
    return SF_FORMAT_PCM_16;
}

bool encodeWav(const Pcm& pcm, QByteArray& out, QString& error)
{
    SF_INFO info{};
    info.samplerate = pcm.rate;
    info.channels = pcm.channels;
    info.format = SF_FORMAT_WAV | subtypeOf(pcm.depth);
    if (pcm.rate < 1 || pcm.channels < 1 || !sf_format_check(&info)) {
        error = QStringLiteral("%1 channels at %2 Hz cannot be written as WAV").arg(pcm.channels).arg(pcm.rate);
        return false;
    }
    SF_VIRTUAL_IO io{memoryLength, memorySeek, memoryRead, memoryWrite, memoryTell};
    MemoryFile memory;
    SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &info, &memory);
    if (file == nullptr) {
        error = QStringLiteral("libsndfile: %1").arg(QString::fromLocal8Bit(sf_strerror(nullptr)));
        return false;
    }
    // Clipped rather than wrapped, should a sample stray past full scale.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const auto frames = static_cast<sf_count_t>(pcm.frames());
    const bool written = sf_writef_float(file, pcm.samples.data(), frames) == frames;
    const int closed = sf_close(file);
    if (!written || closed != 0) {
        error = QStringLiteral("libsndfile could not encode the samples");
        return false;
    }
    out = std::move(memory.bytes);
    return true;
}

// mkdir -p, telling which folder could not be made.
QString makeFolders(const QByteArray& folder)
{
    struct stat st
    {
    };
    if (::stat(folder.constData(), &st) == 0)
        return S_ISDIR(st.st_mode) ? QString() : callFailed("mkdir", folder, ENOTDIR);
    const qsizetype slash = folder.lastIndexOf('/');
    if (slash > 0) {
        const QString parent = makeFolders(folder.left(slash));
        if (!parent.isEmpty())
            return parent;
    }
    if (::mkdir(folder.constData(), 0755) != 0 && errno != EEXIST)
        return callFailed("mkdir", folder, errno);
    return QString();
}

// Gives the temporary file `target` as its name, unless a file of that name exists: the existing file is
// never replaced, not even by one racing us. Returns 0 or an errno.
int linkIntoPlace(const QByteArray& temporary, const QByteArray& target)
{
    if (::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without RENAME_NOREPLACE: link() refuses an existing name as well.
    if (::link(temporary.constData(), target.constData()) != 0)
        return errno;
    ::unlink(temporary.constData());
    return 0;
}

// What a crash in the middle of a save leaves: our temporary files, older than any save takes. Only regular
// files of exactly our name go, and nothing is followed through a link.
void removeStaleTemporaries(const QByteArray& folder)
{
    constexpr qint64 kStaleAfterSeconds = 600;
    const QDir dir(QFile::decodeName(folder));
    const QFileInfoList entries = dir.entryInfoList({QLatin1String(kTemporaryPrefix + 1) + QStringLiteral("??????")},
                                                    QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    const QDateTime staleBefore = QDateTime::currentDateTime().addSecs(-kStaleAfterSeconds);
    for (const QFileInfo& entry : entries) {
        if (entry.isFile() && !entry.isSymLink() && entry.lastModified() < staleBefore)
            ::unlink(QFile::encodeName(entry.absoluteFilePath()).constData());
    }
}

} // namespace

QString messageFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/WrenKeyer/messages");
}

QString safeFileStem(const QString& text, const QString& fallback)
{
    QString stem;
    for (const QChar c : text.trimmed()) {
        const char16_t u = c.unicode();
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '-' || u == '_')
            stem += c;
        else if (c.isSpace() && !stem.endsWith(QLatin1Char('_')))
            stem += QLatin1Char('_');
    }
    // A name starting with a dash would read as an option to a shell tool.
    if (stem.isEmpty() || stem.startsWith(QLatin1Char('-')))
        stem.prepend(fallback);
    return stem;
}

QString messageFileStem(const QString& caption, const QDateTime& when)
{
    return safeFileStem(caption) + QLatin1Char('_') + when.toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

QString saveNewWav(const QString& folder, const QString& stem, const Pcm& pcm, QString& error)
{
    QByteArray bytes;
    if (!encodeWav(pcm, bytes, error))
        return QString();
    const QByteArray where = QFile::encodeName(QFileInfo(folder).absoluteFilePath());
    error = makeFolders(where);
    if (!error.isEmpty())
        return QString();

    removeStaleTemporaries(where);
    // Hidden, so a file dialog never offers one caught by a crash.
    QByteArray temporary = where + kTemporaryPrefix + "XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = callFailed("mkostemp", temporary, errno);
        return QString();
    }
    const char* failedCall = nullptr;
    int failure = 0;
    if (::fchmod(fd, 0644) != 0)
        failedCall = "fchmod", failure = errno;
    else if (!writeAll(fd, bytes))
        failedCall = "write", failure = errno;
    else if (::fsync(fd) != 0)
        failedCall = "fsync", failure = errno;
    if (::close(fd) != 0 && failedCall == nullptr)
        failedCall = "close", failure = errno;
    if (failedCall != nullptr) {
        ::unlink(temporary.constData());
        error = callFailed(failedCall, temporary, failure);
        return QString();
    }

    const QByteArray base = where + '/' + QFile::encodeName(stem);
    for (int suffix = 1; suffix <= kMostNameSuffixes; ++suffix) {
        const QByteArray target = base + (suffix > 1 ? '-' + QByteArray::number(suffix) : QByteArray()) + ".wav";
        const int result = linkIntoPlace(temporary, target);
        if (result == EEXIST)
            continue;
        if (result != 0) {
            ::unlink(temporary.constData());
            error = callFailed("rename", target, result);
            return QString();
        }
        // The new name is only durable once the folder is on disk too.
        const int folderFd = ::open(where.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd >= 0) {
            ::fsync(folderFd);
            ::close(folderFd);
        }
        return QFile::decodeName(target);
    }
    ::unlink(temporary.constData());
    error = QStringLiteral("every name from %1.wav to %1-%2.wav is taken").arg(stem).arg(kMostNameSuffixes);
    return QString();
}

std::optional<Pcm> readSoundFile(const QString& path, QString& error, int maxSeconds)
{
    if (!QFileInfo(path).isFile()) {
        error = QStringLiteral("%1 is not a file").arg(path);
        return std::nullopt;
    }
    SF_INFO info{};
    const QByteArray name = QFile::encodeName(path);
    const std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(sf_open(name.constData(), SFM_READ, &info), sf_close);
    if (!file) {
        error =
            QStringLiteral("%1 cannot be read as sound: %2").arg(path, QString::fromLocal8Bit(sf_strerror(nullptr)));
        return std::nullopt;
    }
    // A header may claim anything; what it claims is checked before memory is taken for it.
    // The samples are held as float: no more than `maxSeconds` of 48 kHz stereo, whatever rate and channels
    // make them up, so no header can ask for gigabytes.
    const sf_count_t mostSamples = static_cast<sf_count_t>(std::max(maxSeconds, 0)) * 48000 * 2;
    if (info.channels < 1 || info.channels > 64 || info.samplerate < 1 || info.samplerate > 768000 || info.frames < 0) {
        error = QStringLiteral("%1 is not a sound file this program can work on (%2 channels, %3 Hz, %4 frames)")
                    .arg(path)
                    .arg(info.channels)
                    .arg(info.samplerate)
                    .arg(info.frames);
        return std::nullopt;
    }
    if (info.frames > static_cast<sf_count_t>(maxSeconds) * info.samplerate ||
        info.frames * info.channels > mostSamples) {
        error = QStringLiteral("%1 is too long to work on here: at most %2 seconds, as stereo at 48 kHz")
                    .arg(path)
                    .arg(maxSeconds);
        return std::nullopt;
    }
    Pcm pcm;
    pcm.rate = info.samplerate;
    pcm.channels = info.channels;
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    pcm.depth = subtype == SF_FORMAT_PCM_24 ? SampleDepth::Int24
                : subtype == SF_FORMAT_PCM_32 || subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE
                    ? SampleDepth::Float32
                    : SampleDepth::Int16;
    sf_command(file.get(), SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    pcm.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_float(file.get(), pcm.samples.data(), info.frames);
    if (got < 0 || sf_error(file.get()) != SF_ERR_NO_ERROR) {
        error = QStringLiteral("%1 cannot be read to its end").arg(path);
        return std::nullopt;
    }
    pcm.samples.resize(static_cast<std::size_t>(got * info.channels));
    return pcm;
}
