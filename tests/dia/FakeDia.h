// A scripted stand-in for the DIA data source: each test describes the images it loads and
// which calls fail, and the reader under test talks to it through the ordinary interfaces.
#pragma once

#include "DiaInterfaces.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace FakeDia {

// One symbol of an image. Methods answer from the fields; a method listed in `fail` returns
// that result instead.
struct Symbol
{
    DWORD id = 0;
    DWORD tag = SymTagNull;
    QString name;
    bool hasUndecorated = false;
    QString undecorated;
    DWORD rva = 0;
    ULONGLONG length = 0;
    DWORD typeId = 0; // get_type and get_typeId
    DWORD callingConvention = CV_CALL_NEAR_C;
    bool hasClassParent = false;
    DWORD classParentId = 0;
    LONG thisAdjust = 0;
    DWORD dataKind = DataIsUnknown;
    LONG offset = 0;
    DWORD count = 0;
    BOOL virtualBase = 0;
    LONG virtualBasePointerOffset = 0;
    QList<DWORD> children; // of a UDT, answered by findChildren(SymTagNull, ...)
    QMap<QString, HRESULT> fail;
};

struct Line
{
    DWORD rva = 0;
    DWORD length = 0;
    DWORD line = 0;
    QString file;
    QMap<QString, HRESULT> fail; // get_lineNumber, get_sourceFile, get_fileName
};

struct Image
{
    QMap<DWORD, Symbol> symbols;
    QList<DWORD> globals; // children of the global scope, in enumeration order
    QList<Line> lines;
};

// Scripting of the whole fake. Session-level failures are keyed by method name
// ("CreateInstance", "loadDataForExe", "openSession", "put_loadAddress", "get_globalScope",
// "findSymbolByRVA", "findLinesByRVA", "symbolById", "findChildren"); `nextFail` makes the
// n-th Next (0-based) of every enumerator of a kind ("symbols", "lines") return a result.
struct Script
{
    QMap<QString, Image> images; // by path as given to loadDataForExe
    QMap<QString, HRESULT> fail;
    QMap<QString, QPair<int, HRESULT>> nextFail;
    bool queryInterfaceGivesNull = false;
    QStringList calls; // "loadDataForExe <path>", "put_loadAddress <hex>", ...
};

Script &script();
void reset();
// Fake objects alive at the moment: every reference the reader took must be given back.
int liveObjects();

// Builders for the usual shapes.
Symbol &addSymbol(Image &image, DWORD id, DWORD tag, const QString &name);
Symbol &addFunction(Image &image, DWORD id, const QString &name, DWORD rva, ULONGLONG length,
                    DWORD typeId);
Line &addLine(Image &image, DWORD rva, DWORD length, DWORD line, const QString &file);

// Takes the data source class out of the class registry and puts it back.
void unregisterServer();
void registerServer();

} // namespace FakeDia
