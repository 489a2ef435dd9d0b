// What llvm-pdbutil says about a program database, as the reference for the reader's answers.
#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

struct PdbFacts
{
    struct LineEntry
    {
        quint32 rva;
        quint32 line;
        QString file;
    };
    struct Procedure
    {
        QString name;
        quint32 rva;
        quint32 size;
    };

    // Runs llvm-pdbutil-14 over the file; an empty result when it cannot.
    static QString pdbUtil(const QStringList &arguments);
    static PdbFacts read(const QString &pdbPath);

    // Line entries of [rva, rva + size), in address order.
    QList<LineEntry> linesIn(quint32 rva, quint32 size) const;

    QMap<int, quint32> sectionAddresses; // section number -> RVA
    QList<LineEntry> lines;              // every line entry, in address order
    QList<Procedure> procedures;         // S_GPROC32 / S_LPROC32, in dump order
    QStringList errors;                  // what could not be parsed
};

// The RVA of a symbol in a link.exe-layout map: Rva+Base minus the preferred load address.
bool mapSymbolRva(const QString &mapPath, const QString &name, quint32 &rva);
