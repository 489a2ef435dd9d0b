// Base of the modules of a reader: one image, its caches and the validity of its session.
#pragma once

#include "ClassInfo.h"
#include "DiaApi.h"

#include <QMap>

namespace TQ::EXTRACTORS::CPP::DIA {

class Dia;

class Module
{
public:
    Module(const ModInfo &modInfo, Dia *dia);
    // The null module: answers every query with its fallback.
    Module();
    virtual ~Module();
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    virtual const FunctionInfo *functionInfo(quint32 address) = 0;
    virtual QList<const FunctionInfo *> allFunctionInfos() = 0;
    virtual QList<SymbolAddress> findSymbols(QStringList names, int symTag) = 0;
    virtual QString sourceFileOf(quint32 address) = 0;
    virtual void printSymbolTag(quint32 address);
    virtual void buildLineIndex();

    ModInfo modInfo;
    Dia *dia; // not owned
    bool valid;
    QString loadFailure; // why the image's debug information could not be loaded, as one line
    QMap<quint32, ClassInfo *> classCache;     // by symbol id; the registry owns them
    QMap<quint32, FunctionInfo> functionCache; // by RVA; handed-out pointers stay valid
};

} // namespace TQ::EXTRACTORS::CPP::DIA
