// A class description on one line: name (with its id), size, bases, virtual bases and class
// members by offset, then its method and data names in order.
#pragma once

#include "ClassInfo.h"

#include <QStringList>

inline QString classText(const TQ::EXTRACTORS::CPP::DIA::ClassInfo *c, bool ids = true)
{
    using TQ::EXTRACTORS::CPP::DIA::ClassInfo;
    if (!c)
        return "null";
    const auto named = [ids](const ClassInfo *info) {
        return ids ? info->name + "#" + QString::number(info->id) : info->name;
    };
    const auto entries = [&named](const ClassInfo::OffsetMap &map) {
        QStringList parts;
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            for (const ClassInfo *entry : it.value())
                parts << QString::number(it.key()) + ":" + named(entry);
        return parts.join(',');
    };
    QStringList methods = c->methodNames.values(), data = c->dataNames.values();
    methods.sort();
    data.sort();
    return QStringLiteral("%1 %2 b[%3] v[%4] n[%5] m[%6] d[%7]")
        .arg(named(c), QString::number(c->size), entries(c->bases), entries(c->virtualBases),
             entries(c->nestedUdts), methods.join(','), data.join(','));
}
