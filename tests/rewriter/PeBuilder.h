// Hand-made 32-bit PE images: the cases no linker writes (thunks, broken headers, short raw data).
// The rewriter's benchmark builds its images with it too.
#pragma once

#include <QByteArray>
#include <QList>

namespace PeBuilder {

struct Section
{
    quint32 virtualAddress;
    quint32 virtualSize;
    quint32 rawSize;       // bytes of raw data in the file, from the start of the section
    QByteArray bytes = {}; // the first bytes of the section; the rest of the raw data is zero
};

const int NtOffset = 0x80;
const int SectionTableOffset = NtOffset + 24 + 0xE0;

inline void put(QByteArray &b, int at, quint32 v, int size = 4)
{
    for (int i = 0; i < size; ++i)
        b[at + i] = char(v >> (8 * i));
}

// The headers, then each section's raw data back to back from the next 0x200 boundary on.
inline QByteArray build(const QList<Section> &sections)
{
    QByteArray image((SectionTableOffset + 40 * sections.size() + 0x1FF) & ~0x1FF, '\0');
    put(image, 0, 0x5A4D, 2);
    put(image, 0x3C, NtOffset);
    put(image, NtOffset, 0x00004550);
    put(image, NtOffset + 6, quint16(sections.size()), 2);
    put(image, NtOffset + 20, 0xE0, 2); // the optional header's size
    for (int i = 0; i < sections.size(); ++i) {
        const int h = SectionTableOffset + 40 * i;
        put(image, h + 8, sections[i].virtualSize);
        put(image, h + 12, sections[i].virtualAddress);
        put(image, h + 16, sections[i].rawSize);
        put(image, h + 20, sections[i].rawSize ? image.size() : 0);
        image += sections[i].bytes.leftJustified(int(sections[i].rawSize), '\0', true);
    }
    return image;
}

// E8 (or another opcode) with rel32 from `at` to `target`, then the bytes given.
inline QByteArray call(quint32 at, quint32 target, const QByteArray &after = QByteArray(),
                       char opcode = char(0xE8))
{
    QByteArray b(5, opcode);
    put(b, 1, target - (at + 5));
    return b + after;
}

const QByteArray Frame("\x55\x8B\xEC", 3); // push ebp; mov ebp, esp

// Places `code` at `offset` within a section's bytes, growing them with int3 as needed.
inline void place(QByteArray &bytes, int offset, const QByteArray &code)
{
    if (bytes.size() < offset + code.size())
        bytes.append(QByteArray(offset + code.size() - bytes.size(), '\xCC'));
    bytes.replace(offset, code.size(), code);
}

} // namespace PeBuilder
