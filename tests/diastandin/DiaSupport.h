// A session of the data source over an image, and short ways to ask its symbols.
#pragma once

#include "DiaInterfaces.h"
#include "TestSupport.h"

#include <vector>

namespace DiaTest {

using TQ::PLATFORM::BStr;
using TQ::PLATFORM::ComPtr;
using Symbol = ComPtr<IDiaSymbol>;

struct Dia
{
    ComPtr<IDiaDataSource> source;
    ComPtr<IDiaSession> session;
    Symbol global;

    // The steps the reader takes; false when one of them fails.
    bool open(const QString &image)
    {
        CoInitialize(nullptr);
        ComPtr<IClassFactory> factory;
        return CoGetClassObject(CLSID_DiaSource, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void **>(factory.receive())) == S_OK &&
               factory->CreateInstance(nullptr, IID_IDiaDataSource,
                                       reinterpret_cast<void **>(source.receive())) == S_OK &&
               source->loadDataForExe(image.toStdU16String().c_str(), nullptr, nullptr) == S_OK &&
               source->openSession(session.receive()) == S_OK &&
               session->get_globalScope(global.receive()) == S_OK;
    }
};

inline std::vector<Symbol> children(IDiaSymbol *parent, SymTagEnum tag, const char *name = nullptr,
                                    DWORD flags = nsNone)
{
    std::vector<Symbol> out;
    ComPtr<IDiaEnumSymbols> found;
    const std::u16string pattern = QString(name).toStdU16String();
    if (parent->findChildren(tag, name ? pattern.c_str() : nullptr, flags, found.receive()) != S_OK)
        return out;
    IDiaSymbol *item = nullptr;
    ULONG fetched = 0;
    while (found->Next(1, &item, &fetched) == S_OK && fetched == 1)
        out.emplace_back(item);
    return out;
}

// A property as text: its value, "-" when it does not apply (S_FALSE), "E" on failure.
template <typename T> QString value(IDiaSymbol *s, HRESULT (IDiaSymbol::*get)(T *))
{
    T v{};
    const HRESULT hr = s ? (s->*get)(&v) : E_POINTER;
    return hr == S_OK ? QString::number(qint64(v)) : hr == S_FALSE ? "-" : "E";
}

inline QString nameOf(IDiaSymbol *s)
{
    BStr name;
    if (!s || s->get_name(name.receive()) != S_OK)
        return "E";
    return QString::fromUtf16(name.get());
}

inline DWORD rvaOf(IDiaSymbol *s)
{
    return value(s, &IDiaSymbol::get_relativeVirtualAddress).toUInt();
}

// The line records of a range: line number and source file of each.
inline QList<QPair<DWORD, QString>> linesOf(IDiaSession *session, DWORD rva, DWORD length)
{
    QList<QPair<DWORD, QString>> out;
    ComPtr<IDiaEnumLineNumbers> lines;
    IDiaLineNumber *raw = nullptr;
    ULONG fetched = 0;
    if (session->findLinesByRVA(rva, length, lines.receive()) != S_OK)
        return out;
    while (lines->Next(1, &raw, &fetched) == S_OK && fetched == 1) {
        ComPtr<IDiaLineNumber> line(raw);
        ComPtr<IDiaSourceFile> file;
        BStr name;
        DWORD number = 0;
        line->get_lineNumber(&number);
        if (line->get_sourceFile(file.receive()) == S_OK)
            file->get_fileName(name.receive());
        out.append({number, QString::fromUtf16(name.get() ? name.get() : u"")});
    }
    return out;
}

} // namespace DiaTest
