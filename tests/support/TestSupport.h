// What the tests share: built test images and scratch copies of them, file bytes, the built tool
// run as a process in a scratch folder with its own settings, raw SQLite access to a database,
// scoped environment changes, captured output and a lock holder.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QMultiHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <ostream>
#include <sstream>
#include <unistd.h>
#include <utility>
#include <vector>

// Texts and bytes in failure messages as text.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QByteArray &bytes, std::ostream *out)
{
    *out << '"' << bytes.toStdString() << '"';
}

namespace TestSupport {

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

inline QString builtImageDir(const QString &name)
{
    return QStringLiteral(TQT_TEST_IMAGES_DIR "/") + name;
}

class CoutCapture
{
public:
    CoutCapture() : old(std::cout.rdbuf(buffer.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(old); }
    CoutCapture(const CoutCapture &) = delete;
    CoutCapture &operator=(const CoutCapture &) = delete;

    QString text() const { return QString::fromStdString(buffer.str()); }

private:
    std::ostringstream buffer;
    std::streambuf *old;
};

// Descriptors of this process that refer to the file.
inline int descriptorsTo(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    for (const QFileInfo &fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files))
        count += !target.isEmpty() && fd.symLinkTarget() == target;
    return count;
}

inline bool mapped(const QString &path)
{
    std::ifstream maps("/proc/self/maps");
    const std::string target = QFileInfo(path).canonicalFilePath().toStdString();
    for (std::string line; !target.empty() && std::getline(maps, line);)
        if (line.find(target) != std::string::npos)
            return true;
    return false;
}

// The write lock on the whole file that a patcher takes, held from a descriptor of its own (as
// another program would), close-on-exec so that no child inherits it.
class FileLock
{
public:
    explicit FileLock(const QString &path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC))
    {
        struct flock whole = {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        locked = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &whole) == 0;
    }
    ~FileLock() { release(); }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    void release()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    bool locked = false;

private:
    int fd;
};

// Sets or unsets environment variables for one scope and puts the old state back afterwards.
class ScopedEnv
{
public:
    using Value = std::optional<QByteArray>;
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;
    ~ScopedEnv()
    {
        for (auto it = saved.rbegin(); it != saved.rend(); ++it)
            apply(it->first, it->second);
    }
    void set(const std::vector<std::pair<const char *, Value>> &values)
    {
        for (const auto &[name, value] : values) {
            saved.emplace_back(name, qEnvironmentVariableIsSet(name) ? qgetenv(name) : Value());
            apply(name, value);
        }
    }

private:
    static void apply(const char *name, const Value &value)
    {
        value ? qputenv(name, *value) : qunsetenv(name);
    }
    std::vector<std::pair<const char *, Value>> saved;
};

