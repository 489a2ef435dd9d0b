// Which build of which image a project patch database describes: written by the clean in the
// transaction of its entries, checked by the resolve run before it writes and by every run that
// is given the database with an image.
#pragma once

#include <PeHeaders.h>

#include <QString>

namespace TQ::EXTRACTORS::CPP::COMMON {

class ProjectDb;

struct ImageBuild
{
    QString imageName; // the file name, without folder
    quint32 timeDateStamp = 0;
    quint32 sizeOfImage = 0;
    QString pdbGuid; // Throws when the database describes an image of another file name than the
                     // one at imagePath:
    // such a database holds the only copy of another image's old bytes.
    void refuseAnotherImage(ProjectDb &db, const QString &imagePath);

    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", empty without a CodeView record
    quint32 pdbAge = 0;

    // Databases written before the build was recorded describe no known build.
    bool isKnown() const { return !imageName.isEmpty(); }
    // File names compare as Windows compares them, without regard to case.
    bool isImageNamed(const QString &fileName) const;
    bool operator==(const ImageBuild &other) const;
    bool operator!=(const ImageBuild &other) const { return !(*this == other); }
    // "app.exe (linked 0x5f3e2a10, 0x9000 bytes, PDB {...} age 1)"
    QString describe() const;

    static ImageBuild fromHeaders(const QString &fileName, const PLATFORM::PE::BuildId &id);
    // The image file's build as its headers say now; not known when it cannot be read as PE.
    static ImageBuild ofFile(const QString &path);

    static ImageBuild readFrom(ProjectDb &db);
    // Within the database's open write transaction.
    void writeTo(ProjectDb &db) const;
};

// Throws when the database describes an image of another file name than the one at imagePath:
// such a database holds the only copy of another image's old bytes.
void refuseAnotherImage(ProjectDb &db, const QString &imagePath);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", the first three groups little-endian as stored.
QString guidText(const uint8_t (&guid)[16]);

} // namespace TQ::EXTRACTORS::CPP::COMMON
