#include "PeImage.h"

#include "DbFactory.h"
#include "PatchJournal.h"
#include "PatchSite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace TQ::EXTRACTORS::CPP::COMMON {

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

    using Status = PLATFORM::PE::PeHeaders::Status;
    switch (
        m_headers.read(reinterpret_cast<const uchar *>(m_bytes.data()), quint64(m_bytes.size()))) {
    case Status::Ok:
        break;
    case Status::NoDosSignature:
        fail(QStringLiteral("is not a PE image: it does not begin with MZ"));
    case Status::NoPeSignature:
        fail(QStringLiteral("is not a PE image: no PE signature where its DOS header points"));
    case Status::SectionTableOutside:
        fail(QStringLiteral("is not a PE image: its section table runs past the end of the file"));
    }
}

int PeImage::settlePendingJournal()
{
    auto *bytes = reinterpret_cast<uchar *>(m_bytes.data());
    const QString journalOf = QDir::toNativeSeparators(QFileInfo(m_path).canonicalFilePath());
    const PatchJournal::Recovery r = PatchJournal::recover(
        journalOf, bytes, quint64(m_bytes.size()), PatchJournal::fingerprint(bytes, m_headers),
        &DbFactory::committedJournal);
    return r.state == PatchJournal::State::Undone ? r.restored : 0;
}

void PeImage::fail(const QString &reason) const
{
    throw std::runtime_error(QStringLiteral("Error: the image %1 %2")
                                 .arg(QDir::toNativeSeparators(m_path), reason)
                                 .toStdString());
}

bool PeImage::fiveBytesAt(const Section &section, quint32 rva, quint64 *bytes) const
{
    const qint64 offset = m_headers.fileOffset(section, rva, SITE::Size);
    if (offset < 0)
        return false;
    *bytes = SITE::load(reinterpret_cast<const uchar *>(m_bytes.constData()) + offset);
    return true;
}

} // namespace TQ::EXTRACTORS::CPP::COMMON
