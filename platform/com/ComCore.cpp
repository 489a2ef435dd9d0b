#include "ComCore.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

thread_local int t_comInitCount = 0;

struct ServerEntry
{
    CLSID clsid;
    ClassFactoryCreator creator;
};

// Function-local so that servers may register during static initialisation.
std::vector<ServerEntry> &servers()
{
    static std::vector<ServerEntry> table;
    return table;
}

std::mutex &serversMutex()
{
    static std::mutex m;
    return m;
}

// BSTR layout as on Windows: a 32-bit byte length before the characters, a zero after them.
struct BstrHeader
{
    uint32_t byteLength;
};

} // namespace

HRESULT CoInitialize(void *)
{
    return t_comInitCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize()
{
    if (t_comInitCount > 0)
        --t_comInitCount;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void *, REFIID iid, void **object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (t_comInitCount == 0)
        return CO_E_NOTINITIALIZED;
    if (!(context & CLSCTX_INPROC_SERVER))
        return REGDB_E_CLASSNOTREG;
    ClassFactoryCreator creator = nullptr;
    {
        std::lock_guard<std::mutex> lock(serversMutex());
        for (const ServerEntry &e : servers())
            if (e.clsid == clsid)
                creator = e.creator;
    }
    if (!creator)
        return REGDB_E_CLASSNOTREG;
    IClassFactory *factory = creator();
    if (!factory)
        return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
}

bool registerInProcServer(REFCLSID clsid, ClassFactoryCreator creator)
{
    std::lock_guard<std::mutex> lock(serversMutex());
    for (ServerEntry &e : servers())
        if (e.clsid == clsid) {
            e.creator = creator;
            return true;
        }
    servers().push_back({clsid, creator});
    return true;
}

BSTR SysAllocStringLen(const OLECHAR *text, uint32_t length)
{
    void *block = std::malloc(sizeof(BstrHeader) + (size_t(length) + 1) * sizeof(OLECHAR));
    if (!block)
        return nullptr;
    static_cast<BstrHeader *>(block)->byteLength = length * sizeof(OLECHAR);
    BSTR str = reinterpret_cast<BSTR>(static_cast<char *>(block) + sizeof(BstrHeader));
    if (text)
        std::memcpy(str, text, length * sizeof(OLECHAR));
    else
        std::memset(str, 0, length * sizeof(OLECHAR));
    str[length] = 0;
    return str;
}

void SysFreeString(BSTR text)
{
    if (text)
        std::free(reinterpret_cast<char *>(text) - sizeof(BstrHeader));
}
