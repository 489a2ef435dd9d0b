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

    QFileInfo nameListFile;
    QList<DIA::FunctionInfo> functions;
    QByteArray nameList; // the name list's bytes, as they were written to nameListFile
};

} // namespace TQ::EXTRACTORS::CPP::COMMON
