#include "DiaModule.h"

#include "Dia.h"
#include "DiaFactoryWrapper.h"
#include "DiaOutput.h"

#include <QHash>
#include <QPair>
#include <QStringList>

#include <cstring>
#include <initializer_list>

namespace TQ::EXTRACTORS::CPP::DIA {

using TQ::PLATFORM::BStr;
using TQ::PLATFORM::ComPtr;

namespace {

// An array member of a class type records one entry per element; beyond this many the
// dimensions are not believable (a damaged database) and nothing is recorded.
constexpr quint64 MaxExpandedElements = 1u << 20;
// Arrays nest only as deep as the declarations do; a type cycle must not exhaust the stack.
constexpr int MaxArrayDepth = 64;

const QString &separator()
{
    static const QString text = QStringLiteral("::");
    return text;
}

// Hands each item of a DIA enumerator to visit, which returns false to stop, until nothing is
// left: then S_OK, or else the failing result of Next.
template <typename Item, typename Enumerator, typename Visit>
HRESULT forEachItem(Enumerator *items, Visit visit)
{
    for (;;) {
        ComPtr<Item> item;
        ULONG fetched = 0;
        const HRESULT hr = items->Next(1, item.receive(), &fetched);
        if (hr == S_FALSE || (hr == S_OK && fetched < 1))
            return S_OK;
        if (hr != S_OK)
            return hr;
        if (!visit(item))
            return S_OK;
    }
}

// Hears from the data source which program databases it tried and how each went.
class LoadListener final : public TQ::PLATFORM::ComObject<IDiaLoadCallback, IPdbSignatureCallback>
{
public:
    HRESULT NotifyDebugDir(BOOL, DWORD, const void *) override { return S_OK; }
    HRESULT NotifyOpenDBG(LPCOLESTR, HRESULT) override { return S_OK; }
    HRESULT NotifyOpenPDB(LPCOLESTR path, HRESULT result) override
    {
        tried.append(qMakePair(QString::fromUtf16(path ? path : u""), result));
        return S_OK;
    }
    HRESULT RestrictRegistryAccess() override { return S_OK; }
    HRESULT RestrictSymbolServerAccess() override { return S_OK; }
    HRESULT NotifyPdbSignature(LPCOLESTR path, const GUID &expected, DWORD expectedAge,
                               const GUID &found, DWORD foundAge) override
    {
        signatures.insert(QString::fromUtf16(path ? path : u""),
                          QStringLiteral("expected GUID %1 age %2, found GUID %3 age %4")
                              .arg(guidText(expected))
                              .arg(expectedAge)
                              .arg(guidText(found))
                              .arg(foundAge));
        return S_OK;
    }

    // The first place whose outcome was one of these, or an empty string.
    QString placeOf(std::initializer_list<HRESULT> results) const
    {
        for (const auto &place : tried)
            for (const HRESULT r : results)
                if (place.second == r)
                    return place.first;
        return QString();
    }

