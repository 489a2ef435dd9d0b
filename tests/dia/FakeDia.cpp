#include "FakeDia.h"

#include <QRegExp>
#include <QRegularExpression>

const CLSID CLSID_DiaSource = {
    0x4C41678E, 0x887B, 0x4365, {0xA0, 0x9E, 0x92, 0x5D, 0x28, 0xDB, 0x33, 0xC2}};
const IID IID_IDiaDataSource = {
    0x79F1BB5F, 0xB66E, 0x48E5, {0xB6, 0xA9, 0x15, 0x45, 0xC3, 0x23, 0xCA, 0x3D}};

namespace FakeDia {

using TQ::PLATFORM::ComObject;

namespace {

int g_live = 0;

struct Counted
{
    Counted() { ++g_live; }
    ~Counted() { --g_live; }
};

DWORD tagOf(const Record &r)
{
    static const QStringList names =
        QStringLiteral(
            "Null Exe Compiland CompilandDetails CompilandEnv Function Block Data Annotation Label "
            "PublicSymbol UDT Enum FunctionType PointerType ArrayType BaseType Typedef BaseClass")
            .split(QLatin1Char(' '));
    return DWORD(qMax(0, names.indexOf(r.value("tag"))));
}

quint64 number(const Record &r, const char *key)
{
    return r.value(QLatin1String(key)).toULongLong(nullptr, 0);
}

// Does [start, start + length) of the record, at least one byte, meet [rva, end)?
bool overlaps(const Record &r, quint64 rva, quint64 end)
{
    return number(r, "rva") < end && number(r, "rva") + qMax<quint64>(number(r, "length"), 1) > rva;
}

HRESULT sessionFailure(const QString &method)
{
    return script().fail.value(method, S_OK);
}

// A symbol, a line record or the source file of one: all answer from the same record.
class Item : public ComObject<IDiaSymbol, IDiaLineNumber, IDiaSourceFile>, Counted
{
public:
    // id 0 is the global scope.
    Item(const QString &path, DWORD id) : m_path(path), m_id(id) {}
    HRESULT QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }

    // clang-format off
#define FAKE_GETTER(method, key, T) HRESULT method(T *out) override { return get(#method, key, out); }
    FAKE_GETTER(get_symIndexId, "id", DWORD)
    FAKE_GETTER(get_symTag, "tag", DWORD)
    FAKE_GETTER(get_name, "name", BSTR)
    FAKE_GETTER(get_undecoratedName, "undecorated", BSTR)
    FAKE_GETTER(get_relativeVirtualAddress, "rva", DWORD)
    FAKE_GETTER(get_length, "length", ULONGLONG)
    FAKE_GETTER(get_length, "length", DWORD)
    FAKE_GETTER(get_typeId, "type", DWORD)
    FAKE_GETTER(get_callingConvention, "cc", DWORD)
    FAKE_GETTER(get_classParentId, "classParent", DWORD)
    FAKE_GETTER(get_thisAdjust, "thisAdjust", LONG)
    FAKE_GETTER(get_dataKind, "kind", DWORD)
    FAKE_GETTER(get_offset, "offset", LONG)
    FAKE_GETTER(get_count, "count", DWORD)
    FAKE_GETTER(get_virtualBaseClass, "virtual", BOOL)
    FAKE_GETTER(get_virtualBasePointerOffset, "vbpOffset", LONG)
    FAKE_GETTER(get_lineNumber, "line", DWORD)
    FAKE_GETTER(get_fileName, "file", BSTR)
#undef FAKE_GETTER
    // clang-format on

