#include "settings.h"

#include "core/fileio.h"
#include "core/globals.h"
#include "core/toolkit.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMap>
#include <QSettings>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStringList>
#include <QTemporaryDir>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kOrganisation = QStringLiteral("WrenKeyer");
// Links are followed this deep, as the kernel does, before the chain counts as a loop.
constexpr int kMaxLinkDepth = 40;

QString keyPath(const QString& section, const QString& key)
{
    return section + QLatin1Char('/') + key;
}

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool looksLikeText(const QByteArray& bytes)
{
    if (bytes.contains('\0'))
        return false;
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString decoded = decoder.decode(bytes);
    return !decoder.hasError();
}

// ---- The file itself. Only a regular file is ever opened: a FIFO would block the reader and a device
// node may be a serial port, whose open alone raises its lines.

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("no regular file");
}

struct StorePath
{
    QByteArray target; // the file a save replaces: the path, or where its links lead
    bool exists = false;
    mode_t mode = 0;
    QString problem; // why it cannot hold the settings; empty when it can
};

// Follows links one step at a time, so that a dangling link still names the file a save creates.
StorePath resolveStorePath(const QString& path)
{
    StorePath result;
    result.target = QFile::encodeName(path);
    for (int depth = 0; depth <= kMaxLinkDepth; ++depth) {
        struct stat st
        {
        };
        if (::lstat(result.target.constData(), &st) != 0) {
            // Missing, or below something that is not a folder: a save finds out which, with its reason.
            if (errno != ENOENT && errno != ENOTDIR)
                result.problem = systemReason(errno);
            return result;
        }
        if (!S_ISLNK(st.st_mode)) {
            result.exists = true;
            result.mode = st.st_mode;
            if (!S_ISREG(st.st_mode)) {
                const QString target = QFile::decodeName(result.target);
                result.problem = target == path ? QStringLiteral("it is %1, not a regular file").arg(kindOf(st.st_mode))
                                                : QStringLiteral("it leads to %1, which is %2, not a regular file")
                                                      .arg(target, kindOf(st.st_mode));
            }
            return result;
        }
        QByteArray link(st.st_size > 0 ? st.st_size + 1 : PATH_MAX, '\0');
        const ssize_t length = ::readlink(result.target.constData(), link.data(), link.size());
        if (length < 0) {
            result.problem = systemReason(errno);
            return result;
        }
        link.truncate(length);
        if (!link.startsWith('/')) {
            const qsizetype slash = result.target.lastIndexOf('/');
            link.prepend(slash >= 0 ? result.target.left(slash + 1) : QByteArray());
        }
        result.target = link;
    }
    result.problem = systemReason(ELOOP);
    return result;
}

struct FileRead
{
    bool exists = false;
    QByteArray bytes;
    QString problem;         // why the path holds no settings that can be read
    bool unreadable = false; // a regular file whose reading failed: replacing it would lose it
};

FileRead readStoreFile(const QString& path)
{
    FileRead read;
    const StorePath where = resolveStorePath(path);
    read.exists = where.exists;
    read.problem = where.problem;
    if (!where.exists || !where.problem.isEmpty())
        return read;
    read.unreadable = true;
    const int fd = ::open(where.target.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        read.problem = systemReason(errno);
        return read;
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        read.problem = QStringLiteral("it changed into %1 while being read").arg(kindOf(st.st_mode));
        read.unreadable = false;
        ::close(fd);
        return read;
    }
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            read.problem = systemReason(errno);
        if (got <= 0)
            break;
        read.bytes.append(buffer, got);
    }
    ::close(fd);
    read.unreadable = !read.problem.isEmpty();
    return read;
}

