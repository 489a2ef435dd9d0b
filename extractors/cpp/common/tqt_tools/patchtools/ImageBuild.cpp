#include "ImageBuild.h"

#include "ProjectDb.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace TQ::EXTRACTORS::CPP::COMMON {

namespace {

const char NameKey[] = "image_name";
const char TimeDateStampKey[] = "image_time_date_stamp";
const char SizeKey[] = "image_size";
const char GuidKey[] = "pdb_guid";
const char AgeKey[] = "pdb_age";

quint32 hexValue(const QString &text)
{
    bool ok = false;
    const quint32 value = text.toUInt(&ok, 16);
    return ok ? value : 0;
}

} // namespace

void refuseAnotherImage(ProjectDb &db, const QString &imagePath)
{
    const ImageBuild recorded = ImageBuild::readFrom(db);
    const QString name = QFileInfo(imagePath).fileName();
    if (!recorded.isKnown() || recorded.isImageNamed(name))
        return;
    throw std::runtime_error(
        QStringLiteral("Error: the project patch database %1 describes the image %2, not %3; "
                       "nothing was changed. Give each image a database of its own.")
            .arg(QDir::toNativeSeparators(db.path()), recorded.imageName, name)
            .toStdString());
}

QString guidText(const uint8_t (&guid)[16])
{
    const auto le = [&](int at, int bytes) {
        quint32 v = 0;
        for (int i = bytes - 1; i >= 0; --i)
            v = v << 8 | guid[at + i];
        return QStringLiteral("%1").arg(v, bytes * 2, 16, QLatin1Char('0'));
    };
    QString tail;
    for (int i = 8; i < 16; ++i) {
        if (i == 10)
            tail += QLatin1Char('-');
        tail += QStringLiteral("%1").arg(guid[i], 2, 16, QLatin1Char('0'));
    }
    return QStringLiteral("{%1-%2-%3-%4}").arg(le(0, 4), le(4, 2), le(6, 2), tail).toUpper();
}

bool ImageBuild::isImageNamed(const QString &fileName) const
{
    return imageName.compare(fileName, Qt::CaseInsensitive) == 0;
}

bool ImageBuild::operator==(const ImageBuild &other) const
{
    return isImageNamed(other.imageName) && timeDateStamp == other.timeDateStamp &&
           sizeOfImage == other.sizeOfImage && pdbGuid == other.pdbGuid && pdbAge == other.pdbAge;
}

QString ImageBuild::describe() const
{
    QString text = QStringLiteral("%1 (linked 0x%2, 0x%3 bytes")
                       .arg(imageName)
                       .arg(timeDateStamp, 8, 16, QLatin1Char('0'))
                       .arg(sizeOfImage, 0, 16);
    if (!pdbGuid.isEmpty())
        text += QStringLiteral(", PDB %1 age %2").arg(pdbGuid).arg(pdbAge);
    return text + QLatin1Char(')');
}

ImageBuild ImageBuild::fromHeaders(const QString &fileName, const PLATFORM::PE::BuildId &id)
{
    ImageBuild build;
    build.imageName = fileName;
    build.timeDateStamp = id.timeDateStamp;
    build.sizeOfImage = id.sizeOfImage;
    if (id.hasCodeView) {
        build.pdbGuid = guidText(id.pdbGuid);
        build.pdbAge = id.pdbAge;
    }
    return build;
}

ImageBuild ImageBuild::ofFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() <= 0)
        return ImageBuild();
    const uchar *bytes = file.map(0, file.size());
    PLATFORM::PE::PeHeaders headers;
    if (!bytes || headers.read(bytes, quint64(file.size())) != PLATFORM::PE::PeHeaders::Status::Ok)
        return ImageBuild();
    return fromHeaders(QFileInfo(path).fileName(), headers.buildId());
}

ImageBuild ImageBuild::readFrom(ProjectDb &db)
{
    ImageBuild build;
    build.imageName = db.metaValue(QLatin1String(NameKey));
    build.timeDateStamp = hexValue(db.metaValue(QLatin1String(TimeDateStampKey)));
    build.sizeOfImage = hexValue(db.metaValue(QLatin1String(SizeKey)));
    build.pdbGuid = db.metaValue(QLatin1String(GuidKey));
    build.pdbAge = db.metaValue(QLatin1String(AgeKey)).toUInt();
    return build;
}

void ImageBuild::writeTo(ProjectDb &db) const
{
    db.setMetaValue(QLatin1String(NameKey), imageName);
    db.setMetaValue(QLatin1String(TimeDateStampKey),
                    QStringLiteral("%1").arg(timeDateStamp, 8, 16, QLatin1Char('0')));
    db.setMetaValue(QLatin1String(SizeKey), QString::number(sizeOfImage, 16));
    db.setMetaValue(QLatin1String(GuidKey), pdbGuid);
    db.setMetaValue(QLatin1String(AgeKey), QString::number(pdbAge));
}

} // namespace TQ::EXTRACTORS::CPP::COMMON
