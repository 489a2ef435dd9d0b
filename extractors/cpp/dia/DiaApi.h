// The debug-information reader's interface and the description of an image to read.
#pragma once

#include "FunctionInfo.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace TQ::EXTRACTORS::CPP::DIA {

class ModInfo
{
public:
    ModInfo(quint32 loadAddress, const QString &path);

    quint32 loadAddress;
    QString path;
    QString name; // last part of path split at backslashes
};

class SymbolAddress
{
public:
    SymbolAddress(quint32 address, const QString &name) : address(address), name(name) {}

    quint32 address;
    QString name;
};

class DiaApi
{
public:
    virtual ~DiaApi();
    virtual void printSymbolTag(quint32 address);
    virtual QHash<quint32, const FunctionInfo *> functionInfos(const QList<quint32> &addresses) = 0;
    virtual const FunctionInfo *functionInfo(quint32 address) = 0;
    virtual QList<const FunctionInfo *> allFunctionInfos() = 0;
    virtual QList<SymbolAddress> findSymbols(QStringList names, int symTag) = 0;
    virtual QString sourceFileOf(quint32 address) = 0;
    virtual const QMap<int, ClassInfo *> &classInfos() = 0;
    // Builds what source lookups search, ahead of the first lookup; a caller may run it on
    // another thread while it uses the reader for nothing else. Without it the first lookup
    // builds it.
    virtual void buildLineIndex();
    // Why the debug information of an image could not be loaded, one line per such image;
    // empty when every image loaded. The queries answer such an image with their fallbacks.
    virtual QString loadFailure();
};

DiaApi *createDia(const QList<ModInfo> &modules);

} // namespace TQ::EXTRACTORS::CPP::DIA
