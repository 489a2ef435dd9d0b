// Hand-made 32-bit PE images: the cases no linker writes (thunks, broken headers, short raw data).
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <cstring>

namespace PeImage {

struct Section
{
    quint32 virtualAddress;
    quint32 virtualSize;
    quint32 rawSize;       // bytes of raw data in the file, from the start of the section
    QByteArray bytes = {}; // the first bytes of the section; the rest of the raw data is zero
};

const int NtOffset = 0x80;
const int OptionalHeaderSize = 0xE0;
const int SectionTableOffset = NtOffset + 24 + OptionalHeaderSize;
const int FileAlignment = 0x200;

inline void put16(QByteArray &b, int at, quint16 v)
{
    b[at] = char(v);
    b[at + 1] = char(v >> 8);
}

inline void put32(QByteArray &b, int at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char(v >> (8 * i));
}

// Where the raw data of each section lands in the file built from these sections.
inline QList<quint32> rawOffsets(const QList<Section> &sections)
{
    QList<quint32> offsets;
    quint32 at = SectionTableOffset + 40 * sections.size();
    at = (at + FileAlignment - 1) / FileAlignment * FileAlignment;
    for (const Section &s : sections) {
        offsets << at;
        at += s.rawSize;
    }
    return offsets;
}

inline QByteArray build(const QList<Section> &sections)
{
    const QList<quint32> offsets = rawOffsets(sections);
    const quint32 end =
        sections.isEmpty() ? quint32(SectionTableOffset) : offsets.last() + sections.last().rawSize;
    QByteArray image(int(end), '\0');
    put16(image, 0, 0x5A4D);
    put32(image, 0x3C, NtOffset);
    put32(image, NtOffset, 0x00004550);
    put16(image, NtOffset + 4, 0x14C); // i386
    put16(image, NtOffset + 6, quint16(sections.size()));
    put16(image, NtOffset + 20, OptionalHeaderSize);
    put16(image, NtOffset + 24, 0x10B); // PE32 magic
    for (int i = 0; i < sections.size(); ++i) {
        const Section &s = sections[i];
        const int h = SectionTableOffset + 40 * i;
        std::memcpy(image.data() + h, ".sect", 5);
        put32(image, h + 8, s.virtualSize);
        put32(image, h + 12, s.virtualAddress);
        put32(image, h + 16, s.rawSize);
        put32(image, h + 20, s.rawSize ? offsets[i] : 0);
        image.replace(int(offsets[i]), s.bytes.size(), s.bytes);
    }
    return image;
}

// E8 rel32 from `at` to `target`, then the three bytes given.
inline QByteArray call(quint32 at, quint32 target, const QByteArray &after = QByteArray())
{
    QByteArray b(5, '\0');
    b[0] = char(0xE8);
    put32(b, 1, target - (at + 5));
    return b + after;
}

inline QByteArray jump(quint32 at, quint32 target)
{
    QByteArray b = call(at, target);
    b[0] = char(0xE9);
    return b;
}

inline const QByteArray &frame()
{
    static const QByteArray f("\x55\x8B\xEC", 3);
    return f;
}

// Places `code` at `offset` within a section's bytes, growing them as needed.
inline void place(QByteArray &bytes, int offset, const QByteArray &code)
{
    if (bytes.size() < offset + code.size())
        bytes.append(QByteArray(offset + code.size() - bytes.size(), '\xCC'));
    bytes.replace(offset, code.size(), code);
}

inline bool write(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

inline QByteArray read(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace PeImage