    HRESULT get_type(IDiaSymbol **out) override
    {
        DWORD type = 0;
        *out = nullptr;
        const HRESULT hr = get("get_type", "type", &type);
        if (hr == S_OK && image().records.contains(type))
            *out = new Item(m_path, type);
        return hr != S_OK || *out ? hr : S_FALSE;
    }
    HRESULT get_sourceFile(IDiaSourceFile **out) override
    {
        *out = nullptr;
        if (const HRESULT hr = failure("get_sourceFile"))
            return hr;
        AddRef();
        *out = this;
        return S_OK;
    }
    HRESULT findChildren(SymTagEnum tag, LPCOLESTR name, DWORD,
                         IDiaEnumSymbols **children) override;

private:
    const Image &image() const
    {
        return script().images[m_path];
    }
    const Record &record() const
    {
        static const Record global = {{"tag", "Exe"}};
        auto it = image().records.constFind(m_id);
        return m_id == 0 || it == image().records.constEnd() ? global : it.value();
    }
    HRESULT failure(const char *method) const
    {
        return record().value("fail").split(QLatin1Char(',')).contains(QLatin1String(method))
                   ? E_FAIL
                   : S_OK;
    }
    // What only some symbols have answers S_FALSE where it is missing.
    HRESULT check(const char *method, const char *key) const
    {
        static const QStringList optional = {"type", "classParent", "undecorated"};
        if (const HRESULT hr = failure(method))
            return hr;
        return optional.contains(QLatin1String(key)) && !record().contains(QLatin1String(key))
                   ? S_FALSE
                   : S_OK;
    }
    template <typename T> HRESULT get(const char *method, const char *key, T *out) const
    {
        const HRESULT hr = check(method, key);
        if (hr == S_OK)
            *out = T(QByteArray(key) == "tag" ? tagOf(record()) : number(record(), key));
        return hr;
    }
    HRESULT get(const char *method, const char *key, BSTR *out) const
    {
        const QString text = record().value(QLatin1String(key));
        const HRESULT hr = check(method, key);
        *out = hr == S_OK ? SysAllocStringLen(reinterpret_cast<const OLECHAR *>(text.utf16()),
                                              uint32_t(text.size()))
                          : nullptr;
        return hr;
    }

    QString m_path;
    DWORD m_id;
};

template <typename Interface, typename Element> class Enum : public ComObject<Interface>, Counted
{
public:
    Enum(const QString &kind, const QList<Element *> &items) : m_kind(kind), m_items(items) {}
    ~Enum() override
    {
        for (int i = m_next; i < m_items.size(); ++i)
            m_items.at(i)->Release();
    }
    HRESULT QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
    HRESULT Next(ULONG count, Element **items, ULONG *fetched) override
    {
        *fetched = 0;
        if (const HRESULT hr = sessionFailure(m_kind + QStringLiteral(".Next%1").arg(m_calls++)))
            return hr;
        while (*fetched < count && m_next < m_items.size())
            items[(*fetched)++] = m_items.at(m_next++);
        return *fetched == count ? S_OK : S_FALSE;
    }
    HRESULT get_Count(LONG *count) override
    {
        *count = LONG(m_items.size());
        return S_OK;
    }

private:
    QString m_kind;
    QList<Element *> m_items;
    int m_next = 0;
    int m_calls = 0;
};

HRESULT Item::findChildren(SymTagEnum tag, LPCOLESTR name, DWORD, IDiaEnumSymbols **children)
{
    *children = nullptr;
    if (const HRESULT hr = m_id ? failure("findChildren") : sessionFailure("findChildren"))
        return hr;
    // A symbol lists its children; the global scope holds all that no symbol lists.
    QStringList ids = record().value("children").split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (m_id == 0) {
        QStringList nested;
        for (const Record &r : image().records)
            nested += r.value("children").split(QLatin1Char(','));
        const QRegExp pattern(name ? QString::fromUtf16(name) : "*", Qt::CaseSensitive,
                              QRegExp::Wildcard);
        for (DWORD id : image().order) {
            const Record &r = image().records[id];
            if (!nested.contains(QString::number(id)) && tagOf(r) == tag &&
                pattern.exactMatch(r.value("name")))
                ids << QString::number(id);
        }
    }
    QList<IDiaSymbol *> items;
    for (const QString &id : ids)
        items.append(new Item(m_path, id.toUInt()));
    *children = new Enum<IDiaEnumSymbols, IDiaSymbol>(QStringLiteral("symbols"), items);
    return S_OK;
}

// The data source and its session in one object.
class Source : public ComObject<IDiaDataSource, IDiaSession>, Counted
{
public:
    HRESULT QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
    HRESULT loadDataForExe(LPCOLESTR executable, LPCOLESTR, IUnknown *) override
    {
        m_path = QString::fromUtf16(executable);
        script().calls.append(QStringLiteral("loadDataForExe ") + m_path);
        if (const HRESULT hr = sessionFailure("loadDataForExe"))
            return hr;
        m_loaded = script().images.contains(m_path); // else no program database for the image
        return m_loaded ? S_OK : E_FAIL;
    }
    HRESULT openSession(IDiaSession **session) override
    {
        *session = nullptr;
        if (const HRESULT hr = sessionFailure("openSession"))
            return hr;
        if (!m_loaded)
            return E_FAIL;
        AddRef();
        *session = this;
        return S_OK;
    }
    HRESULT put_loadAddress(ULONGLONG address) override
    {
        script().calls.append(QStringLiteral("put_loadAddress 0x%1").arg(address, 0, 16));
        return sessionFailure("put_loadAddress");
    }
    HRESULT get_globalScope(IDiaSymbol **scope) override
    {
        return item("get_globalScope", 0, scope);
    }
    HRESULT findSymbolByRVA(DWORD rva, SymTagEnum tag, IDiaSymbol **found) override
    {
        const Image &image = script().images[m_path];
        for (auto it = image.records.cbegin(); it != image.records.cend(); ++it)
            if (tagOf(*it) == tag && overlaps(*it, rva, quint64(rva) + 1))
                return item("findSymbolByRVA", it.key(), found);
        return item("findSymbolByRVA", ~0u, found);
    }
    HRESULT findLinesByRVA(DWORD rva, DWORD length, IDiaEnumLineNumbers **lines) override
    {
        *lines = nullptr;
        if (const HRESULT hr = sessionFailure("findLinesByRVA"))
            return hr;
        QList<IDiaLineNumber *> items;
        const Image &image = script().images[m_path];
        for (DWORD id : image.order)
            if (image.records[id].contains("line") &&
                overlaps(image.records[id], rva, quint64(rva) + qMax<DWORD>(length, 1)))
                items.append(new Item(m_path, id));
        *lines = new Enum<IDiaEnumLineNumbers, IDiaLineNumber>(QStringLiteral("lines"), items);
        return S_OK;
    }
    HRESULT symbolById(DWORD id, IDiaSymbol **found) override
    {
        const bool known = script().images[m_path].records.contains(id);
        const HRESULT hr = item("symbolById", known ? id : ~0u, found);
        return hr == S_FALSE ? E_INVALIDARG : hr;
    }

private:
    // Id ~0 stands for none: S_FALSE.
    HRESULT item(const char *method, DWORD id, IDiaSymbol **out)
    {
        *out = nullptr;
        if (const HRESULT hr = sessionFailure(method))
            return hr;
        if (id == ~0u)
            return S_FALSE;
        *out = new Item(m_path, id);
        return S_OK;
    }

