#include "FakeDia.h"

#include <QRegExp>

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
            .split(' ');
    return DWORD(qMax(0, names.indexOf(r.value("tag"))));
}

quint64 number(const Record &r, const QString &key)
{
    return r.value(key).toULongLong(nullptr, 0);
}

// Does the record, at least one byte long, meet [rva, rva + length)?
bool overlaps(const Record &r, quint64 rva, quint64 length)
{
    return number(r, "rva") < rva + qMax<quint64>(length, 1) &&
           number(r, "rva") + qMax<quint64>(number(r, "length"), 1) > rva;
}

HRESULT sessionFailure(const QString &method)
{
    return script().fail.value(method, S_OK);
}

// A symbol, a line record or the source file of one: all answer from the same record.
class Item : public ComObject<IDiaSymbol, IDiaLineNumber, IDiaSourceFile>, Counted
{
public:
    // Id 0 is the global scope.
    Item(const QString &path, DWORD id) : m_path(path), m_id(id) {}

    HRESULT get_symIndexId(DWORD *out) override { return get(__func__, "id", out); }
    HRESULT get_symTag(DWORD *out) override { return get(__func__, "tag", out); }
    HRESULT get_name(BSTR *out) override { return get(__func__, "name", out); }
    HRESULT get_undecoratedName(BSTR *out) override { return get(__func__, "undecorated", out); }
    HRESULT get_relativeVirtualAddress(DWORD *out) override { return get(__func__, "rva", out); }
    HRESULT get_length(ULONGLONG *out) override { return get(__func__, "length", out); }
    HRESULT get_typeId(DWORD *out) override { return get(__func__, "type", out); }
    HRESULT get_callingConvention(DWORD *out) override { return get(__func__, "cc", out); }
    HRESULT get_classParentId(DWORD *out) override { return get(__func__, "classParent", out); }
    HRESULT get_thisAdjust(LONG *out) override { return get(__func__, "thisAdjust", out); }
    HRESULT get_dataKind(DWORD *out) override { return get(__func__, "kind", out); }
    HRESULT get_offset(LONG *out) override { return get(__func__, "offset", out); }
    HRESULT get_count(DWORD *out) override { return get(__func__, "count", out); }
    HRESULT get_virtualBaseClass(BOOL *out) override { return get(__func__, "virtual", out); }
    HRESULT get_virtualBasePointerOffset(LONG *out) override
    {
        return get(__func__, "vbpOffset", out);
    }
    HRESULT get_lineNumber(DWORD *out) override { return get(__func__, "line", out); }
    HRESULT get_fileName(BSTR *out) override { return get(__func__, "file", out); }

