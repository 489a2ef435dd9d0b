#include "NameListHandover.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>

namespace TQ::EXTRACTORS::CPP::COMMON::NameListHandover {

namespace {

const char Prefix[] = "tqt_patchclean-names-";
const char Suffix[] = ".txt";

} // namespace

QString digest(const QByteArray &nameList)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(nameList, QCryptographicHash::Sha256).toHex());
}

QString create(const QByteArray &nameList)
{
    QTemporaryFile copy(QDir::tempPath() + QLatin1Char('/') + QLatin1String(Prefix) +
                        QLatin1String("XXXXXX") + QLatin1String(Suffix));
    copy.setAutoRemove(false);
    if (!copy.open())
        return QString();
    if (copy.write(nameList) != nameList.size() || !copy.flush()) {
        copy.remove();
        return QString();
    }
    return QFileInfo(copy.fileName()).absoluteFilePath();
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
