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

namespace TQ {
namespace PLATFORM {
namespace PDB {

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

template <typename T> HRESULT give(T *value, T *out)
{
    if (!out)
        return E_POINTER;
    *out = *value;
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

class Symbol;
HRESULT newSymbol(const Index &index, Kind kind, uint32_t item, IDiaSymbol **out);

// Whether a (canonical) type index names a record that is shown as a symbol.
bool isTypeSymbol(PdbIndex &index, uint32_t canonical)
{
    return canonical != 0 && canonical <= kIndexMask && index.typeInfo(canonical).tag != 0;
}

DWORD childTag(PdbIndex &index, const ClassChild &c)
{
    switch (c.kind) {
    case ClassChild::Method:
        return SymTagFunction;
    case ClassChild::Data:
        return SymTagData;
    case ClassChild::BaseClass:
        return SymTagBaseClass;
    case ClassChild::VTable:
        return SymTagVTable;
    case ClassChild::NestedType:
        return index.typeInfo(c.type).tag;
    }
    return SymTagNull;
}

class EnumSymbols final : public ComObject<IDiaEnumSymbols>
{
public:
    EnumSymbols(Index index, std::vector<DWORD> ids)
        : m_index(std::move(index)), m_ids(std::move(ids))
    {
    }

    HRESULT QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown)
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IUnknown *>(this);
        return S_OK;
    }

    HRESULT Next(ULONG count, IDiaSymbol **items, ULONG *fetched) override
    {
        if (!items || (!fetched && count != 1))
            return E_POINTER;
        ULONG got = 0;
        while (got < count && m_next < m_ids.size()) {
            const DWORD id = m_ids[m_next++];
            if (FAILED(newSymbol(m_index, Kind(id >> kIndexBits), id & kIndexMask, &items[got])))
                break;
            ++got;
        }
        if (fetched)
            *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }

    HRESULT get_Count(LONG *count) override
    {
        if (!count)
            return E_POINTER;
        *count = LONG(m_ids.size());
        return S_OK;
    }

private:
    Index m_index;
    std::vector<DWORD> m_ids;
    size_t m_next = 0;
};

class SourceFile final : public ComObject<IDiaSourceFile>
{
public:
    SourceFile(Index index, uint32_t file) : m_index(std::move(index)), m_file(file) {}

    HRESULT QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown)
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IUnknown *>(this);
        return S_OK;
    }

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

    HRESULT QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown)
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IUnknown *>(this);
        return S_OK;
    }

    HRESULT get_lineNumber(DWORD *line) override
    {
        DWORD v = record().line;
        return give(&v, line);
    }
    HRESULT get_sourceFile(IDiaSourceFile **file) override
    {
        if (!file)
            return E_POINTER;
        *file = new (std::nothrow) SourceFile(m_index, record().file);
        return *file ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT get_relativeVirtualAddress(DWORD *rva) override
    {
        DWORD v = record().rva;
        return give(&v, rva);
    }
    HRESULT get_length(DWORD *length) override
    {
        DWORD v = record().length;
        return give(&v, length);
    }

private:
    const PdbIndex::Line &record() const { return m_index->lines()[m_line]; }

    Index m_index;
    size_t m_line;
};

class EnumLineNumbers final : public ComObject<IDiaEnumLineNumbers>
{
public:
    EnumLineNumbers(Index index, size_t first, size_t last)
        : m_index(std::move(index)), m_next(first), m_first(first), m_last(last)
    {
    }

    HRESULT QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown)
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IUnknown *>(this);
        return S_OK;
    }

    HRESULT Next(ULONG count, IDiaLineNumber **items, ULONG *fetched) override
    {
        if (!items || (!fetched && count != 1))
            return E_POINTER;
        ULONG got = 0;
        while (got < count && m_next < m_last) {
            items[got] = new (std::nothrow) LineNumber(m_index, m_next);
            if (!items[got])
                break;
            ++m_next;
            ++got;
        }
        if (fetched)
            *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }

    HRESULT get_Count(LONG *count) override
    {
        if (!count)
            return E_POINTER;
        *count = LONG(m_last - m_first);
        return S_OK;
    }

