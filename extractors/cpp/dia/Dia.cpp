#include "Dia.h"

#include "DiaModule.h"
#include "Factory.h"

#include <algorithm>

namespace TQ::EXTRACTORS::CPP::DIA {

Dia::Dia(const QList<ModInfo> &modInfos) : modInfos(modInfos), registry(new ClassInfoRegistry)
{
    auto &factories = TQ::FactoryRegistry<DiaModule, ModInfo const &, Dia *>::instance();
    for (const ModInfo &info : this->modInfos)
        modules.append(factories.last()->create(info, this));
    std::sort(modules.begin(), modules.end(), [](const Module *a, const Module *b) {
        return a->modInfo.loadAddress < b->modInfo.loadAddress;
    });
}

Dia::~Dia()
{
    for (Module *module : modules)
        delete module;
    modules.clear();
    delete registry;
}

Module *Dia::nullModule()
{
    static DiaModule module;
    return &module;
}

Module *Dia::moduleOf(quint32 address) const
{
    if (modules.isEmpty() || address < modules.first()->modInfo.loadAddress)
        return nullModule();
    auto it = std::upper_bound(
        modules.begin(), modules.end(), address,
        [](quint32 value, const Module *m) { return value < m->modInfo.loadAddress; });
    return *(it - 1);
}

void Dia::printSymbolTag(quint32 address)
{
    moduleOf(address)->printSymbolTag(address);
}

QHash<quint32, const FunctionInfo *> Dia::functionInfos(const QList<quint32> &addresses)
{
    QHash<quint32, const FunctionInfo *> result;
    for (quint32 address : addresses)
        result.insert(address, moduleOf(address)->functionInfo(address));
    return result;
}

const FunctionInfo *Dia::functionInfo(quint32 address)
{
    return moduleOf(address)->functionInfo(address);
}

QList<const FunctionInfo *> Dia::allFunctionInfos()
{
    QList<const FunctionInfo *> result;
    for (Module *module : modules)
        result.append(module->allFunctionInfos());
    return result;
}

QList<SymbolAddress> Dia::findSymbols(QStringList names, int symTag)
{
    QList<SymbolAddress> result;
    for (Module *module : modules)
        result.append(module->findSymbols(names, symTag));
    return result;
}

QString Dia::sourceFileOf(quint32 address)
{
    return moduleOf(address)->sourceFileOf(address);
}

void Dia::buildLineIndex()
{
    for (Module *module : modules)
        module->buildLineIndex();
}

QString Dia::loadFailure()
{
    QStringList lines;
    for (const Module *module : modules)
        if (!module->loadFailure.isEmpty())
            lines.append(module->loadFailure);
    return lines.join(QLatin1Char('\n'));
}

const QMap<int, ClassInfo *> &Dia::classInfos()
{
    return registry->byId;
}

} // namespace TQ::EXTRACTORS::CPP::DIA
