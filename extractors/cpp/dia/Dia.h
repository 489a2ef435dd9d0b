// The reader: one module per image, every address routed to the module that covers it.
#pragma once

#include "ClassInfoRegistry.h"
#include "DiaApi.h"
#include "Module.h"

namespace TQ::EXTRACTORS::CPP::DIA {

class Dia : public DiaApi
{
public:
    explicit Dia(const QList<ModInfo> &modInfos);
    ~Dia() override;
    Dia(const Dia &) = delete;
    Dia &operator=(const Dia &) = delete;

    void printSymbolTag(quint32 address) override;
    QHash<quint32, const FunctionInfo *> functionInfos(const QList<quint32> &addresses) override;
    const FunctionInfo *functionInfo(quint32 address) override;
    QList<const FunctionInfo *> allFunctionInfos() override;
    QList<SymbolAddress> findSymbols(QStringList names, int symTag) override;
    QString sourceFileOf(quint32 address) override;
    const QMap<int, ClassInfo *> &classInfos() override;
    void buildLineIndex() override;
    QString loadFailure() override;

    // The last module whose load address is not above the address, else the null module.
    Module *moduleOf(quint32 address) const;
    static Module *nullModule();

    QList<ModInfo> modInfos;
    QList<Module *> modules; // owned, ascending by load address
    ClassInfoRegistry *registry;
};

} // namespace TQ::EXTRACTORS::CPP::DIA
