// The one record that describes a function of an image.
#pragma once

#include <QString>

namespace TQ::EXTRACTORS::CPP::DIA {

class ClassInfo;

enum MethodKind : quint32 {
    NotAMethod = 0,
    OrdinaryMethod = 1,
    Constructor = 2,
    Destructor = 3,
};

class FunctionInfo
{
public:
    FunctionInfo(quint32 address, const QString &name, const QString &sourceFile, quint32 line,
                 quint32 startAddress, quint32 firstLine, quint32 lastLine, quint32 methodKind,
                 qint32 thisAdjust, ClassInfo *classInfo)
        : address(address), name(name), sourceFile(sourceFile), line(line),
          startAddress(startAddress), firstLine(firstLine), lastLine(lastLine),
          methodKind(methodKind), thisAdjust(thisAdjust), classInfo(classInfo)
    {
    }

    quint32 address;
    QString name;
    QString sourceFile;
    quint32 line;
    quint32 startAddress;
    quint32 firstLine;
    quint32 lastLine;
    quint32 methodKind;
    qint32 thisAdjust;
    ClassInfo *classInfo; // not owned: points into the reader's class registry
};

} // namespace TQ::EXTRACTORS::CPP::DIA
