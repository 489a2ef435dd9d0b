#include "FakeDia.h"

#include <QRegularExpression>

const CLSID CLSID_DiaSource = {
    0x4C41678E, 0x887B, 0x4365, {0xA0, 0x9E, 0x92, 0x5D, 0x28, 0xDB, 0x33, 0xC2}};
const IID IID_IDiaDataSource = {
    0x79F1BB5F, 0xB66E, 0x48E5, {0xB6, 0xA9, 0x15, 0x45, 0xC3, 0x23, 0xCA, 0x3D}};

namespace FakeDia {

using TQ::PLATFORM::ComObject;

namespace {

int g_live = 0;

// Counts itself so that tests see every reference that was not given back.
struct Counted
{
    Counted() { ++g_live; }
    ~Counted() { --g_live; }
};

HRESULT scripted(const QMap<QString, HRESULT> &fail, const char *method)
{
    return fail.value(QLatin1String(method), S_OK);
}

BSTR toBstr(const QString &text)
{
    return SysAllocStringLen(reinterpret_cast<const OLECHAR *>(text.utf16()), text.size());
}

QString fromOle(LPCOLESTR text)
{
    return text ? QString::fromUtf16(text) : QString();
}

bool matchesPattern(const QString &name, const QString &pattern)
{
    QString rx;
    for (const QChar c : pattern) {
        if (c == QLatin1Char('*'))
            rx += QStringLiteral(".*");
        else if (c == QLatin1Char('?'))
            rx += QLatin1Char('.');
        else
            rx += QRegularExpression::escape(QString(c));
    }
    return QRegularExpression(QRegularExpression::anchoredPattern(rx)).match(name).hasMatch();
}

Image &imageOf(const QString &path)
{
    return script().images[path];
}

class FakeSourceFile : public ComObject<IDiaSourceFile>, Counted
{
public:
    FakeSourceFile(const QString &path, int line) : m_path(path), m_line(line) {}
    HRESULT QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
    HRESULT get_fileName(BSTR *name) override
    {
        const Line &l = imageOf(m_path).lines.at(m_line);
        if (HRESULT hr = scripted(l.fail, "get_fileName"))
            return hr;
        *name = toBstr(l.file);
        return S_OK;
    }

private:
    QString m_path;
    int m_line;
};

class FakeLineNumber : public ComObject<IDiaLineNumber>, Counted
{
public:
    FakeLineNumber(const QString &path, int line) : m_path(path), m_line(line) {}
    HRESULT QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
    HRESULT get_lineNumber(DWORD *line) override
    {
        const Line &l = record();
        if (HRESULT hr = scripted(l.fail, "get_lineNumber"))
            return hr;
        *line = l.line;
        return S_OK;
    }
    HRESULT get_sourceFile(IDiaSourceFile **file) override
    {
        *file = nullptr;
        if (HRESULT hr = scripted(record().fail, "get_sourceFile"))
            return hr;
        *file = new FakeSourceFile(m_path, m_line);
        return S_OK;
    }
    HRESULT get_relativeVirtualAddress(DWORD *rva) override
    {
        *rva = record().rva;
        return S_OK;
    }
    HRESULT get_length(DWORD *length) override
    {
        *length = record().length;
        return S_OK;
    }

private:
    const Line &record() const { return imageOf(m_path).lines.at(m_line); }
    QString m_path;
    int m_line;
};

template <typename Interface, typename Item> class FakeEnum : public ComObject<Interface>, Counted
{
public:
    FakeEnum(const QString &kind, QList<Item *> items) : m_kind(kind), m_items(items) {}
    ~FakeEnum() override
    {
        for (int i = m_next; i < m_items.size(); ++i)
            m_items.at(i)->Release();
    }
    HRESULT QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
    HRESULT Next(ULONG count, Item **items, ULONG *fetched) override
    {
        *fetched = 0;
        const int call = m_calls++;
        const auto planned = script().nextFail.value(m_kind, qMakePair(-1, S_OK));
        if (planned.first == call)
            return planned.second;
        ULONG n = 0;
        while (n < count && m_next < m_items.size())
            items[n++] = m_items.at(m_next++);
        *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT get_Count(LONG *count) override
    {
        *count = m_items.size();
        return S_OK;
    }

private:
    QString m_kind;
    QList<Item *> m_items;
    int m_next = 0;
    int m_calls = 0;
};

typedef FakeEnum<IDiaEnumSymbols, IDiaSymbol> FakeEnumSymbols;
typedef FakeEnum<IDiaEnumLineNumbers, IDiaLineNumber> FakeEnumLines;

class FakeSymbol : public ComObject<IDiaSymbol>, Counted
{
public:
    // id 0 is the global scope.
    FakeSymbol(const QString &path, DWORD id) : m_path(path), m_id(id) {}
    HRESULT QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }

    HRESULT get_symIndexId(DWORD *id) override { return answer("get_symIndexId", id, m_id); }
    HRESULT get_symTag(DWORD *tag) override
    {
        return answer("get_symTag", tag, m_id == 0 ? DWORD(SymTagExe) : data().tag);
    }
    HRESULT get_name(BSTR *name) override
    {
        *name = nullptr;
        if (HRESULT hr = failure("get_name"))
            return hr;
        *name = toBstr(data().name);
        return S_OK;
    }
    HRESULT get_undecoratedName(BSTR *name) override
    {
        *name = nullptr;
        if (HRESULT hr = failure("get_undecoratedName"))
            return hr;
        if (!data().hasUndecorated)
            return S_FALSE;
        *name = toBstr(data().undecorated);
        return S_OK;
    }
    HRESULT get_relativeVirtualAddress(DWORD *rva) override
    {
        return answer("get_relativeVirtualAddress", rva, data().rva);
    }
    HRESULT get_length(ULONGLONG *length) override
    {
        return answer("get_length", length, data().length);
    }
    HRESULT get_type(IDiaSymbol **type) override
    {
        *type = nullptr;
        if (HRESULT hr = failure("get_type"))
            return hr;
        const DWORD typeId = data().typeId;
        if (typeId == 0 || !imageOf(m_path).symbols.contains(typeId))
            return S_FALSE;
        *type = new FakeSymbol(m_path, typeId);
        return S_OK;
    }
    HRESULT get_typeId(DWORD *id) override { return answer("get_typeId", id, data().typeId); }
    HRESULT get_callingConvention(DWORD *convention) override
    {
        return answer("get_callingConvention", convention, data().callingConvention);
    }
    HRESULT get_classParentId(DWORD *id) override
    {
        if (HRESULT hr = failure("get_classParentId"))
            return hr;
        if (!data().hasClassParent)
            return S_FALSE;
        *id = data().classParentId;
        return S_OK;
    }
    HRESULT get_thisAdjust(LONG *adjust) override
    {
        return answer("get_thisAdjust", adjust, data().thisAdjust);
    }
    HRESULT get_dataKind(DWORD *kind) override
    {
        return answer("get_dataKind", kind, data().dataKind);
    }
    HRESULT get_offset(LONG *offset) override
    {
        return answer("get_offset", offset, data().offset);
    }
    HRESULT get_count(DWORD *count) override { return answer("get_count", count, data().count); }
    HRESULT get_virtualBaseClass(BOOL *isVirtual) override
    {
        return answer("get_virtualBaseClass", isVirtual, data().virtualBase);
    }
    HRESULT get_virtualBasePointerOffset(LONG *offset) override
    {
        return answer("get_virtualBasePointerOffset", offset, data().virtualBasePointerOffset);
    }
    HRESULT findChildren(SymTagEnum tag, LPCOLESTR name, DWORD, IDiaEnumSymbols **children) override
    {
        *children = nullptr;
        const Image &image = imageOf(m_path);
        QList<DWORD> ids;
        if (m_id == 0) {
            if (HRESULT hr = scripted(script().fail, "findChildren"))
                return hr;
            const QString pattern = fromOle(name);
            for (DWORD id : image.globals) {
                const Symbol &s = image.symbols.value(id);
                if ((tag == SymTagNull || s.tag == tag) &&
                    (!name || matchesPattern(s.name, pattern)))
                    ids.append(id);
            }
        } else {
            if (HRESULT hr = failure("findChildren"))
                return hr;
            ids = data().children;
        }
        QList<IDiaSymbol *> items;
        for (DWORD id : ids)
            items.append(new FakeSymbol(m_path, id));
        *children = new FakeEnumSymbols(QStringLiteral("symbols"), items);
        return S_OK;
    }

private:
    const Symbol &data() const
    {
        static const Symbol none;
        const Image &image = imageOf(m_path);
        auto it = image.symbols.constFind(m_id);
        return it == image.symbols.constEnd() ? none : it.value();
    }
    HRESULT failure(const char *method) const
    {
        return m_id == 0 ? S_OK : scripted(data().fail, method);
    }
    template <typename T, typename V> HRESULT answer(const char *method, T *out, V value) const
    {
        if (HRESULT hr = failure(method))
            return hr;
        *out = static_cast<T>(value);
        return S_OK;
    }

    QString m_path;
    DWORD m_id;
};

class FakeSession : public ComObject<IDiaSession>, Counted
{
public:
    explicit FakeSession(const QString &path) : m_path(path) {}
    HRESULT QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
    HRESULT put_loadAddress(ULONGLONG address) override
    {
        script().calls.append(QStringLiteral("put_loadAddress 0x%1").arg(address, 0, 16));
        return scripted(script().fail, "put_loadAddress");
    }
    HRESULT get_globalScope(IDiaSymbol **scope) override
    {
        *scope = nullptr;
        if (HRESULT hr = scripted(script().fail, "get_globalScope"))
            return hr;
        *scope = new FakeSymbol(m_path, 0);
        return S_OK;
    }
    HRESULT findSymbolByRVA(DWORD rva, SymTagEnum tag, IDiaSymbol **symbol) override
    {
        *symbol = nullptr;
        if (HRESULT hr = scripted(script().fail, "findSymbolByRVA"))
            return hr;
        const Image &image = imageOf(m_path);
        for (auto it = image.symbols.cbegin(); it != image.symbols.cend(); ++it) {
            const Symbol &s = it.value();
            if (s.tag == DWORD(tag) && rva >= s.rva && rva - s.rva < qMax<ULONGLONG>(s.length, 1)) {
                *symbol = new FakeSymbol(m_path, s.id);
                return S_OK;
            }
        }
        return S_FALSE;
    }
    HRESULT findLinesByRVA(DWORD rva, DWORD length, IDiaEnumLineNumbers **lines) override
    {
        *lines = nullptr;
        if (HRESULT hr = scripted(script().fail, "findLinesByRVA"))
            return hr;
        const quint64 end = quint64(rva) + qMax<DWORD>(length, 1);
        QList<IDiaLineNumber *> items;
        const QList<Line> &all = imageOf(m_path).lines;
        for (int i = 0; i < all.size(); ++i) {
            const quint64 lineEnd = quint64(all[i].rva) + qMax<DWORD>(all[i].length, 1);
            if (all[i].rva < end && lineEnd > rva)
                items.append(new FakeLineNumber(m_path, i));
        }
        *lines = new FakeEnumLines(QStringLiteral("lines"), items);
        return S_OK;
    }
    HRESULT symbolById(DWORD id, IDiaSymbol **symbol) override
    {
        *symbol = nullptr;
        if (HRESULT hr = scripted(script().fail, "symbolById"))
            return hr;
        if (!imageOf(m_path).symbols.contains(id))
            return E_INVALIDARG;
        *symbol = new FakeSymbol(m_path, id);
        return S_OK;
    }

private:
    QString m_path;
};

class FakeDataSource : public ComObject<IDiaDataSource>, Counted
{
public:
    HRESULT QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
    HRESULT loadDataForExe(LPCOLESTR executable, LPCOLESTR, IUnknown *) override
    {
        m_path = fromOle(executable);
        script().calls.append(QStringLiteral("loadDataForExe ") + m_path);
        if (HRESULT hr = scripted(script().fail, "loadDataForExe"))
            return hr;
        if (!script().images.contains(m_path))
            return E_FAIL; // no program database for this image
        m_loaded = true;
        return S_OK;
    }
    HRESULT openSession(IDiaSession **session) override
    {
        *session = nullptr;
        if (HRESULT hr = scripted(script().fail, "openSession"))
            return hr;
        if (!m_loaded)
            return E_FAIL;
        *session = new FakeSession(m_path);
        return S_OK;
    }

private:
    QString m_path;
    bool m_loaded = false;
};

class FakeClassFactory : public ComObject<IClassFactory>, Counted
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
    HRESULT CreateInstance(IUnknown *outer, REFIID iid, void **object) override
    {
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (HRESULT hr = scripted(script().fail, "CreateInstance"))
            return hr;
        if (iid != IID_IDiaDataSource)
            return E_NOINTERFACE;
        *object = static_cast<IDiaDataSource *>(new FakeDataSource);
        return S_OK;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

IClassFactory *createFactory()
{
    return new FakeClassFactory;
}

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

Symbol &addSymbol(Image &image, DWORD id, DWORD tag, const QString &name)
{
    Symbol &s = image.symbols[id];
    s.id = id;
    s.tag = tag;
    s.name = name;
    return s;
}

Symbol &addFunction(Image &image, DWORD id, const QString &name, DWORD rva, ULONGLONG length,
                    DWORD typeId)
{
    Symbol &s = addSymbol(image, id, SymTagFunction, name);
    s.rva = rva;
    s.length = length;
    s.typeId = typeId;
    image.globals.append(id);
    return s;
}

Line &addLine(Image &image, DWORD rva, DWORD length, DWORD line, const QString &file)
{
    Line l;
    l.rva = rva;
    l.length = length;
    l.line = line;
    l.file = file;
    image.lines.append(l);
    return image.lines.last();
}

void unregisterServer()
{
    unregisterInProcServer(CLSID_DiaSource);
}

void registerServer()
{
    registerInProcServer(CLSID_DiaSource, &createFactory);
}

} // namespace FakeDia
