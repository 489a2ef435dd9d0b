// Helpers for the rewriter tests: what the process holds of a file, captured output, lock holders.
#pragma once

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <unistd.h>

namespace RewriterTest {

// Descriptors of this process that refer to the file.
inline int descriptorsTo(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    if (target.isEmpty())
        return 0;
    for (const QFileInfo &fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files))
        if (fd.symLinkTarget() == target)
            ++count;
    return count;
}

inline bool mapped(const QString &path)
{
    std::ifstream maps("/proc/self/maps");
    const std::string target = QFileInfo(path).canonicalFilePath().toStdString();
    if (target.empty())
        return false;
    for (std::string line; std::getline(maps, line);)
        if (line.find(target) != std::string::npos)
            return true;
    return false;
}

class CoutCapture
{
public:
    CoutCapture() : previous(std::cout.rdbuf(buffer.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(previous); }
    std::string text() const { return buffer.str(); }

private:
    std::ostringstream buffer;
    std::streambuf *previous;
};

// Holds the kind of lock a patcher takes, from a descriptor of its own.
class LockHolder
{
public:
    explicit LockHolder(const QString &path) : fd(::open(path.toUtf8().constData(), O_RDWR))
    {
        struct flock whole = {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        locked = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &whole) == 0;
    }
    ~LockHolder() { release(); }
    bool isLocked() const { return locked; }
    void release()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        locked = false;
    }

private:
    int fd;
    bool locked = false;
};

} // namespace RewriterTest
