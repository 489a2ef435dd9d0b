#include "PatchJournal.h"

#include "PatchSite.h"

#include <PatchFileMap.h>
#include <PeHeaders.h>

#include <QFile>
#include <QRandomGenerator>
#include <QtEndian>

#include <cstring>
#include <stdexcept>

namespace TQ::EXTRACTORS::CPP::COMMON {

namespace FM = PLATFORM::FILEMAP;

namespace {

const char Magic[8] = {'T', 'Q', 'T', 'P', 'J', 'R', 'N', '1'};
const quint32 Version = 2;
const quint32 UnboundVersion = 1; // written before journals named their record
const int HeaderSize = 56;
const int HashedHeaderSize = 48;
const int RecordSize = 18; // offset, five old bytes, five new bytes
const int TokenSize = 8;

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

SiteWrite recordAt(const uchar *r)
{
    return {qFromLittleEndian<quint64>(r), SITE::load(r + 8), SITE::load(r + 13)};
}

// Latest first, and only where the bytes are still the ones written.
int undoRecords(const uchar *records, quint64 count, uchar *bytes, quint64 size)
{
    int restored = 0;
    for (quint64 i = count; i-- > 0;) {
        const SiteWrite w = recordAt(records + i * RecordSize);
        if (w.offset > size || size - w.offset < SITE::Size)
            continue;
        uchar *site = bytes + w.offset;
        if (SITE::load(site) != w.newBytes)
            continue;
        SITE::store(site, w.oldBytes);
        ++restored;
    }
    return restored;
}

} // namespace

QString PatchJournal::pathFor(const QString &file)
{
    return file + QLatin1String(".patch-journal");
}

quint64 PatchJournal::fingerprint(const uchar *bytes, const PLATFORM::PE::PeHeaders &headers)
{
    QByteArray copy(reinterpret_cast<const char *>(bytes), int(headers.headersEnd()));
    if (const quint64 checkSum = headers.checkSumOffset())
        std::memset(copy.data() + checkSum, 0, 4);
    return hashBytes(reinterpret_cast<const uchar *>(copy.constData()), quint64(copy.size()),
                     0x5451545046505231ull);
}

quint64 PatchJournal::newToken()
{
    quint64 token = 0;
    while (token == 0)
        token = QRandomGenerator::system()->generate64();
    return token;
}

PatchJournal::PatchJournal(const QString &file) : m_path(pathFor(file))
{
    clear();
}

void PatchJournal::add(const SiteWrite &write)
{
    uchar r[RecordSize];
    qToLittleEndian<quint64>(write.offset, r);
    SITE::store(r + 8, write.oldBytes & SITE::Mask);
    SITE::store(r + 13, write.newBytes & SITE::Mask);
    m_records.append(reinterpret_cast<const char *>(r), RecordSize);
}

int PatchJournal::count() const
{
    return m_records.size() / RecordSize;
}

SiteWrite PatchJournal::at(int index) const
{
    return recordAt(reinterpret_cast<const uchar *>(m_records.constData()) +
                    qint64(index) * RecordSize);
}

void PatchJournal::clear()
{
    m_records.clear();
    m_binding = JournalBinding();
}

void PatchJournal::bind(const JournalBinding &binding)
{
    m_binding = binding;
}

void PatchJournal::write(quint64 fileSize, quint64 fingerprint)
{
    QByteArray body(TokenSize, '\0');
    qToLittleEndian<quint64>(m_binding.token, body.data());
    body += m_binding.record.toUtf8();
    const quint32 bindingSize = quint32(body.size());
    body += m_records;

    uchar h[HeaderSize];
    std::memcpy(h, Magic, sizeof Magic);
    qToLittleEndian<quint32>(Version, h + 8);
    qToLittleEndian<quint32>(bindingSize, h + 12);
    qToLittleEndian<quint64>(fileSize, h + 16);
    qToLittleEndian<quint64>(fingerprint, h + 24);
    qToLittleEndian<quint64>(quint64(count()), h + 32);
    qToLittleEndian<quint64>(
        hashBytes(reinterpret_cast<const uchar *>(body.constData()), quint64(body.size()), 1),
        h + 40);
    qToLittleEndian<quint64>(hashBytes(h, HashedHeaderSize, 2), h + 48);
    body.prepend(reinterpret_cast<const char *>(h), HeaderSize);
    std::string error;
    if (!FM::createFileDurably(utf16(m_path), body.constData(), std::size_t(body.size()), &error))
        throw std::runtime_error("The journal " + m_path.toStdString() + " " + error +
                                 "; the image was not changed");
}

bool PatchJournal::remove()
{
    return FM::removeFile(utf16(m_path));
}

int PatchJournal::undo(uchar *bytes, quint64 size) const
{
    return undoRecords(reinterpret_cast<const uchar *>(m_records.constData()), quint64(count()),
                       bytes, size);
}

namespace {

// The journal's bytes, all of them, or an error that leaves the journal where it is.
QByteArray readWholeJournal(const QString &path)
{
    QFile journal(path);
    QByteArray data;
    if (journal.open(QIODevice::ReadOnly)) {
        const qint64 expected = journal.size();
        data = journal.readAll();
        if (journal.error() == QFileDevice::NoError && data.size() == expected)
            return data;
    }
    throw std::runtime_error("Error: the journal " + path.toStdString() +
                             " of an interrupted run cannot be read (" +
                             journal.errorString().toStdString() +
                             "); it may hold the only copy of the image's old bytes, so it stays "
                             "and nothing was changed");
}

} // namespace

PatchJournal::Recovery PatchJournal::recover(const QString &file, uchar *bytes, quint64 size,
                                             quint64 fingerprint, const CommitCheck &committed)
{
    Recovery result;
    const QString path = pathFor(file);
    if (!QFile::exists(path))
        return result;
    const QByteArray data = readWholeJournal(path);
    result.state = State::Incomplete;
    const auto *h = reinterpret_cast<const uchar *>(data.constData());
    if (data.size() < HeaderSize || std::memcmp(h, Magic, sizeof Magic) != 0 ||
        qFromLittleEndian<quint64>(h + 48) != hashBytes(h, HashedHeaderSize, 2))
        return result;
    const quint32 version = qFromLittleEndian<quint32>(h + 8);
    const quint64 bindingSize = version == Version ? qFromLittleEndian<quint32>(h + 12) : 0;
    const quint64 body = quint64(data.size() - HeaderSize);
    const quint64 count = qFromLittleEndian<quint64>(h + 32);
    if ((version != Version && version != UnboundVersion) ||
        (version == Version && bindingSize < TokenSize) || bindingSize > body ||
        count > (body - bindingSize) / RecordSize || body != bindingSize + count * RecordSize ||
        qFromLittleEndian<quint64>(h + 40) != hashBytes(h + HeaderSize, body, 1))
        return result;
    result.sites = int(count);
    if (qFromLittleEndian<quint64>(h + 16) != size ||
        qFromLittleEndian<quint64>(h + 24) != fingerprint) {
        result.state = State::OtherFile;
        return result;
    }
    if (bindingSize >= TokenSize && committed) {
        const quint64 token = qFromLittleEndian<quint64>(h + HeaderSize);
        const QString record = QString::fromUtf8(data.constData() + HeaderSize + TokenSize,
                                                 int(bindingSize - TokenSize));
        if (token != 0 && !record.isEmpty() && committed(record, token)) {
            result.state = State::Committed;
            return result;
        }
    }
    result.state = State::Undone;
    result.restored = undoRecords(h + HeaderSize + bindingSize, count, bytes, size);
    return result;
}

} // namespace TQ::EXTRACTORS::CPP::COMMON
