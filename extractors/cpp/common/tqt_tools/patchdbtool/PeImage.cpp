#include "PeImage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

namespace {

const quint32 DosHeaderSize = 0x40;
const quint32 NtFixedHeadersSize = 24; // signature and file header
const quint32 SectionHeaderSize = 40;
const quint32 ContainsCode = 0x00000020;
const quint32 MemoryExecute = 0x20000000;

quint32 le16(const QByteArray &bytes, quint64 offset)
{
    const auto *p = reinterpret_cast<const uchar *>(bytes.constData()) + offset;
    return quint32(p[0] | (p[1] << 8));
}

quint32 le32(const QByteArray &bytes, quint64 offset)
{
    const auto *p = reinterpret_cast<const uchar *>(bytes.constData()) + offset;
    return quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}

} // namespace

bool PeImage::Section::holdsCode() const
{
    return (characteristics & (ContainsCode | MemoryExecute)) != 0;
}

PeImage::PeImage(const QString &path) : m_path(path)
{
    const QFileInfo info(path);
    if (!info.exists())
        fail(QStringLiteral("does not exist"));
    if (info.isDir())
        fail(QStringLiteral("is a folder"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot be read: %1").arg(file.errorString()));
    m_bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        fail(QStringLiteral("cannot be read: %1").arg(file.errorString()));

    const quint64 size = quint64(m_bytes.size());
    if (size < DosHeaderSize || le16(m_bytes, 0) != 0x5A4D)
        fail(QStringLiteral("is not a PE image: it does not begin with MZ"));
    const quint64 nt = le32(m_bytes, 0x3C);
    if (nt + NtFixedHeadersSize > size || le32(m_bytes, nt) != 0x00004550)
        fail(QStringLiteral("is not a PE image: no PE signature where its DOS header points"));
    const quint32 count = le16(m_bytes, nt + 6);
    const quint64 table = nt + NtFixedHeadersSize + le16(m_bytes, nt + 20);
    if (table + quint64(count) * SectionHeaderSize > size)
        fail(QStringLiteral("is not a PE image: its section table runs past the end of the file"));

    for (quint32 i = 0; i < count; ++i) {
        const quint64 h = table + quint64(i) * SectionHeaderSize;
        Section s;
        s.name = m_bytes.mid(int(h), 8);
        s.name.truncate(int(qstrnlen(s.name.constData(), 8)));
        s.virtualSize = le32(m_bytes, h + 8);
        s.virtualAddress = le32(m_bytes, h + 12);
        s.rawSize = le32(m_bytes, h + 16);
        s.rawPointer = le32(m_bytes, h + 20);
        s.characteristics = le32(m_bytes, h + 36);
        m_sections.append(s);
    }
}

void PeImage::fail(const QString &reason) const
{
    throw std::runtime_error(QStringLiteral("Error: the image %1 %2")
                                 .arg(QDir::toNativeSeparators(m_path), reason)
                                 .toUtf8()
                                 .toStdString());
}

const PeImage::Section *PeImage::sectionOf(quint32 rva) const
{
    for (const Section &s : m_sections)
        if (s.virtualAddress <= rva && quint64(rva) < quint64(s.virtualAddress) + s.virtualSize)
            return &s;
    return nullptr;
}

qint64 PeImage::fileOffset(const Section &section, quint32 rva, quint32 length) const
{
    const quint64 inSection = quint32(rva - section.virtualAddress);
    const quint64 offset = quint64(section.rawPointer) + inSection;
    if (inSection + length > section.rawSize || offset + length > quint64(m_bytes.size()))
        return -1;
    return qint64(offset);
}

bool PeImage::fiveBytesAt(const Section &section, quint32 rva, quint64 *bytes) const
{
    const qint64 offset = fileOffset(section, rva, 5);
    if (offset < 0)
        return false;
    *bytes = quint64(le32(m_bytes, quint64(offset))) |
             (quint64(quint8(m_bytes.at(int(offset + 4)))) << 32);
    return true;
}

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
