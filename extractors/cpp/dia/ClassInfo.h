// Description of one user-defined type: layout of bases and class-typed members, member names.
#pragma once

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

namespace TQ::EXTRACTORS::CPP::DIA {

class ClassInfo
{
public:
    typedef QMap<int, QList<ClassInfo *>> OffsetMap;

    ClassInfo() = default;

    // Registered descriptions compare by id; otherwise by content, nested lists ignoring order.
    bool equals(const ClassInfo &other) const;
    bool operator==(const ClassInfo &other) const { return equals(other); }
    bool operator!=(const ClassInfo &other) const { return !equals(other); }

    QString name;
    quint32 id = 0;
    quint32 size = 0;
    OffsetMap virtualBases; // keyed by virtual-base-pointer offset
    OffsetMap bases;        // keyed by offset in the object
    OffsetMap nestedUdts;   // class-typed members, one entry per array element
    QSet<QString> methodNames;
    QSet<QString> dataNames;
};

} // namespace TQ::EXTRACTORS::CPP::DIA