    HRESULT get_type(IDiaSymbol **out) override
    {
        DWORD type = 0;
        *out = nullptr;
        const HRESULT hr = get(__func__, "type", &type);
        if (hr == S_OK && image().contains(type))
            *out = new Item(m_path, type);
        return hr != S_OK || *out ? hr : S_FALSE;
    }
    HRESULT get_sourceFile(IDiaSourceFile **out) override
    {
        *out = nullptr;
        if (record().contains("!get_sourceFile"))
            return E_FAIL;
        AddRef();
        *out = this;
        return S_OK;
    }
    HRESULT findChildren(SymTagEnum tag, LPCOLESTR name, DWORD, IDiaEnumSymbols **out) override;

private:
    const QMap<DWORD, Record> &image() const { return script().images[m_path]; }
    Record record() const { return image().value(m_id); }
    // What only some symbols have answers S_FALSE where it is missing.
    HRESULT check(const char *method, const char *key) const
    {
        if (record().contains(QStringLiteral("!") + method))
            return E_FAIL;
        const bool optional = QStringList({"type", "classParent", "undecorated"}).contains(key);
        return optional && !record().contains(key) ? S_FALSE : S_OK;
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
        const QString text = record().value(key);
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
    HRESULT Next(ULONG count, Element **items, ULONG *fetched) override
    {
        *fetched = 0;
        if (const HRESULT hr = sessionFailure(m_kind + QStringLiteral(".Next%1").arg(m_calls++)))
            return hr;
        while (*fetched < count && m_next < m_items.size())
            items[(*fetched)++] = m_items.at(m_next++);
        return *fetched == count ? S_OK : S_FALSE;
    }

private:
    QString m_kind;
    QList<Element *> m_items;
    int m_next = 0;
    int m_calls = 0;
};

HRESULT Item::findChildren(SymTagEnum tag, LPCOLESTR name, DWORD, IDiaEnumSymbols **out)
{
    *out = nullptr;
    if (m_id ? record().contains("!findChildren") : sessionFailure("findChildren") != S_OK)
        return E_FAIL;
    QStringList ids = record().value("children").split(',', Qt::SkipEmptyParts);
    if (m_id == 0) {
        QStringList nested;
        for (const Record &r : image())
            nested += r.value("children").split(',');
        const QRegExp pattern(QString::fromUtf16(name), Qt::CaseSensitive, QRegExp::Wildcard);
        for (const Record &r : image())
            if (!nested.contains(r.value("id")) && tagOf(r) == tag &&
                pattern.exactMatch(r.value("name")))
                ids << r.value("id");
    }
    QList<IDiaSymbol *> items;
    for (const QString &id : ids)
        items.append(new Item(m_path, id.toUInt()));
    *out = new Enum<IDiaEnumSymbols, IDiaSymbol>("symbols", items);
    return S_OK;
}

// The class factory, the data source and its session in one object.
class Source : public ComObject<IClassFactory, IDiaDataSource, IDiaSession>, Counted
{
public:
    HRESULT CreateInstance(IUnknown *, REFIID, void **object) override
    {
        *object = static_cast<IDiaDataSource *>(new Source);
        return S_OK;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
    HRESULT loadDataForExe(LPCOLESTR executable, LPCOLESTR, IUnknown *) override
    {
        m_path = QString::fromUtf16(executable);
        return !sessionFailure("loadDataForExe") && script().images.contains(m_path) ? S_OK
                                                                                     : E_FAIL;
    }
    HRESULT openSession(IDiaSession **session) override
    {
        AddRef();
        *session = this;
        return S_OK;
    }
    HRESULT put_loadAddress(ULONGLONG) override { return sessionFailure("put_loadAddress"); }
    HRESULT get_globalScope(IDiaSymbol **scope) override
    {
        return item("get_globalScope", 0, scope);
    }
    HRESULT findSymbolByRVA(DWORD rva, SymTagEnum tag, IDiaSymbol **found) override
    {
        for (const Record &r : image())
            if (tagOf(r) == tag && overlaps(r, rva, 1))
                return item("findSymbolByRVA", r.value("id").toUInt(), found);
        return item("findSymbolByRVA", ~0u, found);
    }
    HRESULT findLinesByRVA(DWORD rva, DWORD length, IDiaEnumLineNumbers **lines) override
    {
        *lines = nullptr;
        if (const HRESULT hr = sessionFailure("findLinesByRVA"))
            return hr;
        QList<IDiaLineNumber *> items;
        for (const Record &r : image())
            if (r.contains("line") && overlaps(r, rva, length))
                items.append(new Item(m_path, r.value("id").toUInt()));
        *lines = new Enum<IDiaEnumLineNumbers, IDiaLineNumber>("lines", items);
        return S_OK;
    }
    HRESULT symbolById(DWORD id, IDiaSymbol **found) override
    {
        return item("symbolById", image().contains(id) ? id : ~0u, found);
    }

private:
    const QMap<DWORD, Record> &image() { return script().images[m_path]; }
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
};

// Before the reader's own static objects, as a real in-process server would be.
struct Registrar
{
    Registrar()
    {
        registerInProcServer(CLSID_DiaSource,
                             [] { return static_cast<IClassFactory *>(new Source); });
    }
};
__attribute__((init_priority(101))) Registrar g_registrar;

} // namespace

Script &script()
{
    static Script s;
    return s;
}

int liveObjects()
{
    return g_live;
}

void edit(const QString &path, const QString &change)
{
    QMap<DWORD, Record> &image = script().images[path];
    const QString key = change.section('=', 0, 0), value = change.section('=', 1);
    if (key == "id") {
        Record record;
        for (const QString &field : change.split(';'))
            record.insert(field.section('=', 0, 0), field.section('=', 1));
        image.insert(value.section(';', 0, 0).toUInt(), record);
    } else if (key.contains(':')) {
        Record &record = image[key.section(':', 0, 0).toUInt()];
        if (change.contains('=') || key.contains('!'))
            record.insert(key.section(':', 1), value);
        else
            record.remove(key.section(':', 1));
    } else {
        script().fail.insert(key, value.isEmpty() ? E_FAIL : HRESULT(value.toUInt(nullptr, 0)));
    }
}

} // namespace FakeDia
