// Owner of the class descriptions of one reader; keeps one object per distinct description.
#pragma once

#include "ClassInfo.h"

namespace TQ::EXTRACTORS::CPP::DIA {

class ClassInfoRegistry
{
public:
    ClassInfoRegistry() = default;
    ~ClassInfoRegistry();
    ClassInfoRegistry(const ClassInfoRegistry &) = delete;
    ClassInfoRegistry &operator=(const ClassInfoRegistry &) = delete;

    // Registers *slot under a new id, or deletes it and leaves the equal registered one there.
    void takeOwnershipAndSetId(ClassInfo **slot);

    quint32 nextId = 1;
    QMap<QString, QList<ClassInfo *>> byName;
    QMap<int, ClassInfo *> byId; // owns the descriptions
};

} // namespace TQ::EXTRACTORS::CPP::DIA
