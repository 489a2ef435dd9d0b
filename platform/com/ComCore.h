// A minimal in-process COM: reference-counted interfaces, HRESULTs, BSTRs and a class registry.
// Enough for the debug-information reader to talk to its data source the way it would on Windows.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <tuple>

typedef int32_t HRESULT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef uint64_t ULONGLONG;
typedef int32_t BOOL;
typedef char16_t OLECHAR;
typedef OLECHAR *BSTR;
typedef const OLECHAR *LPCOLESTR;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;

inline bool SUCCEEDED(HRESULT hr)
{
    return hr >= 0;
}
inline bool FAILED(HRESULT hr)
{
    return hr < 0;
}

struct GUID
{
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID &REFIID;
typedef const GUID &REFCLSID;

inline bool operator==(const GUID &a, const GUID &b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator!=(const GUID &a, const GUID &b)
{
    return !(a == b);
}

struct IUnknown
{
    virtual HRESULT QueryInterface(REFIID iid, void **object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

extern const IID IID_IUnknown;
extern const IID IID_IClassFactory;

struct IClassFactory : IUnknown
{
    virtual HRESULT CreateInstance(IUnknown *outer, REFIID iid, void **object) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};

// COM start-up per thread: S_OK the first time, S_FALSE when the thread already initialised.
HRESULT CoInitialize(void *reserved);
void CoUninitialize();
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void *serverInfo, REFIID iid,
                         void **object);

// The in-process class registry behind CoGetClassObject. A server registers a creator of its
// class factory; the factory returned carries one reference for the caller.
typedef IClassFactory *(*ClassFactoryCreator)();
bool registerInProcServer(REFCLSID clsid, ClassFactoryCreator creator);

BSTR SysAllocStringLen(const OLECHAR *text, uint32_t length);
void SysFreeString(BSTR text);

// The IID under which QueryInterface hands out an interface. Interfaces that callers only reach
// through other calls have none, and are found as IUnknown alone.
template <typename Interface> struct InterfaceId
{
    static constexpr const IID *value = nullptr;
};
template <> struct InterfaceId<IClassFactory>
{
    static constexpr const IID *value = &IID_IClassFactory;
};

namespace TQ::PLATFORM {

// Reference-counting base for the implementation of one or more COM interfaces. The object
// deletes itself when the last reference goes; it starts with one reference for its creator.
// QueryInterface answers IUnknown (as the first interface) and each interface with an IID.
template <typename... Interfaces> class ComObject : public Interfaces...
{
public:
    HRESULT QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;
        if (iid == IID_IUnknown)
            *object = static_cast<IUnknown *>(static_cast<First *>(this));
        else
            (void)(... ||
                   (InterfaceId<Interfaces>::value && iid == *InterfaceId<Interfaces>::value &&
                    (*object = static_cast<Interfaces *>(this))));
        if (!*object)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override
    {
        const ULONG left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }

protected:
    ComObject() = default;
    virtual ~ComObject() = default;

private:
    std::atomic<ULONG> m_refs{1};
};

// Owner of one COM reference: releases it when it goes out of scope.
template <typename T> class ComPtr
{
public:
    ComPtr() = default;
    explicit ComPtr(T *adopted) : m_ptr(adopted) {}
    ComPtr(const ComPtr &other) : m_ptr(other.m_ptr)
    {
        if (m_ptr)
            m_ptr->AddRef();
    }
    ComPtr(ComPtr &&other) noexcept : m_ptr(other.m_ptr) { other.m_ptr = nullptr; }
    ~ComPtr() { reset(); }
    ComPtr &operator=(ComPtr other) noexcept
    {
        T *old = m_ptr;
        m_ptr = other.m_ptr;
        other.m_ptr = old;
        return *this;
    }
    void reset(T *adopted = nullptr)
    {
        T *old = m_ptr;
        m_ptr = adopted;
        if (old)
            old->Release();
    }
    T *get() const { return m_ptr; }
    T *operator->() const { return m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }
    // For out-parameters: releases what is held and hands out the slot.
    T **receive()
    {
        reset();
        return &m_ptr;
    }

private:
    T *m_ptr = nullptr;
};

// Owner of one BSTR.
class BStr
{
public:
    BStr() = default;
    BStr(const BStr &) = delete;
    BStr &operator=(const BStr &) = delete;
    ~BStr() { SysFreeString(m_str); }
    BSTR *receive()
    {
        SysFreeString(m_str);
        m_str = nullptr;
        return &m_str;
    }
    BSTR get() const { return m_str; }

private:
    BSTR m_str = nullptr;
};

} // namespace TQ::PLATFORM