    QList<QPair<QString, HRESULT>> tried;
    QHash<QString, QString> signatures; // by path: the builds expected and found

private:
    static QString guidText(const GUID &g)
    {
        QString text = QString::asprintf("{%08X-%04X-%04X-", g.Data1, g.Data2, g.Data3);
        for (int i = 0; i < 8; ++i)
            text += QString::asprintf(i == 2 ? "-%02X" : "%02X", g.Data4[i]);
        return text + QLatin1Char('}');
    }
};

// Why the image's debug information could not be loaded, in the user's terms.
QString loadFailureText(const QString &image, HRESULT result, const LoadListener &listener)
{
    switch (result) {
    case E_FILE_NOT_FOUND:
        return QStringLiteral("Error: the image %1 does not exist").arg(image);
    case E_ACCESSDENIED:
        return QStringLiteral("Error: the image %1 cannot be read").arg(image);
    case E_PDB_INVALID_EXECUTABLE:
        return QStringLiteral("Error: %1 is not a PE image").arg(image);
    case E_PDB_NO_DEBUG_INFO:
        return QStringLiteral("Error: %1 has no debug directory record of a program database; "
                              "was it linked without /DEBUG?")
            .arg(image);
    case E_PDB_NOT_FOUND: {
        QStringList places;
        for (const auto &place : listener.tried)
            places.append(place.first);
        if (places.isEmpty())
            return QStringLiteral("Error: no program database was found for %1: it names none")
                .arg(image);
        return QStringLiteral("Error: no program database was found for %1; looked at %2")
            .arg(image, places.join(QStringLiteral(", ")));
    }
    case E_PDB_INVALID_SIG:
    case E_PDB_INVALID_AGE: {
        const QString pdb = listener.placeOf({E_PDB_INVALID_SIG, E_PDB_INVALID_AGE});
        const QString builds = listener.signatures.value(pdb);
        return QStringLiteral("Error: the program database %1 belongs to another build of %2%3")
            .arg(pdb, image, builds.isEmpty() ? QString() : QStringLiteral(": ") + builds);
    }
    case E_PDB_FORMAT:
        return QStringLiteral("Error: the program database %1 is damaged")
            .arg(listener.placeOf({E_PDB_FORMAT}));
    default:
        return QStringLiteral("Error: the debug information of %1 cannot be loaded (0x%2)")
            .arg(image)
            .arg(quint32(result), 8, 16, QLatin1Char('0'));
    }
}

} // namespace

DiaModule::DiaModule(const ModInfo &modInfo, Dia *dia) : Module(modInfo, dia)
{
    loadDebugInfos();
}

DiaModule::DiaModule() : Module() {}

DiaModule::~DiaModule() = default;

void DiaModule::loadDebugInfos()
{
    bool ok = true;
    IClassFactory *factory = DiaFactoryWrapper::classFactory();
    if (!factory ||
        factory->CreateInstance(nullptr, IID_IDiaDataSource,
                                reinterpret_cast<void **>(dataSource.receive())) != S_OK ||
        !dataSource) {
        printLine("loadDebugInfos: CreateInstance failed");
        ok = false;
    }
    if (ok) {
        const QString path = modInfo.path;
        const ComPtr<LoadListener> listener(new LoadListener);
        const HRESULT loaded = dataSource->loadDataForExe(
            toOleString(path), nullptr, static_cast<IDiaLoadCallback *>(listener.get()));
        ok = loaded == S_OK;
        if (!ok)
            loadFailure = loadFailureText(path, loaded, *listener.get());
    }
    if (ok && (dataSource->openSession(session.receive()) != S_OK || !session)) {
        printLine("loadDebugInfos: openSession failed");
        ok = false;
    }
    if (ok && modInfo.loadAddress != 0 && session->put_loadAddress(modInfo.loadAddress) != S_OK) {
        printLine("loadDebugInfos: put_loadAddress failed");
        ok = false;
    }
    if (ok && (session->get_globalScope(globalScope.receive()) != S_OK || !globalScope)) {
        printLine("loadDebugInfos: get_globalScope failed");
        ok = false;
    }
    valid = ok && globalScope;
}

QString DiaModule::fallbackSourceFile() const
{
    return modInfo.name + QStringLiteral(":???");
}

// ---- symbols and source files ----

bool DiaModule::findSourceLocation(quint32 rva, QString &file, quint32 &line)
{
    if (!valid)
        return false;
    ComPtr<IDiaEnumLineNumbers> lines;
    if (session->findLinesByRVA(rva, 1, lines.receive()) != S_OK || !lines) {
        printLine("error: findLinesByRVA");
        return false;
    }
    ComPtr<IDiaLineNumber> record;
    ULONG fetched = 0;
    if (lines->Next(1, record.receive(), &fetched) != S_OK || fetched != 1 || !record)
        return false;
    DWORD number = 0;
    if (record->get_lineNumber(&number) != S_OK) {
        printLine("error: could not get line number");
        return false;
    }
    line = number;
    ComPtr<IDiaSourceFile> source;
    if (record->get_sourceFile(source.receive()) != S_OK || !source) {
        printLine("error: could not get source file");
        return false;
    }
    BStr name;
    if (source->get_fileName(name.receive()) != S_OK) {
        printLine("error: could not get sourcefile functionName");
        return false;
    }
    // Neighbouring functions mostly share a file: hand out the same string again rather than
    // a fresh copy per lookup.
    const BSTR text = name.get();
    int length = 0;
    if (text)
        while (text[length])
            ++length;
    if (length != lastSourceFile.size() ||
        (length > 0 &&
         std::memcmp(text, lastSourceFile.utf16(), size_t(length) * sizeof(OLECHAR)) != 0))
        lastSourceFile = fromBstr(text);
    file = lastSourceFile;
    return true;
}

template <typename Visit>
void DiaModule::forEachGlobalSymbol(SymTagEnum tag, const QString &pattern, Visit visit)
{
    ComPtr<IDiaEnumSymbols> symbols;
    if (globalScope->findChildren(tag, toOleString(pattern), nsRegularExpression,
                                  symbols.receive()) != S_OK ||
        !symbols) {
        printLine("error finding children");
        return;
    }
    const HRESULT hr = forEachItem<IDiaSymbol>(symbols.get(), [&](ComPtr<IDiaSymbol> &symbol) {
        if (symbol)
            visit(symbol);
        return true;
    });
    if (hr != S_OK)
        printLine("could not load symbol from enum");
}

QList<SymbolAddress> DiaModule::findSymbols(QStringList names, int symTag)
{
    QList<SymbolAddress> result;
    if (!valid)
        return result;
    for (const QString &pattern : names) {
        forEachGlobalSymbol(
            static_cast<SymTagEnum>(symTag), pattern, [&](ComPtr<IDiaSymbol> &symbol) {
                BStr name;
                if (symbol->get_name(name.receive()) != S_OK) {
                    printLine("ERROR - Failed to get the function functionName");
                    return;
                }
                DWORD rva = 0;
                if (symbol->get_relativeVirtualAddress(&rva) != S_OK) {
                    printLine("ERROR - Failed to get the function address");
                    return;
                }
                result.append(SymbolAddress(modInfo.loadAddress + rva, fromBstr(name.get())));
            });
    }
    return result;
}

QString DiaModule::sourceFileOf(quint32 address)
{
    QString file;
    quint32 line = 0;
    if (findSourceLocation(address - modInfo.loadAddress, file, line))
        return file;
    return fallbackSourceFile();
}

void DiaModule::buildLineIndex()
{
    if (!valid)
        return;
    // Offered by this platform's data source only; elsewhere the first lookup builds it.
    ComPtr<ILineIndex> lineIndex;
    if (session->QueryInterface(IID_ILineIndex, reinterpret_cast<void **>(lineIndex.receive())) ==
            S_OK &&
        lineIndex)
        lineIndex->buildLineIndex();
}

void DiaModule::printSymbolTag(quint32 address)
{
    if (!valid)
        return;
    ComPtr<IDiaSymbol> symbol;
    if (session->findSymbolByRVA(address - modInfo.loadAddress, SymTagFunction, symbol.receive()) !=
            S_OK ||
        !symbol) {
        printLine("error: could not find symbol");
        return;
    }
    DWORD tag = 0;
    if (symbol->get_symTag(&tag) != S_OK) {
        printLine("error: could not get symtag");
        return;
    }
    printLine(QStringLiteral("sym tag found") + QString::number(tag));
}

// ---- function records ----

bool DiaModule::findFunctionSymbol(quint32 rva, ComPtr<IDiaSymbol> &symbol)
{
    if (!valid)
        return false;
    if (session->findSymbolByRVA(rva, SymTagFunction, symbol.receive()) != S_OK || !symbol) {
        symbol.reset();
        printLine("error: could not find symbol");
        return false;
    }
    return true;
}

bool DiaModule::readName(IDiaSymbol *symbol, QString &name)
{
    if (!valid || !symbol)
        return false;
    BStr text;
    if (symbol->get_name(text.receive()) != S_OK) {
        printLine("error: get_name");
        return false;
    }
    name = fromBstr(text.get());
    return true;
}

bool DiaModule::readUndecoratedName(IDiaSymbol *symbol, QString &name)
{
    if (!valid || !symbol)
        return false;
    BStr text;
    if (symbol->get_undecoratedName(text.receive()) != S_OK)
        return false;
    name = fromBstr(text.get());
    return true;
}

bool DiaModule::readLineRange(IDiaSymbol *symbol, quint32 &firstLine, quint32 &lastLine,
                              quint32 &startRva)
{
    if (!valid || !symbol)
        return false;
    DWORD rva = 0;
    if (symbol->get_relativeVirtualAddress(&rva) != S_OK) {
        printLine("error: get start addr of function");
        return false;
    }
    startRva = rva;
    ULONGLONG length = 0;
    if (symbol->get_length(&length) != S_OK) {
        printLine("error: get length of function");
        return false;
    }
    ComPtr<IDiaEnumLineNumbers> lines;
    if (session->findLinesByRVA(rva, static_cast<DWORD>(length), lines.receive()) != S_OK ||
        !lines) {
        printLine("error: findLinesByRVA");
        return false;
    }
    bool ok = true;
    bool anyRead = false;
    DWORD last = 0;
    const HRESULT hr =
        forEachItem<IDiaLineNumber>(lines.get(), [&](ComPtr<IDiaLineNumber> &record) {
            DWORD number = 0;
            if (!record)
                printLine("error: could not get line");
            else if (record->get_lineNumber(&number) != S_OK)
                printLine("error: could not get line number");
            else {
                if (!anyRead)
                    firstLine = number;
                anyRead = true;
                last = number;
                return true;
            }
            ok = false;
            return false;
        });
    if (hr != S_OK) {
        printLine("error: could not get line");
        ok = false;
    }
    if (anyRead)
        lastLine = last;
    return ok;
}

bool DiaModule::readCallInfo(IDiaSymbol *symbol, quint32 &callingConvention, qint32 &thisAdjust,
                             bool &hasClass, quint32 &classId)
{
    if (!valid || !symbol)
        return false;
    ComPtr<IDiaSymbol> type;
    if (symbol->get_type(type.receive()) != S_OK || !type) {
        printLine("error: could not resolve function type");
        return false;
    }
    DWORD convention = 0;
    if (type->get_callingConvention(&convention) != S_OK) {
        printLine("error: could not resolve calling convention");
        return false;
    }
    callingConvention = convention;
    DWORD parent = 0;
    hasClass = type->get_classParentId(&parent) == S_OK;
    if (hasClass)
        classId = parent;
    if (convention == CV_CALL_THISCALL) {
        if (!hasClass)
            printLine("error: class could not be resolved although method is thiscall");
        LONG adjust = 0;
        if (type->get_thisAdjust(&adjust) != S_OK) {
            printLine("error: could not resolve this adjust");
            return false;
        }
        thisAdjust = adjust;
    }
    return true;
}

MethodKind DiaModule::classifyMethod(const QString &name, const ClassInfo *classInfo)
{
    if (!classInfo || name.isEmpty() || classInfo->name.isEmpty())
        return NotAMethod;
    const QString &className = classInfo->name;
    // The last component ends the name: colons inside template arguments do not count.
    int depth = 0;
    int stop = -1;
    for (int i = className.size() - 1; i >= 0; --i) {
        const QChar c = className.at(i);
        if (c == QLatin1Char('>'))
            ++depth;
        else if (c == QLatin1Char('<'))
            --depth;
        else if (c == QLatin1Char(':') && depth == 0) {
            stop = i;
            break;
        }
    }
    const QString component = stop >= 0 ? className.mid(stop + 1) : className;
    // Some compilers name the constructors of a class template without the template
    // arguments (Inner<T>::Inner); only constructors and destructors can carry that name.
    QString bare = component;
    if (component.endsWith(QLatin1Char('>'))) {
        int nesting = 0;
        for (int i = component.size() - 1; i > 0; --i) {
            if (component.at(i) == QLatin1Char('>'))
                ++nesting;
            else if (component.at(i) == QLatin1Char('<') && --nesting == 0) {
                bare = component.left(i);
                break;
            }
        }
    }
    const QString destructor = separator() + QLatin1Char('~');
    if (name.endsWith(QStringLiteral("`scalar deleting destructor'")) ||
        name.endsWith(destructor + component) || name.endsWith(destructor + bare))
        return Destructor;
    if (name.endsWith(separator() + component) || name.endsWith(separator() + bare))
        return Constructor;
    return OrdinaryMethod;
}

QString DiaModule::sanitizedName(const QString &name)
{
    QString printable;
    printable.reserve(name.size());
    // By UTF-16 code unit: a character outside the BMP becomes two.
    for (const QChar c : name)
        printable.append(c.unicode() >= 0x20 && c.unicode() <= 0x7E ? c : QLatin1Char('_'));
    return printable.simplified();
}

const FunctionInfo *DiaModule::functionInfo(quint32 address)
{
    const quint32 rva = address - modInfo.loadAddress;
    auto cached = functionCache.constFind(rva);
    if (cached != functionCache.constEnd())
        return &cached.value();

    QString name;
    QString undecorated;
    QString sourceFile;
    quint32 line = 0;
    quint32 firstLine = 0;
    quint32 lastLine = 0;
    qint32 thisAdjust = 0;
    quint32 startRva = rva;
    quint32 methodKind = NotAMethod;
    ClassInfo *classInfo = nullptr;
    bool locationFound = false;
    bool nameRead = false;
    bool undecoratedRead = false;

    if (valid) {
        locationFound = findSourceLocation(rva, sourceFile, line);
        if (locationFound) {
            // Many functions share a file: keep one shared copy of each path.
            auto known = sourceFiles.constFind(sourceFile);
            if (known != sourceFiles.constEnd())
                sourceFile = *known;
            else
                sourceFiles.insert(sourceFile);
        }
        ComPtr<IDiaSymbol> symbol;
        if (findFunctionSymbol(rva, symbol)) {
            nameRead = readName(symbol.get(), name);
            undecoratedRead = readUndecoratedName(symbol.get(), undecorated);
            readLineRange(symbol.get(), firstLine, lastLine, startRva);
            quint32 convention = 0;
            bool hasClass = false;
            quint32 classId = 0;
            const bool callInfoRead =
                readCallInfo(symbol.get(), convention, thisAdjust, hasClass, classId);
            if (hasClass)
                classInfo = classInfoById(classId);
            if (callInfoRead && classInfo && convention == CV_CALL_THISCALL)
                methodKind = classifyMethod(name, classInfo);
        }
    }
    if (!locationFound)
        sourceFile = fallbackSourceFile();

    // An empty name from the database names nothing: the next fallback does better.
    QString displayName;
    if (undecoratedRead && !undecorated.isEmpty())
        displayName = undecorated;
    else if (nameRead && !name.isEmpty())
        displayName = name;
    else
        displayName = QStringLiteral("%1:0x%2").arg(
            modInfo.name, QStringLiteral("%1").arg(address, 8, 16, QLatin1Char('0')));

    auto stored =
        functionCache.insert(rva, FunctionInfo(address, sanitizedName(displayName), sourceFile,
                                               line, modInfo.loadAddress + startRva, firstLine,
                                               lastLine, methodKind, thisAdjust, classInfo));
    return &stored.value();
}

QList<const FunctionInfo *> DiaModule::allFunctionInfos()
{
    QList<const FunctionInfo *> result;
    if (!valid)
        return result;
    forEachGlobalSymbol(SymTagFunction, QStringLiteral("*"), [&](ComPtr<IDiaSymbol> &symbol) {
        DWORD rva = 0;
        if (symbol->get_relativeVirtualAddress(&rva) != S_OK) {
            printLine("ERROR - Failed to get the function address");
            return;
        }
        symbol.reset();
        result.append(functionInfo(modInfo.loadAddress + rva));
    });
    return result;
}

// ---- class descriptions ----

ClassInfo *DiaModule::classInfoById(quint32 symIndexId)
{
    if (!valid || !dia || !dia->registry)
        return nullptr;
    // By definition, not by name: anonymous-namespace classes of two sources, or MSVC's
    // <unnamed-tag> types, share a name but not a layout. A forward reference carries its
    // definition's id, so each definition is read once.
    auto cached = classCache.constFind(symIndexId);
    if (cached != classCache.constEnd()) {
        // Only a damaged database makes a type contain itself. The description still being
        // read may yet be replaced by an equal registered one; a pointer to it would dangle.
        if (cached.value() && cached.value()->id == 0)
            return nullptr;
        return cached.value();
    }
    ComPtr<IDiaSymbol> udt;
    QString name;
    if (!findUdt(symIndexId, udt, name))
        return nullptr;

    // In the cache before any child is read, so that meeting the id again ends the descent.
    ClassInfo *description = new ClassInfo;
    description->name = name;
    classCache.insert(symIndexId, description);

    ULONGLONG length = 0;
    const bool sizeRead = udt->get_length(&length) == S_OK;
    if (!sizeRead)
        printLine("error: could not get size of udt");
    description->size = sizeRead ? static_cast<quint32>(length) : 0;
    if (sizeRead)
        addMembers(description, udt.get());

    ClassInfo *&slot = classCache[symIndexId];
    dia->registry->takeOwnershipAndSetId(&slot);
    return slot;
}

bool DiaModule::findUdt(quint32 symIndexId, ComPtr<IDiaSymbol> &udt, QString &name)
{
    if (session->symbolById(symIndexId, udt.receive()) != S_OK || !udt) {
        printLine(QStringLiteral("error: could not get symbol ") + QString::number(symIndexId));
        return false;
    }
    DWORD tag = 0;
    if (udt->get_symTag(&tag) != S_OK) {
        printLine("error: could not get symtag");
        return false;
    }
    if (tag != SymTagUDT) {
        printLine("error: symbol requested by id is no udt");
        return false;
    }
    BStr nameText;
    if (udt->get_name(nameText.receive()) != S_OK) {
        printLine("error: could not get name of udt");
        return false;
    }
    name = fromBstr(nameText.get());
    return true;
}

// Methods, data members and bases; other children (typedefs, nested types) describe nothing.
void DiaModule::addMembers(ClassInfo *description, IDiaSymbol *udt)
{
    const QString prefix = description->name + separator();
    ComPtr<IDiaEnumSymbols> children;
    if (udt->findChildren(SymTagNull, nullptr, nsNone, children.receive()) != S_OK || !children) {
        printLine("error: could not get udt children");
        return;
    }
    const HRESULT hr = forEachItem<IDiaSymbol>(children.get(), [&](ComPtr<IDiaSymbol> &child) {
        DWORD childTag = 0;
        if (!child)
            return true;
        if (child->get_symTag(&childTag) != S_OK)
            printLine("error: could not get child symTag");
        else if (childTag == SymTagFunction)
            addMethod(description, child.get(), prefix);
        else if (childTag == SymTagData)
            addDataMember(description, child.get());
        else if (childTag == SymTagBaseClass)
            addBaseClass(description, child.get());
        return true;
    });
    if (hr != S_OK)
        printLine("error: could not traverse children");
}

bool DiaModule::addBaseClass(ClassInfo *description, IDiaSymbol *base)
{
    if (!valid || !description || !base)
        return false;
    BOOL isVirtual = 0;
    if (base->get_virtualBaseClass(&isVirtual) != S_OK) {
        printLine("error: could not determine whether base class is virtual");
        return false;
    }
    LONG offset = 0;
    if (isVirtual) {
        if (base->get_virtualBasePointerOffset(&offset) != S_OK) {
            printLine("error: could not resolve offset to virtual base-class");
            return false;
        }
    } else if (base->get_offset(&offset) != S_OK) {
        printLine("error: could not resolve offset to base-class");
        return false;
    }
    DWORD typeId = 0;
    if (base->get_typeId(&typeId) != S_OK) {
        printLine("error: could not get id of base class type");
        return false;
    }
    ClassInfo *baseInfo = classInfoById(typeId);
    if (!baseInfo)
        return false;
    if (isVirtual)
        description->virtualBases[offset].append(baseInfo);
    else
        description->bases[offset].append(baseInfo);
    return true;
}

bool DiaModule::addMethod(ClassInfo *description, IDiaSymbol *function, const QString &prefix)
{
    if (!valid || !description || !function)
        return false;
    BStr text;
    if (function->get_name(text.receive()) != S_OK) {
        printLine("error: could not resolve function diaFnName");
        return false;
    }
    QString name = fromBstr(text.get());
    if (name.startsWith(prefix))
        name.remove(0, prefix.size());
    description->methodNames.insert(name);
    return true;
}

bool DiaModule::addDataMember(ClassInfo *description, IDiaSymbol *data)
{
    if (!valid || !description || !data)
        return false;
    BStr text;
    if (data->get_name(text.receive()) != S_OK) {
        printLine("error: could not resolve data name");
        return false;
    }
    const QString memberName = fromBstr(text.get());
    description->dataNames.insert(memberName);
    ComPtr<IDiaSymbol> type;
    if (data->get_type(type.receive()) != S_OK || !type) {
        printLine("error: could not resolve data type");
        return false;
    }
    DWORD kind = 0;
    if (data->get_dataKind(&kind) != S_OK) {
        printLine("error: could not resolve data kind of nested data element");
        return false;
    }
    if (kind != DataIsMember)
        return true;
    LONG offset = 0;
    bool ok = true;
    if (data->get_offset(&offset) != S_OK) {
        // The type is still looked at; the member is taken to start the object.
        offset = 0;
        printLine(QStringLiteral("error: could not resolve offset of nested data element") +
                  description->name + QLatin1Char(' ') + memberName);
        ok = false;
    }
    const bool typeOk = addDataType(description, type.get(), QList<int>() << int(offset));
    return ok && typeOk;
}

bool DiaModule::addDataType(ClassInfo *description, IDiaSymbol *type, const QList<int> &offsets)
{
    return addDataType(description, type, offsets, {}, 0);
}

// Array dimensions (count, element size), outermost first, are collected on the way down and
// multiplied out only when a class type is reached: arrays of scalars record nothing and must
// not cost memory in proportion to their element count.
bool DiaModule::addDataType(ClassInfo *description, IDiaSymbol *type, const QList<int> &offsets,
                            const QList<QPair<quint32, quint32>> &dimensions, int depth)
{
    if (!valid || !description || !type)
        return false;
    DWORD tag = 0;
    if (type->get_symTag(&tag) != S_OK) {
        printLine("error: could not resolve symTag of data type");
        return false;
    }
    if (tag == SymTagUDT) {
        DWORD id = 0;
        if (type->get_symIndexId(&id) != S_OK) {
            printLine("error: could not resolve symIndexId of nested udt");
            return false;
        }
        ClassInfo *nested = classInfoById(id);
        if (!nested)
            return false;
        quint64 total = quint64(offsets.size());
        for (const auto &dimension : dimensions) {
            total *= dimension.first;
            if (total > MaxExpandedElements)
                return true;
        }
        QList<int> expanded = offsets;
        for (const auto &dimension : dimensions) {
            QList<int> next;
            next.reserve(int(expanded.size() * dimension.first));
            for (int o : expanded)
                for (quint32 i = 0; i < dimension.first; ++i)
                    next.append(int(quint32(o) + i * dimension.second));
            expanded.swap(next);
        }
        for (int o : expanded)
            description->nestedUdts[o].append(nested);
        return true;
    }
    if (tag != SymTagArrayType)
        return true;
    DWORD count = 0;
    if (type->get_count(&count) != S_OK) {
        printLine("error: could not resolve array element count");
        return false;
    }
    ULONGLONG length = 0;
    if (type->get_length(&length) != S_OK) {
        printLine("error: could not resolve length of array");
        return false;
    }
    if (count == 0 || length % count != 0)
        return true;
    const quint32 elementSize = static_cast<quint32>(length / count);
    ComPtr<IDiaSymbol> element;
    if (type->get_type(element.receive()) != S_OK || !element) {
        printLine("error: could not resolve child type of array");
        return false;
    }
    if (depth >= MaxArrayDepth)
        return true;
    QList<QPair<quint32, quint32>> inner = dimensions;
    inner.append(qMakePair(quint32(count), elementSize));
    return addDataType(description, element.get(), offsets, inner, depth + 1);
}

} // namespace TQ::EXTRACTORS::CPP::DIA
