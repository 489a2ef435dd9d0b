// Helpers for the driver's tests: scratch copies of built images, file bytes, captured output.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <iostream>
#include <sstream>

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

} // namespace PatchToolsTest
