#include "DiaFactoryWrapper.h"

#include "DiaOutput.h"
#include "Exception.h"

namespace TQ::EXTRACTORS::CPP::DIA {

DiaFactoryWrapper::Initializer DiaFactoryWrapper::s_initializer;

DiaFactoryWrapper::Initializer::Initializer() : factory(nullptr)
{
    const HRESULT init = CoInitialize(nullptr);
    if (init != S_OK) {
        printLine("Initializer: CoInitialize failed");
    } else if (CoGetClassObject(CLSID_DiaSource, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void **>(&factory)) != S_OK) {
        printLine("Initializer: CoGetClassObject failed");
        if (factory) {
            factory->Release();
            factory = nullptr;
        }
    }
    if (factory)
        return;
    // S_FALSE also took a reference on the thread's COM state; give it back before leaving.
    if (SUCCEEDED(init))
        CoUninitialize();
    throw Exception("DiaFactoryWrapper could not initialize");
}

DiaFactoryWrapper::Initializer::~Initializer()
{
    if (!factory)
        return;
    factory->Release();
    factory = nullptr;
    CoUninitialize();
}

IClassFactory *DiaFactoryWrapper::classFactory()
{
    return s_initializer.factory;
}

} // namespace TQ::EXTRACTORS::CPP::DIA
