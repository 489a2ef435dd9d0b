#include "ClassInfo.h"

#include <QPair>

namespace TQ::EXTRACTORS::CPP::DIA {

namespace {

typedef QSet<QPair<const ClassInfo *, const ClassInfo *>> PairsInProgress;

bool equalDescriptions(const ClassInfo *a, const ClassInfo *b, PairsInProgress &inProgress);

// Two maps with the same keys whose values compare equal, key by key.
template <typename Map, typename EqualValues>
bool equalMaps(const Map &a, const Map &b, EqualValues equalValues)
{
    if (a.size() != b.size())
        return false;
    for (auto itA = a.cbegin(), itB = b.cbegin(); itA != a.cend(); ++itA, ++itB)
        if (itA.key() != itB.key() || !equalValues(itA.value(), itB.value()))
            return false;
    return true;
}

bool equalLists(const QList<ClassInfo *> &a, const QList<ClassInfo *> &b,
                PairsInProgress &inProgress)
{
    if (a.size() != b.size())
        return false;
    // Indexed by name, a later element replacing an earlier one, so that order does not matter.
    QMap<QString, const ClassInfo *> byNameA;
    QMap<QString, const ClassInfo *> byNameB;
    for (const ClassInfo *c : a)
        byNameA.insert(c ? c->name : QString(), c);
    for (const ClassInfo *c : b)
        byNameB.insert(c ? c->name : QString(), c);
    return equalMaps(byNameA, byNameB, [&](const ClassInfo *x, const ClassInfo *y) {
        return equalDescriptions(x, y, inProgress);
    });
}

bool equalOffsetMaps(const ClassInfo::OffsetMap &a, const ClassInfo::OffsetMap &b,
                     PairsInProgress &inProgress)
{
    return equalMaps(a, b, [&](const QList<ClassInfo *> &x, const QList<ClassInfo *> &y) {
        return equalLists(x, y, inProgress);
    });
}

bool equalDescriptions(const ClassInfo *a, const ClassInfo *b, PairsInProgress &inProgress)
{
    if (a == b)
        return true;
    if (!a || !b)
        return false;
    if (a->id != 0 && b->id != 0)
        return a->id == b->id;
    // A description that contains itself would otherwise recurse for ever: a pair already
    // under comparison is taken as equal, the rest of the comparison decides.
    const QPair<const ClassInfo *, const ClassInfo *> pair(a, b);
    if (inProgress.contains(pair))
        return true;
    inProgress.insert(pair);
    const bool equal = a->name == b->name && a->size == b->size &&
                       a->methodNames == b->methodNames && a->dataNames == b->dataNames &&
                       equalOffsetMaps(a->virtualBases, b->virtualBases, inProgress) &&
                       equalOffsetMaps(a->bases, b->bases, inProgress) &&
                       equalOffsetMaps(a->nestedUdts, b->nestedUdts, inProgress);
    inProgress.remove(pair);
    return equal;
}

} // namespace

bool ClassInfo::equals(const ClassInfo &other) const
{
    PairsInProgress inProgress;
    return equalDescriptions(this, &other, inProgress);
}

} // namespace TQ::EXTRACTORS::CPP::DIA
