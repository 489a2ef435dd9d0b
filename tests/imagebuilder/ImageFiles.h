// Just enough of a test image's map and PE file to check what the builder promises: the
// Microsoft linker's map layout, the load address and the hook calls. Every read is bounded.
#pragma once

#include "TestSupport.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSet>
#include <QtEndian>

namespace ImageFiles {

struct MapSymbol
{
    QString name, object;
    quint32 address = 0;
    bool function = false;
};

// The lines of the map's two symbol lists; a line out of the layout fails the calling test.
inline QList<MapSymbol> mapSymbols(const QByteArray &map)
{
    static const QRegularExpression symbol(
        "^ [0-9a-f]{4}:[0-9a-f]{8} {7}(\\S+)( +)([0-9a-f]{8}) ([f ])   (\\S.*)$");
    EXPECT_TRUE(map.endsWith("\r\n") && map.count("\r\n") == map.count('\n'));
    QList<MapSymbol> out;
    bool inList = false;
    for (QByteArray line : map.split('\n')) {
        line.chop(line.endsWith('\r') ? 1 : 0);
        if (line.contains("Publics by Value") || line == " Static symbols" ||
            line.startsWith(" entry point at"))
            inList = !line.startsWith(" entry");
        else if (inList && !line.isEmpty()) {
            const QRegularExpressionMatch m = symbol.match(QString::fromLatin1(line));
            // The name at column 21, padded to column 48 or followed by one blank.
            EXPECT_TRUE(m.hasMatch() && m.capturedLength(2) == qMax(1, 27 - m.capturedLength(1)))
                << line.toStdString();
            out.append({m.captured(1), m.captured(5), m.captured(3).toUInt(nullptr, 16),
                        m.captured(4) == "f"});
            EXPECT_TRUE(!out.last().function || out.last().object.endsWith(".obj"));
        }
    }
    return out;
}

inline quint32 le(const QByteArray &bytes, qint64 at, int width = 4)
{
    const QByteArray field = bytes.mid(at, width).leftJustified(4, '\0');
    return qFromLittleEndian<quint32>(field.constData()) & (width == 4 ? ~0u : 0xFFFFu);
}

// The n bytes at an RVA, through the section table; fewer when they are not in the file.
inline QByteArray bytesAt(const QByteArray &pe, quint32 rva, int n)
{
    const quint32 header = le(pe, 0x3C) + 4, table = header + 20 + le(pe, header + 16, 2);
    for (quint32 s = 0; s < le(pe, header + 2, 2); ++s) {
        const quint32 at = table + 40 * s, va = le(pe, at + 12);
        if (rva >= va && rva - va < le(pe, at + 8))
            return pe.mid(le(pe, at + 20) + (rva - va),
                          qMin<qint64>(n, le(pe, at + 16) - (rva - va)));
    }
    return QByteArray();
}

enum class Entry { Framed, Unframed, NoHook };

// How a function begins: with the hook call, then push ebp and mov ebp, esp as the Microsoft
// compiler encodes it (8B EC) or as clang does (89 E5); or without the hook.
inline Entry entryOf(const QByteArray &pe, quint32 rva, quint32 penter)
{
    const QByteArray b = bytesAt(pe, rva, 8);
    if (b.size() < 8 || b[0] != '\xE8' || rva + 5 + le(b, 1) != penter)
        return Entry::NoHook;
    return b.mid(5) == "\x55\x8B\xEC"   ? Entry::Framed
           : b.mid(5) == "\x55\x89\xE5" ? Entry::Unframed
                                        : Entry::NoHook;
}

} // namespace ImageFiles
