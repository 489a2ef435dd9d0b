#include "PatchJournal.h"

#include <PatchFileMap.h>

#include <QFile>
#include <QtEndian>

#include <cstring>
#include <stdexcept>

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

namespace FM = PLATFORM::FILEMAP;

namespace {

const char Magic[8] = {'T', 'Q', 'T', 'P', 'J', 'R', 'N', '1'};
const quint32 Version = 1;
const int HeaderSize = 56;
const int HashedHeaderSize = 48;
const int RecordSize = 18; // offset, five old bytes, five new bytes
const quint64 FiveBytes = (quint64(1) << 40) - 1;

quint64 hashBytes(const uchar *p, quint64 n, quint64 seed)
{
    quint64 h = seed ^ (n * 0x9E3779B97F4A7C15ull);
    for (; n >= 8; p += 8, n -= 8) {
        h = (h ^ qFromLittleEndian<quint64>(p)) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    quint64 tail = 0;
    for (quint64 i = 0; i < n; ++i)
        tail |= quint64(p[i]) << (8 * i);
    h = (h ^ tail) * 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
}

quint64 fiveAt(const uchar *p)
{
    return quint64(qFromLittleEndian<quint32>(p)) | (quint64(p[4]) << 32);
}

void storeFive(uchar *p, quint64 bytes)
{
    for (int i = 0; i < 5; ++i)
        p[i] = uchar(bytes >> (8 * i));
}

SiteWrite recordAt(const uchar *r)
{
    return {qFromLittleEndian<quint64>(r), fiveAt(r + 8), fiveAt(r + 13)};
}

// Latest first, and only where the bytes are still the ones written.
int undoRecords(const uchar *records, quint64 count, uchar *bytes, quint64 size)
{
    int restored = 0;
    for (quint64 i = count; i-- > 0;) {
        const SiteWrite w = recordAt(records + i * RecordSize);
        if (w.offset > size || size - w.offset < 5)
            continue;
        uchar *site = bytes + w.offset;
        if (fiveAt(site) != w.newBytes)
            continue;
        storeFive(site, w.oldBytes);
        ++restored;
    }
    return restored;
}

const char16_t *utf16(const QString &s)
{
    return reinterpret_cast<const char16_t *>(s.utf16());
}

} // namespace

QString PatchJournal::pathFor(const QString &file)
{
    return file + QLatin1String(".patch-journal");
}

quint64 PatchJournal::fingerprint(const uchar *bytes, quint64 length)
{
    return hashBytes(bytes, length, 0x5451545046505231ull);
}

PatchJournal::PatchJournal(const QString &file) : m_path(pathFor(file))
{
    clear();
}

void PatchJournal::add(const SiteWrite &write)
{
    uchar r[RecordSize];
    qToLittleEndian<quint64>(write.offset, r);
    storeFive(r + 8, write.oldBytes & FiveBytes);
    storeFive(r + 13, write.newBytes & FiveBytes);
    m_data.append(reinterpret_cast<const char *>(r), RecordSize);
}

int PatchJournal::count() const
{
    return (m_data.size() - HeaderSize) / RecordSize;
}

SiteWrite PatchJournal::at(int index) const
{
    return recordAt(reinterpret_cast<const uchar *>(m_data.constData()) + HeaderSize +
                    qint64(index) * RecordSize);
}

void PatchJournal::clear()
{
    m_data = QByteArray(HeaderSize, '\0');
}

void PatchJournal::write(quint64 fileSize, quint64 fingerprint)
{
    const quint64 records = quint64(count());
    uchar h[HeaderSize];
    std::memcpy(h, Magic, sizeof Magic);
    qToLittleEndian<quint32>(Version, h + 8);
    qToLittleEndian<quint32>(0, h + 12);
    qToLittleEndian<quint64>(fileSize, h + 16);
    qToLittleEndian<quint64>(fingerprint, h + 24);
    qToLittleEndian<quint64>(records, h + 32);
    qToLittleEndian<quint64>(
        hashBytes(reinterpret_cast<const uchar *>(m_data.constData()) + HeaderSize,
                  records * RecordSize, 1),
        h + 40);
    qToLittleEndian<quint64>(hashBytes(h, HashedHeaderSize, 2), h + 48);
    m_data.replace(0, HeaderSize, reinterpret_cast<const char *>(h), HeaderSize);
    std::string error;
    if (!FM::createFileDurably(utf16(m_path), m_data.constData(), std::size_t(m_data.size()),
                               &error))
        throw std::runtime_error("The journal " + m_path.toStdString() + " " + error +
                                 "; the image was not changed");
}

bool PatchJournal::remove()
{
    return FM::removeFile(utf16(m_path));
}

int PatchJournal::undo(uchar *bytes, quint64 size) const
{
    return undoRecords(reinterpret_cast<const uchar *>(m_data.constData()) + HeaderSize,
                       quint64(count()), bytes, size);
}

PatchJournal::Recovery PatchJournal::recover(const QString &file, uchar *bytes, quint64 size,
                                             quint64 fingerprint)
{
    Recovery result;
    QFile journal(pathFor(file));
    if (!journal.exists())
        return result;
    result.outcome = Recovery::Incomplete;
    if (!journal.open(QIODevice::ReadOnly))
        return result;
    const QByteArray data = journal.readAll();
    const auto *h = reinterpret_cast<const uchar *>(data.constData());
    if (data.size() < HeaderSize || std::memcmp(h, Magic, sizeof Magic) != 0 ||
        qFromLittleEndian<quint32>(h + 8) != Version ||
        qFromLittleEndian<quint64>(h + 48) != hashBytes(h, HashedHeaderSize, 2))
        return result;
    const quint64 count = qFromLittleEndian<quint64>(h + 32);
    if (count > quint64(data.size() - HeaderSize) / RecordSize ||
        quint64(data.size()) != HeaderSize + count * RecordSize ||
        qFromLittleEndian<quint64>(h + 40) != hashBytes(h + HeaderSize, count * RecordSize, 1))
        return result;
    result.sites = int(count);
    if (qFromLittleEndian<quint64>(h + 16) != size ||
        qFromLittleEndian<quint64>(h + 24) != fingerprint) {
        result.outcome = Recovery::OtherFile;
        return result;
    }
    result.outcome = Recovery::Undone;
    result.restored = undoRecords(h + HeaderSize, count, bytes, size);
    return result;
}

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
