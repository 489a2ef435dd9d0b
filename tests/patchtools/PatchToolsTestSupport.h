// Helpers for the tests of the patch-clean command and the rewriter: scratch copies of built
// images, file bytes, captured output, what the process holds of a file, a lock holder.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <unistd.h>

namespace PatchToolsTest {

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

inline QString builtImageDir(const QString &name)
{
    return QStringLiteral(TQT_TEST_IMAGES_DIR "/") + name;
}

// Copies image, PDB and map of a built image into dir; returns the image's path there.
inline QString copyImage(const QString &name, const QString &dir, const QString &suffix = ".exe")
{
    for (const QString &ext : {suffix, QString(".pdb"), QString(".map")})
        QFile::copy(builtImageDir(name) + "/" + name + ext, dir + "/" + name + ext);
    return dir + "/" + name + suffix;
}

// RVAs by decorated name, from a map's name-list lines ("name rva\n").
inline QHash<QString, quint32> nameListRvas(const QByteArray &nameList)
{
    QHash<QString, quint32> rvas;
    for (const QByteArray &line : nameList.split('\n')) {
        const int blank = line.lastIndexOf(' ');
        if (blank > 0)
            rvas.insert(QString::fromLatin1(line.left(blank)),
                        line.mid(blank + 1).toUInt(nullptr, 16));
    }
    return rvas;
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

} // namespace PatchToolsTest
