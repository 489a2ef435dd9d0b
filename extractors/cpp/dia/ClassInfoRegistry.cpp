#include "ClassInfoRegistry.h"

#include "DiaOutput.h"

namespace TQ::EXTRACTORS::CPP::DIA {

ClassInfoRegistry::~ClassInfoRegistry()
{
    qDeleteAll(byId);
    byId.clear();
    byName.clear();
}

void ClassInfoRegistry::takeOwnershipAndSetId(ClassInfo **slot)
{
    if (!slot || !*slot) {
        printLine("error in ClassInfoRegistry::takeOwnershipAndSetId: classInfo is NULL");
        return;
    }
    QList<ClassInfo *> &sameName = byName[(*slot)->name];
    for (ClassInfo *registered : sameName) {
        if (registered->equals(**slot)) {
            // Handing in a description that is already ours must not delete it.
            if (registered != *slot)
                delete *slot;
            *slot = registered;
            return;
        }
    }
    ClassInfo *info = *slot;
    info->id = nextId;
    byId.insert(int(nextId), info);
    ++nextId;
    sameName.append(info);
}

} // namespace TQ::EXTRACTORS::CPP::DIA
