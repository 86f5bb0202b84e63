#include "core/addslash.h"
#include "core/globals.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "tests/fakes/testenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kLine = QStringLiteral("PTT Line");

bool save(const QString& key, const QString& value)
{
    return SaveSetting(kAppTitle, kSettingsSection, key, value);
}

QString stored(const QString& key)
{
    return GetSetting(kAppTitle, kSettingsSection, key);
}

QByteArray bytesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Root passes every permission check, so a save can only be made to fail for it by the file system itself:
// a small tmpfs of this test's own, in a mount namespace of its own so that nothing outside sees it.
class ScratchMount
{
public:
    // Why mounting is impossible here; empty when it works.
    static QString unavailable()
    {
        static const QString why = [] {
            if (::unshare(CLONE_NEWNS) != 0)
                return QStringLiteral("no mount namespace of its own (%1)").arg(std::strerror(errno));
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                return QStringLiteral("mounts cannot be made private (%1)").arg(std::strerror(errno));
            return QString();
        }();
        return why;
    }

    explicit ScratchMount(const QString& folder, const char* options) : mFolder(QFile::encodeName(folder))
    {
        mMounted = ::mount("wrenkeyer-test", mFolder.constData(), "tmpfs", 0, options) == 0;
    }
    ~ScratchMount()
    {
        if (mMounted)
            ::umount2(mFolder.constData(), MNT_DETACH);
    }
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;

    bool mounted() const { return mMounted; }
    bool setReadOnly(bool readOnly)
    {
        const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
        return ::mount(nullptr, mFolder.constData(), nullptr, flags, nullptr) == 0;
    }
    // Fills the file system to the last block; false when it did not fill.
    bool fill()
    {
        QFile filler(QFile::decodeName(mFolder) + QStringLiteral("/filler"));
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return false;
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size()) {
        }
        return true;
    }
    void unfill() { QFile::remove(QFile::decodeName(mFolder) + QStringLiteral("/filler")); }

private:
    QByteArray mFolder;
    bool mMounted = false;
};

