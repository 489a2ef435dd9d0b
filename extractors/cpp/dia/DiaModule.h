// A module backed by one DIA session: function records, symbols, source files and classes.
#pragma once

#include "DiaInterfaces.h"
#include "Module.h"

#include <QSet>

namespace TQ::EXTRACTORS::CPP::DIA {

class DiaModule : public Module
{
public:
    DiaModule(const ModInfo &modInfo, Dia *dia);
    DiaModule();
    ~DiaModule() override;

    const FunctionInfo *functionInfo(quint32 address) override;
    QList<const FunctionInfo *> allFunctionInfos() override;
    QList<SymbolAddress> findSymbols(QStringList names, int symTag) override;
    QString sourceFileOf(quint32 address) override;
    void printSymbolTag(quint32 address) override;
    void buildLineIndex() override;

    ClassInfo *classInfoById(quint32 symIndexId);

    static MethodKind classifyMethod(const QString &name, const ClassInfo *classInfo);
    // UTF-16 code units outside printable ASCII become "_", then white space is simplified.
    static QString sanitizedName(const QString &name);

private:
    void loadDebugInfos();
    QString fallbackSourceFile() const;

    bool findSourceLocation(quint32 rva, QString &file, quint32 &line);
    bool findFunctionSymbol(quint32 rva, TQ::PLATFORM::ComPtr<IDiaSymbol> &symbol);
    bool readName(IDiaSymbol *symbol, QString &name);
    bool readUndecoratedName(IDiaSymbol *symbol, QString &name);
    bool readLineRange(IDiaSymbol *symbol, quint32 &firstLine, quint32 &lastLine,
                       quint32 &startRva);
    bool readCallInfo(IDiaSymbol *symbol, quint32 &callingConvention, qint32 &thisAdjust,
                      bool &hasClass, quint32 &classId);

    template <typename Visit>
    void forEachGlobalSymbol(SymTagEnum tag, const QString &pattern, Visit visit);
    bool findUdt(quint32 symIndexId, TQ::PLATFORM::ComPtr<IDiaSymbol> &udt, QString &name);
    void addMembers(ClassInfo *description, IDiaSymbol *udt);
    bool addBaseClass(ClassInfo *description, IDiaSymbol *base);
    bool addMethod(ClassInfo *description, IDiaSymbol *function, const QString &prefix);
    bool addDataMember(ClassInfo *description, IDiaSymbol *data);
    bool addDataType(ClassInfo *description, IDiaSymbol *type, const QList<int> &offsets);
    bool addDataType(ClassInfo *description, IDiaSymbol *type, const QList<int> &offsets,
                     const QList<QPair<quint32, quint32>> &dimensions, int depth);

    QSet<QString> sourceFiles; // the paths that function records share
    QString lastSourceFile; // the file of the last source lookup, handed out again when it recurs

    // Released in reverse order of declaration: global scope, session, data source.
    TQ::PLATFORM::ComPtr<IDiaDataSource> dataSource;
    TQ::PLATFORM::ComPtr<IDiaSession> session;
    TQ::PLATFORM::ComPtr<IDiaSymbol> globalScope;
};

} // namespace TQ::EXTRACTORS::CPP::DIA