private:
    Index m_index;
    size_t m_next;
    size_t m_first;
    size_t m_last;
};

class Symbol final : public ComObject<IDiaSymbol>
{
public:
    Symbol(Index index, Kind kind, uint32_t item)
        : m_index(std::move(index)), m_kind(kind), m_item(item)
    {
    }

    HRESULT QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown)
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IUnknown *>(this);
        return S_OK;
    }

    HRESULT get_symIndexId(DWORD *id) override
    {
        DWORD v = makeId(m_kind, m_item);
        return give(&v, id);
    }

    HRESULT get_symTag(DWORD *tag) override
    {
        if (!tag)
            return E_POINTER;
        switch (m_kind) {
        case Kind::Exe:
            *tag = SymTagExe;
            break;
        case Kind::Function:
            *tag = SymTagFunction;
            break;
        case Kind::Public:
            *tag = SymTagPublicSymbol;
            break;
        case Kind::Child:
            *tag = childTag(*m_index, child());
            break;
        case Kind::Type:
            *tag = typeInfo().tag;
            break;
        }
        return S_OK;
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
            if (child().kind == ClassChild::VTable)
                return S_FALSE;
            if (child().kind == ClassChild::BaseClass) {
                const TypeInfo &base = m_index->typeInfo(child().type);
                if (!base.hasName)
                    return S_FALSE;
                text = base.name;
            } else {
                text = child().name;
            }
            break;
        case Kind::Type:
            if (!typeInfo().hasName)
                return S_FALSE;
            text = typeInfo().name;
            break;
        }
        *name = toBstr(text);
        return *name ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT get_undecoratedName(BSTR *name) override
    {
        if (!name)
            return E_POINTER;
        *name = nullptr;
        std::string text;
        if (m_kind == Kind::Function)
            text = undecorate(m_index->name(function()));
        else if (m_kind == Kind::Public)
            text = undecorate(m_index->name(publicSymbol()));
        else
            return S_FALSE;
        *name = toBstr(text);
        return *name ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT get_relativeVirtualAddress(DWORD *rva) override
    {
        if (!rva)
            return E_POINTER;
        if (m_kind == Kind::Function) {
            *rva = function().rva;
            return S_OK;
        }
        if (m_kind == Kind::Public && publicSymbol().hasRva) {
            *rva = publicSymbol().rva;
            return S_OK;
        }
        return S_FALSE;
    }

    HRESULT get_length(ULONGLONG *length) override
    {
        if (!length)
            return E_POINTER;
        if (m_kind == Kind::Function) {
            *length = function().length;
            return S_OK;
        }
        const TypeInfo *info = nullptr;
        if (m_kind == Kind::Type)
            info = &typeInfo();
        else if (m_kind == Kind::Child && child().kind != ClassChild::Method)
            info = &m_index->typeInfo(child().type);
        if (!info || !info->hasLength)
            return S_FALSE;
        *length = info->length;
        return S_OK;
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
        if (!id)
            return E_POINTER;
        uint32_t ti = 0;
        if (!typeOf(ti))
            return S_FALSE;
        *id = makeId(Kind::Type, ti);
        return S_OK;
    }

    HRESULT get_callingConvention(DWORD *convention) override
    {
        if (!convention)
            return E_POINTER;
        if (m_kind != Kind::Type || !typeInfo().hasCallingConvention)
            return S_FALSE;
        *convention = typeInfo().callingConvention;
        return S_OK;
    }

    HRESULT get_classParentId(DWORD *id) override
    {
        if (!id)
            return E_POINTER;
        uint32_t parent = 0;
        if (m_kind == Kind::Child) {
            parent = child().parent;
        } else {
            const TypeInfo *info = nullptr;
            if (m_kind == Kind::Type)
                info = &typeInfo();
            else if (m_kind == Kind::Function && isTypeSymbol(*m_index, function().type))
                info = &m_index->typeInfo(m_index->canonicalType(function().type));
            if (!info || !info->hasClassParent)
                return S_FALSE;
            parent = info->classParent;
        }
        if (!isTypeSymbol(*m_index, parent))
            return S_FALSE;
        *id = makeId(Kind::Type, parent);
        return S_OK;
    }

    HRESULT get_thisAdjust(LONG *adjust) override
    {
        if (!adjust)
            return E_POINTER;
        if (m_kind != Kind::Type || !typeInfo().hasThisAdjust)
            return S_FALSE;
        *adjust = typeInfo().thisAdjust;
        return S_OK;
    }

    HRESULT get_dataKind(DWORD *kind) override
    {
        if (!kind)
            return E_POINTER;
        if (m_kind != Kind::Child || child().kind != ClassChild::Data)
            return S_FALSE;
        *kind = child().isStatic ? DataIsStaticMember : DataIsMember;
        return S_OK;
    }

    HRESULT get_offset(LONG *offset) override
    {
        if (!offset)
            return E_POINTER;
        if (m_kind != Kind::Child)
            return S_FALSE;
        const ClassChild &c = child();
        const bool applies = (c.kind == ClassChild::Data && !c.isStatic) ||
                             (c.kind == ClassChild::BaseClass && !c.isVirtualBase);
        if (!applies)
            return S_FALSE;
        *offset = LONG(c.offset);
        return S_OK;
    }

    HRESULT get_count(DWORD *count) override
    {
        if (!count)
            return E_POINTER;
        if (m_kind != Kind::Type || !typeInfo().hasCount)
            return S_FALSE;
        *count = typeInfo().count;
        return S_OK;
    }

    HRESULT get_virtualBaseClass(BOOL *isVirtual) override
    {
        if (!isVirtual)
            return E_POINTER;
        if (m_kind != Kind::Child || child().kind != ClassChild::BaseClass)
            return S_FALSE;
        *isVirtual = child().isVirtualBase ? 1 : 0;
        return S_OK;
    }

    HRESULT get_virtualBasePointerOffset(LONG *offset) override
    {
        if (!offset)
            return E_POINTER;
        if (m_kind != Kind::Child || child().kind != ClassChild::BaseClass ||
            !child().isVirtualBase)
            return S_FALSE;
        *offset = LONG(child().vbptrOffset);
        return S_OK;
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
        else if (m_kind == Kind::Type && typeInfo().tag == SymTagUDT)
            classChildren(tag, filter, ids);
        *children = new (std::nothrow) EnumSymbols(m_index, std::move(ids));
        return *children ? S_OK : E_OUTOFMEMORY;
    }

private:
    const PdbIndex::Function &function() const { return m_index->functions()[m_item]; }
    const PdbIndex::Public &publicSymbol() const { return m_index->publics()[m_item]; }
    const ClassChild &child() const { return m_index->classChild(m_item); }
    const TypeInfo &typeInfo() const { return m_index->typeInfo(m_item); }

    bool typeOf(uint32_t &ti) const
    {
        switch (m_kind) {
        case Kind::Function:
            ti = m_index->canonicalType(function().type);
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
        return isTypeSymbol(*m_index, ti);
    }

    void globalChildren(SymTagEnum tag, const NamePattern &filter, std::vector<DWORD> &ids) const
    {
        const bool undecorated = filter.matchesUndecorated();
        if (tag == SymTagNull || tag == SymTagFunction) {
            const auto &functions = m_index->functions();
            for (size_t i = 0; i < functions.size(); ++i) {
                const std::string_view n = m_index->name(functions[i]);
                if (undecorated ? filter.matches(undecorate(n)) : filter.matches(n))
                    ids.push_back(makeId(Kind::Function, uint32_t(i)));
            }
        }
        if (tag == SymTagNull || tag == SymTagPublicSymbol) {
            const auto &publics = m_index->publics();
            for (size_t i = 0; i < publics.size(); ++i) {
                const std::string_view n = m_index->name(publics[i]);
                if (undecorated ? filter.matches(undecorate(n)) : filter.matches(n))
                    ids.push_back(makeId(Kind::Public, uint32_t(i)));
            }
        }
        if (tag == SymTagNull || tag == SymTagUDT || tag == SymTagEnum_) {
            for (uint32_t ti : m_index->userTypes()) {
                const TypeInfo &info = m_index->typeInfo(ti);
                if ((tag == SymTagNull || info.tag == tag) && ti <= kIndexMask &&
                    filter.matches(info.name))
                    ids.push_back(makeId(Kind::Type, ti));
            }
        }
    }

    void classChildren(SymTagEnum tag, const NamePattern &filter, std::vector<DWORD> &ids) const
    {
        const auto range = m_index->classChildren(m_item);
        for (size_t i = range.first; i < range.second && i <= kIndexMask; ++i) {
            const ClassChild &c = m_index->classChild(i);
            // A nested type is shown as the type itself, with the type's id.
            const bool nested = c.kind == ClassChild::NestedType;
            if (nested && !isTypeSymbol(*m_index, c.type))
                continue;
            if (tag != SymTagNull && childTag(*m_index, c) != DWORD(tag))
                continue;
            // Bases and nested types are named after their type, other members by their own name.
            const std::string_view text = c.kind == ClassChild::BaseClass || nested
                                              ? std::string_view(m_index->typeInfo(c.type).name)
                                              : std::string_view(c.name);
            if (!filter.matches(text))
                continue;
            ids.push_back(nested ? makeId(Kind::Type, c.type) : makeId(Kind::Child, uint32_t(i)));
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

    HRESULT QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (iid == IID_IUnknown)
            *object = static_cast<IUnknown *>(static_cast<IDiaSession *>(this));
        else if (iid == IID_ILineIndex)
            *object = static_cast<ILineIndex *>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

    HRESULT buildLineIndex() override
    {
        try {
            m_index->buildLineIndex();
        } catch (const std::bad_alloc &) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    HRESULT put_loadAddress(ULONGLONG address) override
    {
        // Only RVAs are handed out; the address is kept for what a caller may ask later.
        m_loadAddress = address;
        return S_OK;
    }

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
        long found = -1;
        Kind kind = Kind::Function;
        if (tag == SymTagFunction || tag == SymTagNull)
            found = m_index->functionAt(rva);
        if (found < 0 && (tag == SymTagPublicSymbol || tag == SymTagNull)) {
            found = m_index->publicAt(rva);
            kind = Kind::Public;
        }
        if (found < 0 || uint32_t(found) > kIndexMask)
            return S_FALSE;
        return newSymbol(m_index, kind, uint32_t(found), symbol);
    }

    HRESULT findLinesByRVA(DWORD rva, DWORD length, IDiaEnumLineNumbers **lines) override
    {
        if (!lines)
            return E_POINTER;
        const auto range = m_index->linesIn(rva, length);
        *lines = new (std::nothrow) EnumLineNumbers(m_index, range.first, range.second);
        return *lines ? S_OK : E_OUTOFMEMORY;
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
            if (item < m_index->childCount())
                return newSymbol(m_index, Kind::Child, item, symbol);
            break;
        case Kind::Type: {
            // Ids name canonical types only, so that one class has one id.
            if (m_index->canonicalType(item) == item && isTypeSymbol(*m_index, item))
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
    ULONGLONG m_loadAddress = 0;
};

class DataSource final : public ComObject<IDiaDataSource>
{
public:
    HRESULT QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IDiaDataSource)
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IDiaDataSource *>(this);
        return S_OK;
    }

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
    HRESULT QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IClassFactory)
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IClassFactory *>(this);
        return S_OK;
    }

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

} // namespace PDB
} // namespace PLATFORM
} // namespace TQ
