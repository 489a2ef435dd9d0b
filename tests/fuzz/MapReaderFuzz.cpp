// The map reader on arbitrary map text: every accepted line gives one record and its name-list
// line, and nothing is read outside the map.
#include "BinaryPatchCleaner.h"
#include "FuzzFile.h"

#include <QFile>

using namespace TQ::EXTRACTORS::CPP::COMMON;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const TQ::FUZZ::Scratch scratch(".map");
    if (!TQ::FUZZ::writeScratch(scratch.path, data, size))
        return 0;
    const QFileInfo mapFile(QString::fromStdString(scratch.path));
    MapExtract extract(mapFile);
    BinaryPatchCleaner::readMapFile(mapFile, &extract);

    QFile nameList(extract.nameListFile.absoluteFilePath());
    if (!nameList.open(QIODevice::ReadOnly))
        __builtin_trap();
    const QByteArray written = nameList.readAll();
    // Names are taken as they stand, so one holding a line feed spans two lines.
    if (written.count('\n') < extract.functions.size())
        __builtin_trap(); // a record without its name-list line
    nameList.remove();
    return 0;
}