// A script named like an executable of the product; `interpreter` after "#!".
inline QString writeScript(const QString &path, const QByteArray &body,
                           const QByteArray &interpreter = "/bin/sh")
{
    writeFile(path, "#!" + interpreter + "\n" + body + "\n");
    QFile::setPermissions(path,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

const QString Tool = QStringLiteral(TQT_BIN_DIR "/tqt_patchclean.exe");
const QString VsCommon = QStringLiteral(TQT_VS_COMMON_DIR);
const QString NotResolved = QStringLiteral("not resolved yet");

struct Entry
{
    quint32 address = 0;
    QString name;
    QString sourceFile;
    quint64 oldBytes = 0;

    bool operator==(const Entry &o) const
    {
        return address == o.address && name == o.name && sourceFile == o.sourceFile &&
               oldBytes == o.oldBytes;
    }
};

// Runs SQL on the database with SQLite directly; the rows of its last statement as text. Only
// `write` opens the file for writing (and creates it); an empty list when it cannot be opened.
inline QList<QStringList> query(const QString &dbPath, const QString &sql, bool write = false,
                                bool *ok = nullptr)
{
    QList<QStringList> rows;
    sqlite3 *db = nullptr;
    const auto collect = [](void *out, int n, char **values, char **) {
        QStringList row;
        for (int i = 0; i < n; ++i)
            row << QString::fromUtf8(values[i]);
        static_cast<QList<QStringList> *>(out)->append(row);
        return 0;
    };
    const int flags = write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    const bool done =
        sqlite3_open_v2(dbPath.toUtf8().constData(), &db, flags, nullptr) == SQLITE_OK &&
        sqlite3_busy_timeout(db, 10000) == SQLITE_OK &&
        sqlite3_exec(db, sql.toUtf8().constData(), collect, &rows, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    if (ok)
        *ok = done;
    return rows;
}

inline bool execSql(const QString &dbPath, const QString &sql)
{
    bool ok = false;
    query(dbPath, sql, true, &ok);
    return ok;
}

// The database's entries by address.
inline QMap<quint32, Entry> readEntries(const QString &dbPath)
{
    QMap<quint32, Entry> entries;
    for (const QStringList &r :
         query(dbPath, "SELECT address, name, source_file, old_bytes FROM functions"))
        entries.insert(r.at(0).toUInt(),
                       {r.at(0).toUInt(), r.at(1), r.at(2), r.at(3).toULongLong()});
    return entries;
}

inline QString readTimestamp(const QString &dbPath)
{
    return query(dbPath, "SELECT value FROM meta WHERE key = 'executable_timestamp'")
        .value(0)
        .value(0);
}

// Rewrites names and source files as a resolve run would have.
inline bool setNames(const QString &dbPath, const QString &name, const QString &sourceFile)
{
    return execSql(dbPath, QString("UPDATE functions SET name = '%1' || printf('%x', address), "
                                   "source_file = '%2'")
                               .arg(name, sourceFile));
}

// RVAs by decorated name from the name-list file.
inline QMultiHash<quint32, QString> nameList(const QString &path)
{
    QMultiHash<quint32, QString> names;
    for (const QByteArray &line : readFile(path).split('\n')) {
        const int blank = line.lastIndexOf(' ');
        if (blank > 0)
            names.insert(line.mid(blank + 1).toUInt(nullptr, 16),
                         QString::fromLatin1(line.left(blank)));
    }
    return names;
}

struct RunOutput
{
    int exitCode = -1;
    QString out; // standard output, and standard error unless asked for apart
    QString err;
};

// A scratch folder holding copies of built images, the settings folders and the working
// directory of the tool.
class Scratch
{
public:
    Scratch()
    {
        EXPECT_TRUE(dir.isValid());
        for (const char *name : {"home", "config", "appdata", "tracing", "cwd", "tmp"})
            QDir(dir.path()).mkpath(name);
        env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", path("home"));
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("APPDATA", path("appdata"));
        env.insert("TQ_TRACING", path("tracing"));
        // A run killed on purpose leaves its private copy of the name list in here.
        env.insert("TMPDIR", path("tmp"));
        // No resolve run unless a test asks for one.
        env.insert("TQ_VELMORA", path("no-such-folder"));
    }
    ~Scratch()
    {
        // A detached resolve run may still be working in here.
        if (resolveAllowed)
            waitForResolve(15000);
    }

    QString path(const QString &relative = QString()) const
    {
        return relative.isEmpty() ? dir.path() : dir.filePath(relative);
    }

    // Copies image, PDB and map of a built image; returns the image's path.
    QString copyImage(const QString &name, const QString &suffix = ".exe")
    {
        for (const QString &ext : {suffix, QString(".pdb"), QString(".map")})
            QFile::copy(builtImageDir(name) + "/" + name + ext, path(name + ext));
        return path(name + suffix);
    }

    void allowResolve()
    {
        env.insert("TQ_VELMORA", QStringLiteral(TQT_BIN_DIR));
        resolveAllowed = true;
    }

    // Starts the tool with this folder's environment; the caller waits for it.
    void start(QProcess &p, const QStringList &args,
               QProcess::ProcessChannelMode channels = QProcess::MergedChannels)
    {
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(path("cwd"));
        p.setProcessChannelMode(channels);
        if (wrapper.isEmpty())
            p.start(Tool, args);
        else
            p.start(wrapper.first(), wrapper.mid(1) + QStringList(Tool) + args);
        started = true;
    }

    RunOutput run(const QStringList &args, int timeoutMs = 60000,
                  QProcess::ProcessChannelMode channels = QProcess::MergedChannels)
    {
        QProcess p;
        start(p, args, channels);
        RunOutput r;
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished();
            ADD_FAILURE() << "the tool did not finish in time";
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }

    // Waits until no entry of the database holds the placeholder; false when time runs out.
    bool waitForResolve(int timeoutMs, const QString &db = QString())
    {
        const QString dbPath = db.isEmpty() ? lastDb : db;
        if (!started || dbPath.isEmpty() || !QFileInfo::exists(dbPath))
            return true;
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            bool pending = false;
            for (const Entry &e : readEntries(dbPath))
                pending = pending || e.name == NotResolved || e.sourceFile == NotResolved;
            if (!pending)
                return true;
            if (timer.elapsed() > timeoutMs)
                return false;
            QThread::msleep(50);
        }
    }

    QTemporaryDir dir;
    QProcessEnvironment env;
    QStringList wrapper; // a command that runs the tool, such as a shell setting a limit
    QString lastDb;
    bool started = false;
    bool resolveAllowed = false;
};

// Programs other than the tool, and files that need no folder of their own (tests of
// patchdb, patchtools and rewriter).

// Runs a program to its end; standard error merged into the output unless asked apart.
inline RunOutput
runProgram(const QString &program, const QStringList &args, bool merged = true,
           const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
           const QString &workingDir = QString())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(workingDir);
    p.setProcessChannelMode(merged ? QProcess::MergedChannels : QProcess::SeparateChannels);
    p.start(program, args);
    EXPECT_TRUE(p.waitForFinished(120000)) << program.toStdString();
    RunOutput r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// A file with the given bytes in a folder that lasts as long as the test program.
inline QString scratchFile(const QString &name, const QByteArray &bytes)
{
    static QTemporaryDir dir;
    EXPECT_TRUE(writeFile(dir.filePath(name), bytes));
    return dir.filePath(name);
}

// Polls `done` until it holds or time runs out; whether it held.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(5);
    }
    return true;
}

inline QByteArray noise(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// An earlier clean of the image into the database, its entries named as a resolve run would
// name them, and then (`linkAgain`) the image's linked bytes put back: a run that gets through
// rewrites every entry.
inline bool cleanEarlier(Scratch &s, const QString &exe, const QString &db, bool linkAgain = true)
{
    const QByteArray linked = readFile(exe);
    s.lastDb = db;
    return s.run({exe, db, VsCommon}).exitCode == 0 && setNames(db, "earlier_", "earlier.cpp") &&
           (!linkAgain || writeFile(exe, linked));
}

} // namespace TestSupport
