#include "NameListHandover.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace TQ::EXTRACTORS::CPP::COMMON::NameListHandover {

namespace {

const char Prefix[] = "tqt_patchclean-names-";
const char Suffix[] = ".txt";
// Tells one clean's list from another's; SHA-1 is four times as fast as SHA-256 here, and no one
// forges a name list.
const QCryptographicHash::Algorithm Digest = QCryptographicHash::Sha1;

} // namespace

Writer::Writer()
    : m_copy(QDir::tempPath() + QLatin1Char('/') + QLatin1String(Prefix) + QLatin1String("XXXXXX") +
             QLatin1String(Suffix)),
      m_hash(Digest)
{
    m_copy.setAutoRemove(false);
    m_writing = m_copy.open();
}

void Writer::write(const char *data, qint64 size)
{
    m_hash.addData(data, int(size));
    if (m_writing)
        m_writing = m_copy.write(data, size) == size;
}

QString Writer::finishCopy()
{
    if (m_writing && m_copy.flush())
        return QFileInfo(m_copy.fileName()).absoluteFilePath();
    if (!m_copy.fileName().isEmpty()) // none when the folder cannot be written
        m_copy.remove();
    return QString();
}

QString Writer::digest() const
{
    return QString::fromLatin1(m_hash.result().toHex());
}

QString digestOfFile(const QString &path)
{
    QCryptographicHash hash(Digest);
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

bool isCopy(const QString &path)
{
    static const QRegularExpression name(
        QStringLiteral("^%1[A-Za-z0-9]{6}%2$")
            .arg(QRegularExpression::escape(Prefix), QRegularExpression::escape(Suffix)));
    const QFileInfo file(path);
    return name.match(file.fileName()).hasMatch() &&
           QFileInfo(file.absolutePath()).canonicalFilePath() ==
               QFileInfo(QDir::tempPath()).canonicalFilePath();
}

void release(const QString &path)
{
    if (isCopy(path))
        QFile::remove(path);
}

} // namespace TQ::EXTRACTORS::CPP::COMMON::NameListHandover
