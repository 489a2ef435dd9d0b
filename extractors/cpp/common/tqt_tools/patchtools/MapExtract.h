// What the linker map-file reader produces: the map's functions and where the name list goes.
#pragma once

#include "FunctionInfo.h"

#include <QFileInfo>
#include <QList>

namespace TQ::EXTRACTORS::CPP::COMMON {

class MapExtract
{
public:
    // The name list is the map's name with "_tq" before its last suffix, in mapFile's directory.
    explicit MapExtract(const QFileInfo &mapFile);
    // Removes the private copy of the name list unless it was taken.
    ~MapExtract();
    MapExtract(const MapExtract &) = delete;
    MapExtract &operator=(const MapExtract &) = delete;

    // The private copy, now the taker's to remove; empty when there is none.
    QString takeNameListCopy();

    QFileInfo nameListFile;
    QList<DIA::FunctionInfo> functions;
    // The private copy of the name list for this clean's resolve run (empty when none could be
    // written), and the digest of the list's bytes.
    QString nameListCopy;
    QString nameListDigest;
};

} // namespace TQ::EXTRACTORS::CPP::COMMON
