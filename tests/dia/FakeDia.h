// A scripted stand-in for the DIA data source: each test writes the images it loads as records
// and names the calls that fail; the reader under test talks to it through the interfaces.
#pragma once

#include "DiaInterfaces.h"

#include <QMap>
#include <QString>
#include <QStringList>

namespace FakeDia {

// One symbol or line record, written "id=10;tag=Function;name=f;rva=0x1000". A record with
// "line" is a line record (line, rva, length, file); any other is a symbol whose properties
// answer the getter of that name: tag (a SymTag name), name, undecorated, rva, length, type
// (get_type and get_typeId), cc, classParent, thisAdjust, kind, offset, count, virtual,
// vbpOffset, children (ids, comma-separated). A missing number answers 0; a missing
// undecorated, classParent or type answers S_FALSE. "fail=get_name,get_type" makes those
// methods fail. Symbols that no record lists among its children belong to the global scope.
typedef QMap<QString, QString> Record;

struct Image
{
    QMap<DWORD, Record> records;
    QList<DWORD> order;
};

struct Script
{
    QMap<QString, Image> images; // by the path given to loadDataForExe
    // Session-wide failures by method ("CreateInstance", "loadDataForExe", "openSession",
    // "put_loadAddress", "get_globalScope", "findSymbolByRVA", "findLinesByRVA", "symbolById",
    // "findChildren" of the global scope), and "symbols.Next1": the second Next of every
    // symbol enumerator ("lines.Next0" likewise).
    QMap<QString, HRESULT> fail;
    bool queryInterfaceGivesNull = false;
    QStringList calls; // "loadDataForExe <path>", "put_loadAddress 0x<hex>"
};

Script &script();
void reset();
// Fake objects alive at the moment: every reference the reader took must be given back.
int liveObjects();

void define(const QString &path, const QStringList &records);
// "10:name=g" sets a property of record 10, "10:name" removes it, "10:!get_name" makes a method
// of it fail, "id=..." adds a record; anything else ("findChildren", or "symbols.Next1=0x1"
// for another result than E_FAIL) fails session-wide.
void edit(const QString &path, const QString &change);

// Takes the data source class out of the class registry and puts it back.
void unregisterServer();
void registerServer();

} // namespace FakeDia