    QString m_path;
    bool m_loaded = false;
};

class ClassFactory : public ComObject<IClassFactory>, Counted
{
public:
    HRESULT QueryInterface(REFIID iid, void **object) override
    {
        *object = nullptr;
        if (script().queryInterfaceGivesNull)
            return S_OK;
        if (iid != IID_IClassFactory && iid != IID_IUnknown)
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IClassFactory *>(this);
        return S_OK;
    }
    HRESULT CreateInstance(IUnknown *, REFIID iid, void **object) override
    {
        *object = nullptr;
        if (const HRESULT hr = sessionFailure("CreateInstance"))
            return hr;
        if (iid != IID_IDiaDataSource)
            return E_NOINTERFACE;
        *object = static_cast<IDiaDataSource *>(new Source);
        return S_OK;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

// Before the reader's own static objects, as a real in-process server would be.
struct Registrar
{
    Registrar() { registerServer(); }
};
__attribute__((init_priority(101))) Registrar g_registrar;

} // namespace

Script &script()
{
    static Script s;
    return s;
}

void reset()
{
    script() = Script();
}

int liveObjects()
{
    return g_live;
}

void define(const QString &path, const QStringList &records)
{
    script().images[path] = Image();
    for (const QString &r : records)
        edit(path, r);
}

void edit(const QString &path, const QString &change)
{
    Image &image = script().images[path];
    static const QRegularExpression property(QStringLiteral("^(\\d+):(!?)(\\w+)(=(.*))?$"),
                                             QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch m = property.match(change);
    if (change.startsWith(QLatin1String("id="))) {
        Record record;
        for (const QString &field : change.split(QLatin1Char(';'), Qt::SkipEmptyParts))
            record.insert(field.section(QLatin1Char('='), 0, 0),
                          field.section(QLatin1Char('='), 1));
        const DWORD id = record.value("id").toUInt();
        if (!image.records.contains(id))
            image.order.append(id);
        image.records[id] = record;
    } else if (m.hasMatch()) {
        Record &record = image.records[m.captured(1).toUInt()];
        if (!m.captured(2).isEmpty())
            record["fail"] += QLatin1Char(',') + m.captured(3);
        else if (m.capturedLength(4) == 0)
            record.remove(m.captured(3));
        else
            record.insert(m.captured(3), m.captured(5));
    } else {
        const QString hr = change.section(QLatin1Char('='), 1);
        script().fail.insert(change.section(QLatin1Char('='), 0, 0),
                             hr.isEmpty() ? E_FAIL : HRESULT(hr.toUInt(nullptr, 0)));
    }
}

void unregisterServer()
{
    unregisterInProcServer(CLSID_DiaSource);
}

void registerServer()
{
    registerInProcServer(CLSID_DiaSource,
                         [] { return static_cast<IClassFactory *>(new ClassFactory); });
}

} // namespace FakeDia