bool setImmutable(const QString& path, bool immutable)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void fileLivesInTheUsersConfigFolder()
    {
        TestEnv env;
        QCOMPARE(settingsFilePath(kAppTitle), env.configHome() + QStringLiteral("/WrenKeyer/Wren Voice Keyer.ini"));
    }

    void eachSaveReachesTheDisk()
    {
        TestEnv env;
        SaveSetting(kAppTitle, kSettingsSection, QStringLiteral("PTT Line"), QStringLiteral("DTR"));
        // Read the file behind the store's back: a kill right after the save must find it there.
        QSettings onDisk(env.settingsFile(), QSettings::IniFormat);
        QCOMPARE(onDisk.value(QStringLiteral("Settings/PTT Line")).toString(), QStringLiteral("DTR"));
    }

    // The program ends without static destructors, so anything the store keeps in the temporary folder
    // between saves would be left there at every exit.
    void nothingStaysInTheTemporaryFolder()
    {
        TestEnv env;
        QTemporaryDir temporary;
        QVERIFY(temporary.isValid());
        const QByteArray before = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(temporary.path()));
        SaveSetting(kAppTitle, kSettingsSection, QStringLiteral("PTT Line"), QStringLiteral("DTR"));
        const QString read = GetSetting(kAppTitle, kSettingsSection, QStringLiteral("PTT Line"));
        const QStringList left =
            QDir(temporary.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        if (before.isNull())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", before);
        QCOMPARE(read, QStringLiteral("DTR"));
        QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
    }

    void valuesSurviveAsTyped_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("blanks") << QStringLiteral("/home/op/My Recordings/cq  test.wav");
        QTest::newRow("quotes") << QStringLiteral("/home/op/\"odd\" name.wav");
        QTest::newRow("non-ascii") << QStringLiteral("/home/op/Grüße/ÅÄÖ-呼叫.wav");
        QTest::newRow("comma") << QStringLiteral("/home/op/a, b.wav");
        QTest::newRow("leading at") << QStringLiteral("@Variant(not really)");
        QTest::newRow("semicolon and hash") << QStringLiteral("a;b#c=d");
        QTest::newRow("only blanks") << QStringLiteral("   ");
        QTest::newRow("empty") << QString();
    }

    void valuesSurviveAsTyped()
    {
        QFETCH(QString, value);
        TestEnv env;
        SaveSetting(kAppTitle, kSettingsSection, QStringLiteral("Message 3"), value);
        QCOMPARE(GetSetting(kAppTitle, kSettingsSection, QStringLiteral("Message 3")), value);
        QSettings onDisk(env.settingsFile(), QSettings::IniFormat);
        QCOMPARE(onDisk.value(QStringLiteral("Settings/Message 3")).toString(), value);
    }

    // The INI reader splits an unquoted comma into a list; the program must see the text as it was typed.
    void handEditedValueIsReadAsTyped_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("expected");
        QTest::newRow("comma and blank") << QByteArray("[Settings]\nMessage%201=CQ, DX\n") << QStringLiteral("CQ, DX");
        QTest::newRow("bare comma") << QByteArray("[Settings]\nMessage%201=/a,b.wav\n") << QStringLiteral("/a,b.wav");
        QTest::newRow("two commas") << QByteArray("[Settings]\nMessage%201 = /a,,b.wav \n")
                                    << QStringLiteral("/a,,b.wav");
        QTest::newRow("blank in key") << QByteArray("[Settings]\nMessage 1=x,y\n") << QStringLiteral("x,y");
        QTest::newRow("other section first")
            << QByteArray("[Ports]\nMessage%201=p,q\n[Settings]\nMessage%201=/r,s.wav\n") << QStringLiteral("/r,s.wav");
    }

    void handEditedValueIsReadAsTyped()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, expected);
        TestEnv env;
        QVERIFY(env.writeSettingsBytes(file));
        QCOMPARE(GetSetting(kAppTitle, kSettingsSection, QStringLiteral("Message 1")), expected);
    }

    // A save that fails says what and why, and changes nothing on disk; the value holds for the run, and the
    // next save that can write brings it to the file.
    void failedSaveIsToldAndKeepsTheOldFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("error");
        QTest::newRow("full disk") << "full" << ENOSPC;
        QTest::newRow("read-only file system") << "read-only mount" << EROFS;
        QTest::newRow("immutable file") << "immutable" << EPERM;
        QTest::newRow("settings folder is a file") << "folder is a file" << ENOTDIR;
        if (::geteuid() != 0)
            QTest::newRow("read-only file") << "read-only file" << EACCES;
    }

    void failedSaveIsToldAndKeepsTheOldFile()
    {
        QFETCH(QString, kind);
        QFETCH(int, error);
        TestEnv env;
        const bool needsMount = kind == QLatin1String("full") || kind == QLatin1String("read-only mount") ||
                                kind == QLatin1String("immutable");
        std::unique_ptr<ScratchMount> mount;
        if (needsMount) {
            const QString why = ScratchMount::unavailable();
            if (!why.isEmpty())
                QSKIP(qPrintable(QStringLiteral("needs a private tmpfs, but this test has ") + why));
            mount = std::make_unique<ScratchMount>(env.configHome(), "size=64k");
            if (!mount->mounted())
                QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs: ") + std::strerror(errno)));
        }
        const QString folder = QFileInfo(env.settingsFile()).path();
        QString kept = env.settingsFile(); // the file that must stay as it was
        if (kind == QLatin1String("folder is a file")) {
            QVERIFY(buildTree(env.configHome(), {QStringLiteral("WrenKeyer=not a folder")}));
            kept = folder;
        } else {
            QVERIFY(save(kLine, QStringLiteral("DTR")));
        }
        const QByteArray before = bytesOf(kept);
        QVERIFY(!before.isEmpty());

        if (kind == QLatin1String("full"))
            QVERIFY(mount->fill());
        else if (kind == QLatin1String("read-only mount"))
            QVERIFY(mount->setReadOnly(true));
        else if (kind == QLatin1String("immutable") && !setImmutable(env.settingsFile(), true))
            QSKIP("the tmpfs here takes no immutable flag");
        else if (kind == QLatin1String("read-only file"))
            QVERIFY(QFile::setPermissions(env.settingsFile(), QFileDevice::ReadOwner));
        MessageBoxes::asked().clear();

        QVERIFY(!save(kLine, QStringLiteral("RTS")));

        QCOMPARE(MessageBoxes::asked().size(), 1);
        const MessageBoxes::Asked& box = MessageBoxes::asked().first();
        QCOMPARE(box.style, 48);
        QCOMPARE(box.title, kAppTitle);
        QVERIFY2(box.text.contains(QStringLiteral("could not be saved: PTT Line.")), qPrintable(box.text));
        QVERIFY2(box.text.contains(QStringLiteral("File: ") + env.settingsFile()), qPrintable(box.text));
        QVERIFY2(box.text.contains(QStringLiteral("Reason: %1.").arg(std::strerror(error))), qPrintable(box.text));
        QCOMPARE(bytesOf(kept), before);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".ini.")), QStringList());
        QCOMPARE(stored(kLine), QStringLiteral("RTS"));

        // Mended, the next save writes what this run holds.
        if (kind == QLatin1String("full"))
            mount->unfill();
        else if (kind == QLatin1String("read-only mount"))
            QVERIFY(mount->setReadOnly(false));
        else if (kind == QLatin1String("immutable"))
            QVERIFY(setImmutable(env.settingsFile(), false));
        else if (kind == QLatin1String("read-only file"))
            QVERIFY(QFile::setPermissions(env.settingsFile(), QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        else
            QVERIFY(QFile::remove(folder));
        QVERIFY(save(QStringLiteral("Always On Top"), QStringLiteral("Yes")));
        QSettings onDisk(env.settingsFile(), QSettings::IniFormat);
        QCOMPARE(onDisk.value(QStringLiteral("Settings/PTT Line")).toString(), QStringLiteral("RTS"));
        QCOMPARE(onDisk.value(QStringLiteral("Settings/Always On Top")).toString(), QStringLiteral("Yes"));
    }

    // Only a regular file is ever replaced; a link to one is written through and stays a link.
    void savingGoesOnlyToARegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("refusal"); // empty: the save goes through
        QTest::newRow("link to a file") << "link to file"
                                        << "";
        QTest::newRow("dangling link") << "dangling link"
                                       << "";
        QTest::newRow("link to a FIFO") << "link to fifo"
                                        << "which is a FIFO, not a regular file";
        QTest::newRow("link to a folder") << "link to folder"
                                          << "which is a folder, not a regular file";
        QTest::newRow("FIFO") << "fifo"
                              << "it is a FIFO, not a regular file";
        QTest::newRow("folder") << "folder"
                                << "it is a folder, not a regular file";
    }

    void savingGoesOnlyToARegularFile()
    {
        QFETCH(QString, kind);
        QFETCH(QString, refusal);
        TestEnv env;
        const QString path = env.settingsFile();
        const QString target = env.configHome() + QStringLiteral("/dotfiles/wren.ini");
        QVERIFY(QDir().mkpath(QFileInfo(path).path()) && QDir().mkpath(QFileInfo(target).path()));
        const QByteArray fileBefore("[Settings]\nComm%20Port=2\n");
        if (kind.startsWith(QLatin1String("link")) || kind == QLatin1String("dangling link"))
            QVERIFY(QFile::link(QStringLiteral("../dotfiles/wren.ini"), path));
        const bool fifo = kind.endsWith(QLatin1String("fifo"));
        const bool folder = kind.endsWith(QLatin1String("folder"));
        const QString special = kind.startsWith(QLatin1String("link")) ? target : path;
        if (fifo)
            QCOMPARE(::mkfifo(QFile::encodeName(special).constData(), 0600), 0);
        if (folder)
            QVERIFY(QDir().mkpath(special));
        if (kind == QLatin1String("link to file")) {
            QFile file(target);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(fileBefore) == fileBefore.size());
        }

        // Neither reading nor saving may open a FIFO: nobody writes to it, so the open would never return.
        const bool saved = save(kLine, QStringLiteral("DTR"));

        QCOMPARE(saved, refusal.isEmpty());
        if (refusal.isEmpty()) {
            QVERIFY(MessageBoxes::asked().isEmpty());
            QVERIFY(QFileInfo(path).isSymLink());
            QSettings onDisk(target, QSettings::IniFormat);
            QCOMPARE(onDisk.value(QStringLiteral("Settings/PTT Line")).toString(), QStringLiteral("DTR"));
            if (kind == QLatin1String("link to file"))
                QCOMPARE(onDisk.value(QStringLiteral("Settings/Comm Port")).toString(), QStringLiteral("2"));
            return;
        }
        QCOMPARE(MessageBoxes::asked().size(), 1);
        QCOMPARE(MessageBoxes::asked().first().style, 48);
        QVERIFY2(MessageBoxes::asked().first().text.contains(refusal), qPrintable(MessageBoxes::asked().first().text));
        struct stat st
        {
        };
        QCOMPARE(::stat(QFile::encodeName(special).constData(), &st), 0);
        QVERIFY(fifo ? S_ISFIFO(st.st_mode) : S_ISDIR(st.st_mode));
        QCOMPARE(stored(kLine), QStringLiteral("DTR"));
        QCOMPARE(quarantineUnreadableSettings(kAppTitle), QString());
    }

    void unreadableFileIsMovedAsideNotLost_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("unreadable");
        QTest::newRow("binary") << QByteArray("\x00\x01\x02garbage\xff\xfe", 13) << true;
        QTest::newRow("invalid utf-8") << QByteArray("[Settings]\nComm%20Port=\xc3\x28\n") << true;
        QTest::newRow("valid") << QByteArray("[Settings]\nComm%20Port=3\n") << false;
        QTest::newRow("empty file") << QByteArray() << false;
    }

    void unreadableFileIsMovedAsideNotLost()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, unreadable);
        TestEnv env;
        QVERIFY(env.writeSettingsBytes(content));

        const QString aside = quarantineUnreadableSettings(kAppTitle);
        if (!unreadable) {
            QVERIFY(aside.isEmpty());
            QCOMPARE(env.settingsBytes(), content);
            return;
        }
        QVERIFY(!aside.isEmpty());
        QVERIFY(!QFile::exists(env.settingsFile()));
        QFile kept(aside);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);
        // The store starts empty and works again.
        QVERIFY(GetSetting(kAppTitle, kSettingsSection, QStringLiteral("Comm Port")).isEmpty());
        SaveSetting(kAppTitle, kSettingsSection, QStringLiteral("Comm Port"), QStringLiteral("None"));
        QCOMPARE(GetSetting(kAppTitle, kSettingsSection, QStringLiteral("Comm Port")), QStringLiteral("None"));
    }

    void addSlash_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::newRow("folder") << QStringLiteral("/opt/wrenkeyer") << QStringLiteral("/opt/wrenkeyer/");
        QTest::newRow("already") << QStringLiteral("/opt/wrenkeyer/") << QStringLiteral("/opt/wrenkeyer/");
        QTest::newRow("root") << QStringLiteral("/") << QStringLiteral("/");
        QTest::newRow("empty") << QString() << QStringLiteral("/");
        QTest::newRow("blank at end") << QStringLiteral("/tmp/a ") << QStringLiteral("/tmp/a /");
    }

    void addSlash()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QCOMPARE(AddSlash(path), expected);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
