// A scripted stand-in for the DIA data source, registered as its class before main. An image is
// a list of records, "id=10;tag=Function;name=f;rva=0x1000". One with "line" is a line record
// (line, rva, length, file); any other a symbol whose properties answer the getter of that name:
// tag (a SymTag name), name, undecorated, rva, length, type (get_type and get_typeId), cc,
// classParent, thisAdjust, kind, offset, count, virtual, vbpOffset and children (ids). A missing
// number answers 0; a missing undecorated, classParent or type S_FALSE. Symbols that no record
// lists among its children belong to the global scope.
#pragma once

#include "DiaInterfaces.h"

#include <QMap>
#include <QStringList>

namespace FakeDia {

typedef QMap<QString, QString> Record;

struct Script
{
    QMap<QString, QMap<DWORD, Record>> images; // by the path given to loadDataForExe
    // Failures by method of the source, session or global scope, and "symbols.Next1":
    // the second Next of every symbol enumerator ("lines.Next0" likewise).
    QMap<QString, HRESULT> fail;
};

Script &script();
// Fake objects alive: every reference the reader took must be given back.
int liveObjects();

// "id=..." adds a record, "10:name=g" sets a property, "10:name" removes it, "10:!get_name" makes
// that method of it fail; anything else ("findChildren", "symbols.Next1=0x1" for another result
// than E_FAIL) fails for the whole session.
void edit(const QString &path, const QString &change);

} // namespace FakeDia