// Makes every missing folder of `folder`; 0 or the errno of the step that failed.
int makeFolders(const QByteArray& folder)
{
    for (qsizetype end = 1; end <= folder.size(); ++end) {
        if (end < folder.size() && folder.at(end) != '/')
            continue;
        const QByteArray part = folder.left(end);
        if (::mkdir(part.constData(), 0700) == 0 || errno != EEXIST)
            continue;
        struct stat st
        {
        };
        if (::stat(part.constData(), &st) != 0)
            return errno;
        if (!S_ISDIR(st.st_mode))
            return ENOTDIR;
    }
    struct stat st
    {
    };
    if (::stat(folder.constData(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// Writes `bytes` as the whole new content of the file at `path`: into a new file beside the target, then
// renamed over it. Returns why it failed; empty on success. The old file is untouched on any failure.
QString replaceFile(const QString& path, const QByteArray& bytes)
{
    const StorePath where = resolveStorePath(path);
    if (!where.problem.isEmpty())
        return where.problem;
    const qsizetype slash = where.target.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? where.target.left(slash) : QByteArrayLiteral("/");
    if (!where.exists) {
        if (const int error = makeFolders(folder))
            return systemReason(error);
    } else if (::access(where.target.constData(), W_OK) != 0) {
        // A file made read-only, or immutable, keeps what it holds.
        return systemReason(errno);
    }

    QByteArray temporary = where.target + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return systemReason(errno);
    const mode_t mode = where.exists ? (where.mode & 07777) : 0644;
    int error = 0;
    if (::fchmod(fd, mode) != 0 || !writeAll(fd, bytes) || ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.constData(), where.target.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.constData());
        return systemReason(error);
    }
    // The rename is only durable once the folder is on disk too.
    const int folderFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return QString();
}

// ---- Reading and writing the INI text. QSettings does both, but only on a file it names itself, and it
// would replace whatever the path holds, device or not, and tell no reason when that fails. So it works
// on private copies here, and only the code above touches the real file.

// A folder of its own for each use, gone when the use ends: one kept for the run would stay behind in the
// temporary folder at every exit, since the program ends without running static destructors.
// A fresh name each time: QSettings keeps what it read of a file and trusts it while size and time agree.
QString stagingFile(const QTemporaryDir& folder)
{
    static int counter = 0;
    return folder.isValid() ? folder.filePath(QStringLiteral("copy-%1.ini").arg(++counter)) : QString();
}

bool writeStaging(const QString& file, const QByteArray& bytes)
{
    QFile out(file);
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.flush();
}

// The text after "key=" in `section`, as it stands in the file. Keys and sections are compared after
// undoing the store's percent escapes, so "Comm%20Port" and a hand-typed "Comm Port" both match.
QString rawValueIn(const QByteArray& bytes, const QString& section, const QString& key)
{
    const auto unescaped = [](const QByteArray& text) {
        return QString::fromUtf8(QByteArray::fromPercentEncoding(text.trimmed()));
    };
    QString current;
    QString found;
    for (const QByteArray& raw : bytes.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[') && line.endsWith(']')) {
            current = unescaped(line.mid(1, line.size() - 2));
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals > 0 && current == section && unescaped(line.left(equals)) == key)
            found = QString::fromUtf8(line.mid(equals + 1).trimmed()); // the reader keeps the last of repeats
    }
    return found;
}

struct Parsed
{
    QMap<QString, QString> values; // "section/key" -> value
    bool ok = true;
};

Parsed parseIni(const QByteArray& bytes)
{
    Parsed parsed;
    if (bytes.isEmpty())
        return parsed;
    const QTemporaryDir folder;
    const QString file = stagingFile(folder);
    if (file.isEmpty() || !writeStaging(file, bytes)) {
        parsed.ok = false;
        return parsed;
    }
    {
        QSettings ini(file, QSettings::IniFormat);
        for (const QString& name : ini.allKeys()) {
            const QVariant value = ini.value(name);
            // An unquoted comma in a hand-edited file makes the INI reader split the value into a list, and
            // rejoining the parts cannot know what stood between them: take the text as it stands.
            if (value.typeId() == QMetaType::QStringList) {
                const qsizetype slash = name.indexOf(QLatin1Char('/'));
                parsed.values.insert(name, rawValueIn(bytes, name.left(slash), name.mid(slash + 1)));
            } else {
                parsed.values.insert(name, value.toString());
            }
        }
        parsed.ok = ini.status() != QSettings::FormatError;
    }
    QFile::remove(file);
    return parsed;
}

// `bytes` with `changes` written in, as QSettings writes an INI file; empty with `ok` false on failure.
QByteArray mergedIni(const QByteArray& bytes, const QMap<QString, QString>& changes, bool& ok)
{
    ok = false;
    const QTemporaryDir folder;
    const QString file = stagingFile(folder);
    if (file.isEmpty() || !writeStaging(file, bytes))
        return {};
    {
        QSettings ini(file, QSettings::IniFormat);
        for (auto it = changes.cbegin(); it != changes.cend(); ++it)
            ini.setValue(it.key(), it.value());
        ini.sync();
        ok = ini.status() == QSettings::NoError;
    }
    QFile merged(file);
    QByteArray result;
    if (ok && merged.open(QIODevice::ReadOnly))
        result = merged.readAll();
    else
        ok = false;
    merged.close();
    QFile::remove(file);
    return result;
}

// ---- The store: what the file holds, and what this run changed that it does not hold yet.

struct Store
{
    QString path;
    bool loaded = false;
    QByteArray bytes; // the file's content when last read
    FileRead lastRead;
    QMap<QString, QString> values;
    QMap<QString, QString> unsaved;
};

Store& theStore()
{
    static Store store;
    return store;
}

// Open SettingsBatch objects; kept apart from the store, which starts afresh when the file's path changes.
int gBatchDepth = 0;

// Brings the store up to date with the file; parses it again only when its content changed.
Store& refreshed(const QString& path)
{
    Store& store = theStore();
    if (path != store.path) {
        store = Store{};
        store.path = path;
    }
    store.lastRead = readStoreFile(path);
    if (store.loaded && store.lastRead.bytes == store.bytes)
        return store;
    store.bytes = store.lastRead.bytes;
    store.values = parseIni(store.bytes).values;
    store.loaded = true;
    return store;
}

QString describeKeys(const QStringList& names)
{
    QStringList shown;
    for (const QString& name : names) {
        const qsizetype slash = name.indexOf(QLatin1Char('/'));
        shown << (name.left(slash) == kSettingsSection ? name.mid(slash + 1) : name);
    }
    return shown.join(QStringLiteral(", "));
}

// Writes every unsaved value; on failure keeps them for this run and tells the operator why.
bool saveUnsaved()
{
    Store& store = theStore();
    if (store.unsaved.isEmpty())
        return true;
    // Another copy of the program saving at the same moment must not lose what this one writes, nor the
    // reverse: the same lock as QSettings takes, held while the file is read, merged and replaced.
    QLockFile lock(store.path + QStringLiteral(".lock"));
    (void)lock.tryLock(2000);
    refreshed(store.path);

    QString reason;
    QByteArray next;
    if (!store.lastRead.problem.isEmpty()) {
        reason = store.lastRead.unreadable
                     ? QStringLiteral("it could not be read (%1), and saving would lose what it holds")
                           .arg(store.lastRead.problem)
                     : store.lastRead.problem;
    } else {
        bool merged = false;
        next = mergedIni(store.bytes, store.unsaved, merged);
        if (!merged)
            reason = QStringLiteral("no room for a temporary copy in %1").arg(QDir::tempPath());
    }
    if (reason.isEmpty())
        reason = replaceFile(store.path, next);
    if (reason.isEmpty()) {
        for (auto it = store.unsaved.cbegin(); it != store.unsaved.cend(); ++it)
            store.values.insert(it.key(), it.value());
        store.unsaved.clear();
        store.bytes = next;
        return true;
    }

    const QStringList names = store.unsaved.keys();
    MsgBox(QStringLiteral("These settings could not be saved: %1.\nFile: %2\nReason: %3.\nThey hold until the "
                          "program ends; the file keeps what it held.")
               .arg(describeKeys(names), store.path, reason),
           MsgStyle::Exclamation, kAppTitle);
    return false;
}

} // namespace

QString settingsFilePath(const QString& appName)
{
    // Where QSettings keeps a user's INI file, worked out without a QSettings: constructing one reads the
    // file, and that must not happen before the file is known to be a regular one.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') + kOrganisation +
           QLatin1Char('/') + (appName.isEmpty() ? kAppTitle : appName) + QStringLiteral(".ini");
}

QString GetSetting(const QString& appName, const QString& section, const QString& key)
{
    const Store& store = refreshed(settingsFilePath(appName));
    const QString name = keyPath(section, key);
    const auto unsaved = store.unsaved.constFind(name);
    return unsaved != store.unsaved.cend() ? *unsaved : store.values.value(name);
}

bool SettingStored(const QString& appName, const QString& section, const QString& key)
{
    const Store& store = refreshed(settingsFilePath(appName));
    const QString name = keyPath(section, key);
    return store.unsaved.contains(name) || store.values.contains(name);
}

bool SaveSetting(const QString& appName, const QString& section, const QString& key, const QString& value)
{
    Store& store = refreshed(settingsFilePath(appName));
    const QString name = keyPath(section, key);
    // Writing what the file already holds would only rewrite it.
    if (store.values.contains(name) && store.values.value(name) == value) {
        store.unsaved.remove(name);
        return true;
    }
    store.unsaved.insert(name, value);
    if (gBatchDepth > 0)
        return true;
    return saveUnsaved();
}

SettingsBatch::SettingsBatch()
{
    ++gBatchDepth;
}

SettingsBatch::~SettingsBatch()
{
    if (mOpen)
        commit();
}

bool SettingsBatch::commit()
{
    if (!mOpen)
        return true;
    mOpen = false;
    if (--gBatchDepth > 0)
        return true;
    return saveUnsaved();
}

QString quarantineUnreadableSettings(const QString& appName)
{
    const QString path = settingsFilePath(appName);
    const FileRead read = readStoreFile(path);
    // What is no regular file is left where it is: a save says so instead.
    if (!read.exists || !read.problem.isEmpty())
        return {};
    if (looksLikeText(read.bytes) && parseIni(read.bytes).ok)
        return {};

    const QString aside = path + QStringLiteral(".unreadable-") +
                          QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (!QFile::rename(path, aside))
        return {};
    theStore() = Store{};
    return aside;
}
