// The debug-information data source: the DIA classes over a PdbIndex, and their registration
// with the in-process COM class registry.
#include "DiaInterfaces.h"
#include "NamePattern.h"
#include "PdbIndex.h"

#include <llvm/ADT/ArrayRef.h>
#include <llvm/ADT/SmallVector.h>
#include <llvm/ADT/StringRef.h>
#include <llvm/Demangle/Demangle.h>
#include <llvm/Support/ConvertUTF.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <sys/stat.h>

const CLSID CLSID_DiaSource = {
    0x4C41678E, 0x887B, 0x4365, {0xA0, 0x9E, 0x92, 0x5D, 0x28, 0xDB, 0x33, 0xC2}};
const IID IID_IDiaDataSource = {
    0x79F1BB5F, 0xB66E, 0x48E5, {0xB6, 0xA9, 0x15, 0x45, 0xC3, 0x23, 0xCA, 0x3D}};

namespace TQ::PLATFORM::PDB {

namespace {

// Asked out of order: a session before any data was loaded.
constexpr HRESULT kUnexpected = static_cast<HRESULT>(0x8000FFFFu);

using Index = std::shared_ptr<PdbIndex>;

BSTR toBstr(std::string_view utf8)
{
    // Names and paths are nearly always ASCII, which widens byte by byte; a source lookup per
    // function makes this the common case.
    size_t ascii = 0;
    while (ascii < utf8.size() && static_cast<unsigned char>(utf8[ascii]) < 0x80)
        ++ascii;
    if (ascii == utf8.size()) {
        BSTR text = SysAllocStringLen(nullptr, uint32_t(utf8.size()));
        if (text)
            for (size_t i = 0; i < utf8.size(); ++i)
                text[i] = OLECHAR(utf8[i]);
        return text;
    }
    llvm::SmallVector<llvm::UTF16, 64> wide;
    if (!llvm::convertUTF8ToUTF16String(llvm::StringRef(utf8.data(), utf8.size()), wide)) {
        // Not UTF-8 (an old compiler's code page): keep the bytes as Latin-1.
        wide.clear();
        for (char c : utf8)
            wide.push_back(static_cast<unsigned char>(c));
    }
    return SysAllocStringLen(reinterpret_cast<const OLECHAR *>(wide.data()), uint32_t(wide.size()));
}

bool toUtf8(LPCOLESTR text, std::string &out)
{
    size_t length = 0;
    while (text[length])
        ++length;
    llvm::ArrayRef<llvm::UTF16> wide(reinterpret_cast<const llvm::UTF16 *>(text), length);
    out.clear();
    return length == 0 || llvm::convertUTF16ToUTF8String(wide, out);
}

std::string undecorate(std::string_view name)
{
    if (name.empty() || name.front() != '?')
        return std::string(name);
    const std::string mangled(name);
    char *plain = llvm::microsoftDemangle(mangled.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (!plain)
        return mangled;
    std::string result(plain);
    std::free(plain);
    return result;
}

// A property of a symbol: S_FALSE where it does not apply, else the value get() gives, asked
// only then.
template <typename T, typename Get> HRESULT property(T *out, bool applies, Get get)
{
    if (!out)
        return E_POINTER;
    if (!applies)
        return S_FALSE;
    *out = T(get());
    return S_OK;
}

// Symbol ids: the kind in the top four bits, the index below.
enum class Kind : uint32_t { Exe = 0, Function = 1, Public = 2, Child = 3, Type = 4 };
constexpr uint32_t kIndexBits = 28;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr DWORD kGlobalScopeId = 1;

DWORD makeId(Kind kind, uint32_t index)
{
    return kind == Kind::Exe ? kGlobalScopeId : (uint32_t(kind) << kIndexBits) | index;
}

HRESULT newSymbol(const Index &index, Kind kind, uint32_t item, IDiaSymbol **out);

// Whether a (canonical) type index names a record that is shown as a symbol.
bool isTypeSymbol(PdbTypes &types, uint32_t canonical)
{
    return canonical != 0 && canonical <= kIndexMask && types.typeInfo(canonical).tag != SymTagNull;
}

SymTagEnum childTag(const ClassChild &c)
{
    switch (c.kind) {
    case ClassChild::Method:
        return SymTagFunction;
    case ClassChild::Data:
        return SymTagData;
    case ClassChild::BaseClass:
        return SymTagBaseClass;
    }
    return SymTagNull;
}

// An enumerator over count items that item(n, &out) makes one at a time, as they are asked for.
template <typename Interface, typename Item, typename MakeItem>
class Enumerator final : public ComObject<Interface>
{
public:
    Enumerator(size_t count, MakeItem item) : m_count(count), m_item(std::move(item)) {}

    HRESULT Next(ULONG count, Item **items, ULONG *fetched) override
    {
        if (!items || (!fetched && count != 1))
            return E_POINTER;
        ULONG got = 0;
        while (got < count && m_next < m_count && SUCCEEDED(m_item(m_next, &items[got]))) {
            ++m_next;
            ++got;
        }
        if (fetched)
            *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }

private:
    size_t m_next = 0;
    size_t m_count;
    MakeItem m_item;
};

template <typename Interface, typename Item, typename MakeItem>
HRESULT newEnumerator(size_t count, MakeItem item, Interface **out)
{
    *out = new (std::nothrow) Enumerator<Interface, Item, MakeItem>(count, std::move(item));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT newSymbolEnumerator(const Index &index, std::vector<DWORD> ids, IDiaEnumSymbols **out)
{
    const size_t count = ids.size();
    return newEnumerator<IDiaEnumSymbols, IDiaSymbol>(
        count,
        [index, ids = std::move(ids)](size_t n, IDiaSymbol **symbol) {
            return newSymbol(index, Kind(ids[n] >> kIndexBits), ids[n] & kIndexMask, symbol);
        },
        out);
}

class SourceFile final : public ComObject<IDiaSourceFile>
{
public:
    SourceFile(Index index, uint32_t file) : m_index(std::move(index)), m_file(file) {}

    HRESULT get_fileName(BSTR *name) override
    {
        if (!name)
            return E_POINTER;
        *name = toBstr(m_index->fileName(m_file));
        return *name ? S_OK : E_OUTOFMEMORY;
    }

private:
    Index m_index;
    uint32_t m_file;
};

class LineNumber final : public ComObject<IDiaLineNumber>
{
public:
    LineNumber(Index index, size_t line) : m_index(std::move(index)), m_line(line) {}

    HRESULT get_lineNumber(DWORD *line) override
    {
        return property(line, true, [this] { return record().line; });
    }
    HRESULT get_sourceFile(IDiaSourceFile **file) override
    {
        if (!file)
            return E_POINTER;
        *file = new (std::nothrow) SourceFile(m_index, record().file);
        return *file ? S_OK : E_OUTOFMEMORY;
    }

private:
    const PdbIndex::Line &record() const { return m_index->lines()[m_line]; }

    Index m_index;
    size_t m_line;
};

class Symbol final : public ComObject<IDiaSymbol>
{
public:
    Symbol(Index index, Kind kind, uint32_t item)
        : m_index(std::move(index)), m_kind(kind), m_item(item)
    {
    }

    HRESULT get_symIndexId(DWORD *id) override
    {
        return property(id, true, [this] { return makeId(m_kind, m_item); });
    }

    HRESULT get_symTag(DWORD *tag) override
    {
        return property(tag, true, [this] {
            switch (m_kind) {
            case Kind::Exe:
                return SymTagExe;
            case Kind::Function:
                return SymTagFunction;
            case Kind::Public:
                return SymTagPublicSymbol;
            case Kind::Child:
                return childTag(child());
            case Kind::Type:
                return typeInfo().tag;
            }
            return SymTagNull;
        });
    }

    HRESULT get_name(BSTR *name) override
    {
        if (!name)
            return E_POINTER;
        *name = nullptr;
        std::string_view text;
        switch (m_kind) {
        case Kind::Exe:
            return S_FALSE;
        case Kind::Function:
            text = m_index->name(function());
            break;
        case Kind::Public:
            text = m_index->name(publicSymbol());
            break;
        case Kind::Child:
            if (child().kind != ClassChild::BaseClass) {
                text = child().name;
                break;
            }
            [[fallthrough]]; // a base class is named after its type
        case Kind::Type: {
            const TypeInfo &info = types().typeInfo(m_kind == Kind::Type ? m_item : child().type);
            if (!info.hasName)
                return S_FALSE;
            text = info.name;
            break;
        }
        }
        *name = toBstr(text);
        return *name ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT get_undecoratedName(BSTR *name) override
    {
        if (!name)
            return E_POINTER;
        *name = nullptr;
        if (m_kind != Kind::Function)
            return S_FALSE;
        *name = toBstr(undecorate(m_index->name(function())));
        return *name ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT get_relativeVirtualAddress(DWORD *rva) override
    {
        if (m_kind == Kind::Function)
            return property(rva, true, [this] { return function().rva; });
        return property(rva, m_kind == Kind::Public && publicSymbol().hasRva,
                        [this] { return publicSymbol().rva; });
    }

    HRESULT get_length(ULONGLONG *length) override
    {
        if (m_kind == Kind::Function)
            return property(length, true, [this] { return function().length; });
        const TypeInfo *info = nullptr;
        if (m_kind == Kind::Type)
            info = &typeInfo();
        else if (m_kind == Kind::Child && child().kind != ClassChild::Method)
            info = &types().typeInfo(child().type);
        return property(length, info && info->hasLength, [info] { return info->length; });
    }

    HRESULT get_type(IDiaSymbol **type) override
    {
        if (!type)
            return E_POINTER;
        *type = nullptr;
        uint32_t ti = 0;
        if (!typeOf(ti))
            return S_FALSE;
        return newSymbol(m_index, Kind::Type, ti, type);
    }

    HRESULT get_typeId(DWORD *id) override
    {
        uint32_t ti = 0;
        return property(id, id && typeOf(ti), [&ti] { return makeId(Kind::Type, ti); });
    }

    HRESULT get_callingConvention(DWORD *convention) override
    {
        return property(convention, isType() && typeInfo().hasCallingConvention,
                        [this] { return typeInfo().callingConvention; });
    }

    HRESULT get_classParentId(DWORD *id) override
    {
        uint32_t parent = 0;
        return property(id, classParentOf(parent) && isTypeSymbol(types(), parent),
                        [&parent] { return makeId(Kind::Type, parent); });
    }

    HRESULT get_thisAdjust(LONG *adjust) override
    {
        return property(adjust, isType() && typeInfo().hasThisAdjust,
                        [this] { return typeInfo().thisAdjust; });
    }

    HRESULT get_dataKind(DWORD *kind) override
    {
        return property(kind, isChild(ClassChild::Data),
                        [this] { return child().isStatic ? DataIsStaticMember : DataIsMember; });
    }

    HRESULT get_offset(LONG *offset) override
    {
        const bool applies = (isChild(ClassChild::Data) && !child().isStatic) ||
                             (isChild(ClassChild::BaseClass) && !child().isVirtualBase);
        return property(offset, applies, [this] { return child().offset; });
    }

    HRESULT get_count(DWORD *count) override
    {
        return property(count, isType() && typeInfo().hasCount,
                        [this] { return typeInfo().count; });
    }

    HRESULT get_virtualBaseClass(BOOL *isVirtual) override
    {
        return property(isVirtual, isChild(ClassChild::BaseClass),
                        [this] { return child().isVirtualBase ? 1 : 0; });
    }

    HRESULT get_virtualBasePointerOffset(LONG *offset) override
    {
        return property(offset, isChild(ClassChild::BaseClass) && child().isVirtualBase,
                        [this] { return child().vbptrOffset; });
    }

    HRESULT findChildren(SymTagEnum tag, LPCOLESTR name, DWORD compareFlags,
                         IDiaEnumSymbols **children) override
    {
        if (!children)
            return E_POINTER;
        *children = nullptr;
        std::string pattern;
        if (name && !toUtf8(name, pattern))
            return E_INVALIDARG;
        const NamePattern filter(name ? &pattern : nullptr, compareFlags);
        std::vector<DWORD> ids;
        if (m_kind == Kind::Exe)
            globalChildren(tag, filter, ids);
        else if (isType() && typeInfo().tag == SymTagUDT)
            classChildren(tag, filter, ids);
        return newSymbolEnumerator(m_index, std::move(ids), children);
    }

private:
    PdbTypes &types() const { return m_index->types(); }
    const PdbIndex::Function &function() const { return m_index->functions()[m_item]; }
    const PdbIndex::Public &publicSymbol() const { return m_index->publics()[m_item]; }
    const ClassChild &child() const { return types().classChild(m_item); }
    const TypeInfo &typeInfo() const { return types().typeInfo(m_item); }
    bool isType() const { return m_kind == Kind::Type; }
    bool isChild(ClassChild::Kind kind) const
    {
        return m_kind == Kind::Child && child().kind == kind;
    }

    bool typeOf(uint32_t &ti) const
    {
        switch (m_kind) {
        case Kind::Function:
            ti = types().canonicalType(function().type);
            break;
        case Kind::Child:
            ti = child().type;
            break;
        case Kind::Type:
            if (!typeInfo().hasType)
                return false;
            ti = typeInfo().type;
            break;
        default:
            return false;
        }
        return isTypeSymbol(types(), ti);
    }

    bool classParentOf(uint32_t &parent) const
    {
        if (m_kind == Kind::Child) {
            parent = child().parent;
            return true;
        }
        const TypeInfo *info = nullptr;
        if (isType())
            info = &typeInfo();
        else if (m_kind == Kind::Function && isTypeSymbol(types(), function().type))
            info = &types().typeInfo(types().canonicalType(function().type));
        if (!info || !info->hasClassParent)
            return false;
        parent = info->classParent;
        return true;
    }

    void globalChildren(SymTagEnum tag, const NamePattern &filter, std::vector<DWORD> &ids) const
    {
        if (tag == SymTagNull || tag == SymTagFunction) {
            const auto &functions = m_index->functions();
            for (size_t i = 0; i < functions.size(); ++i)
                if (filter.matches(m_index->name(functions[i])))
                    ids.push_back(makeId(Kind::Function, uint32_t(i)));
        }
        if (tag == SymTagNull || tag == SymTagPublicSymbol) {
            const auto &publics = m_index->publics();
            for (size_t i = 0; i < publics.size(); ++i)
                if (filter.matches(m_index->name(publics[i])))
                    ids.push_back(makeId(Kind::Public, uint32_t(i)));
        }
    }

    void classChildren(SymTagEnum tag, const NamePattern &filter, std::vector<DWORD> &ids) const
    {
        const auto range = types().classChildren(m_item);
        for (size_t i = range.first; i < range.second && i <= kIndexMask; ++i) {
            const ClassChild &c = types().classChild(i);
            if (tag != SymTagNull && childTag(c) != tag)
                continue;
            // Bases are named after their type, other members by their own name.
            if (filter.matches(c.kind == ClassChild::BaseClass ? types().typeInfo(c.type).name
                                                               : c.name))
                ids.push_back(makeId(Kind::Child, uint32_t(i)));
        }
    }

    Index m_index;
    Kind m_kind;
    uint32_t m_item;
};

HRESULT newSymbol(const Index &index, Kind kind, uint32_t item, IDiaSymbol **out)
{
    *out = new (std::nothrow) Symbol(index, kind, item);
    return *out ? S_OK : E_OUTOFMEMORY;
}

class Session final : public ComObject<IDiaSession, ILineIndex>
{
public:
    explicit Session(Index index) : m_index(std::move(index)) {}

    HRESULT buildLineIndex() override
    {
        try {
            m_index->buildLineIndex();
        } catch (const std::bad_alloc &) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    // Only RVAs are handed out: the load address changes no answer.
    HRESULT put_loadAddress(ULONGLONG) override { return S_OK; }

    HRESULT get_globalScope(IDiaSymbol **scope) override
    {
        if (!scope)
            return E_POINTER;
        return newSymbol(m_index, Kind::Exe, 0, scope);
    }

    HRESULT findSymbolByRVA(DWORD rva, SymTagEnum tag, IDiaSymbol **symbol) override
    {
        if (!symbol)
            return E_POINTER;
        *symbol = nullptr;
        // Functions only: the reader asks for nothing else by address.
        const long found = tag == SymTagFunction ? m_index->functionAt(rva) : -1;
        if (found < 0 || uint32_t(found) > kIndexMask)
            return S_FALSE;
        return newSymbol(m_index, Kind::Function, uint32_t(found), symbol);
    }

    HRESULT findLinesByRVA(DWORD rva, DWORD length, IDiaEnumLineNumbers **lines) override
    {
        if (!lines)
            return E_POINTER;
        const auto range = m_index->linesIn(rva, length);
        return newEnumerator<IDiaEnumLineNumbers, IDiaLineNumber>(
            range.second - range.first,
            [index = m_index, first = range.first](size_t n, IDiaLineNumber **line) {
                *line = new (std::nothrow) LineNumber(index, first + n);
                return *line ? S_OK : E_OUTOFMEMORY;
            },
            lines);
    }

    HRESULT symbolById(DWORD id, IDiaSymbol **symbol) override
    {
        if (!symbol)
            return E_POINTER;
        *symbol = nullptr;
        if (id == kGlobalScopeId)
            return newSymbol(m_index, Kind::Exe, 0, symbol);
        const uint32_t item = id & kIndexMask;
        switch (Kind(id >> kIndexBits)) {
        case Kind::Function:
            if (item < m_index->functions().size())
                return newSymbol(m_index, Kind::Function, item, symbol);
            break;
        case Kind::Public:
            if (item < m_index->publics().size())
                return newSymbol(m_index, Kind::Public, item, symbol);
            break;
        case Kind::Child:
            if (item < m_index->types().childCount())
                return newSymbol(m_index, Kind::Child, item, symbol);
            break;
        case Kind::Type: {
            // Ids name canonical types only, so that one class has one id.
            PdbTypes &types = m_index->types();
            if (types.canonicalType(item) == item && isTypeSymbol(types, item))
                return newSymbol(m_index, Kind::Type, item, symbol);
            break;
        }
        default:
            break;
        }
        return E_INVALIDARG;
    }

private:
    Index m_index;
};

class DataSource final : public ComObject<IDiaDataSource>
{
public:
    HRESULT loadDataForExe(LPCOLESTR executable, LPCOLESTR, IUnknown *callback) override
    {
        if (!executable)
            return E_INVALIDARG;
        std::string path;
        if (!toUtf8(executable, path) || path.empty())
            return E_INVALIDARG;
        std::unique_ptr<PdbIndex> loaded;
        LoadReport report;
        const LoadResult result = PdbIndex::load(path, loaded, &report);
        HRESULT failure = S_OK;
        for (const LoadReport::Candidate &c : report.candidates) {
            const HRESULT tried = candidateResult(report, c);
            notify(callback, c, tried, report);
            if (c.result == result && failure == S_OK)
                failure = tried;
        }
        switch (result) {
        case LoadResult::Ok:
            m_index = Index(std::move(loaded));
            return S_OK;
        case LoadResult::NoImage: {
            struct stat st;
            return ::stat(path.c_str(), &st) == 0 ? E_ACCESSDENIED : E_FILE_NOT_FOUND;
        }
        case LoadResult::NotPe:
            return E_PDB_INVALID_EXECUTABLE;
        case LoadResult::NoDebugInfo:
            return E_PDB_NO_DEBUG_INFO;
        case LoadResult::NoPdb:
            return E_PDB_NOT_FOUND;
        case LoadResult::Mismatch:
        case LoadResult::Corrupt:
            return failure != S_OK ? failure : E_PDB_FORMAT;
        }
        return E_FAIL;
    }

    HRESULT openSession(IDiaSession **session) override
    {
        if (!session)
            return E_POINTER;
        *session = nullptr;
        if (!m_index)
            return kUnexpected;
        if (!m_index->build())
            return E_FAIL;
        *session = new (std::nothrow) Session(m_index);
        return *session ? S_OK : E_OUTOFMEMORY;
    }

private:
    static HRESULT candidateResult(const LoadReport &report, const LoadReport::Candidate &c)
    {
        switch (c.result) {
        case LoadResult::Ok:
            return S_OK;
        case LoadResult::Mismatch:
            return std::memcmp(c.guid, report.guid, sizeof c.guid) != 0 ? E_PDB_INVALID_SIG
                                                                        : E_PDB_INVALID_AGE;
        case LoadResult::Corrupt:
            return E_PDB_FORMAT;
        default:
            return E_PDB_NOT_FOUND;
        }
    }

    // Tells the caller's callback, as DIA does, each place tried and how it went.
    static void notify(IUnknown *callback, const LoadReport::Candidate &c, HRESULT result,
                       const LoadReport &report)
    {
        if (!callback)
            return;
        BStr path;
        *path.receive() = toBstr(c.path);
        if (!path.get())
            return;
        IDiaLoadCallback *load = nullptr;
        if (callback->QueryInterface(IID_IDiaLoadCallback, reinterpret_cast<void **>(&load)) ==
                S_OK &&
            load) {
            load->NotifyOpenPDB(path.get(), result);
            load->Release();
        }
        IPdbSignatureCallback *signature = nullptr;
        if (c.result == LoadResult::Mismatch &&
            callback->QueryInterface(IID_IPdbSignatureCallback,
                                     reinterpret_cast<void **>(&signature)) == S_OK &&
            signature) {
            GUID expected, found;
            static_assert(sizeof expected == sizeof report.guid, "a GUID is 16 bytes");
            std::memcpy(&expected, report.guid, sizeof expected);
            std::memcpy(&found, c.guid, sizeof found);
            signature->NotifyPdbSignature(path.get(), expected, report.age, found, c.age);
            signature->Release();
        }
    }

    Index m_index;
};

class Factory final : public ComObject<IClassFactory>
{
public:
    HRESULT CreateInstance(IUnknown *outer, REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        DataSource *source = new (std::nothrow) DataSource;
        if (!source)
            return E_OUTOFMEMORY;
        const HRESULT hr = source->QueryInterface(iid, object);
        source->Release();
        return hr;
    }

    HRESULT LockServer(BOOL) override { return S_OK; }
};

IClassFactory *createFactory()
{
    return new (std::nothrow) Factory;
}

// Registered before ordinary static objects run, so that the reader's start-up object, which
// asks for the class before main, finds it whatever the link order.
struct Registration
{
    Registration() { registerInProcServer(CLSID_DiaSource, &createFactory); }
};
Registration registration __attribute__((init_priority(101)));

} // namespace

} // namespace TQ::PLATFORM::PDB
