// The debug-information data source on a mutated program database beside a fixed image: the
// load either fails cleanly or the queries of both modes (the hook's public symbol, the source
// file of every function) and the type queries answer without reading outside the file.
#include "DiaInterfaces.h"
#include "FuzzFile.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using TQ::PLATFORM::BStr;
using TQ::PLATFORM::ComPtr;

namespace {

// A copy of the sample image whose debug record names "fuzz.pdb" beside it, so the load takes
// the mutated file and not the image's own program database.
std::string prepareImage(const std::string &dir)
{
    std::ifstream in(std::string(TQT_TEST_IMAGES_DIR) + "/sample/sample.exe", std::ios::binary);
    std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string rsds = "RSDS";
    auto it = std::search(image.begin(), image.end(), rsds.begin(), rsds.end());
    if (it == image.end() || image.end() - it < 24 + 9)
        __builtin_trap(); // the seed image lost its debug record: the target would test nothing
    const char name[] = "fuzz.pdb";
    std::copy(name, name + sizeof name, it + 24);
    const std::string path = dir + "/fuzz.exe";
    std::ofstream(path, std::ios::binary).write(image.data(), std::streamsize(image.size()));
    return path;
}

struct Setup
{
    Setup()
    {
        dir = TQ::FUZZ::scratchPath(".d");
        mkdir(dir.c_str(), 0700);
        image = prepareImage(dir);
        CoInitialize(nullptr);
        CoGetClassObject(CLSID_DiaSource, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                         reinterpret_cast<void **>(factory.receive()));
        if (!factory)
            __builtin_trap();
    }
    ~Setup()
    {
        std::remove((dir + "/fuzz.pdb").c_str());
        std::remove(image.c_str());
        rmdir(dir.c_str());
    }
    std::string dir;
    std::string image;
    ComPtr<IClassFactory> factory;
};

void sourceFiles(IDiaSession *session, IDiaSymbol *scope)
{
    ComPtr<IDiaEnumSymbols> functions;
    if (scope->findChildren(SymTagFunction, u"*", nsRegularExpression, functions.receive()) != S_OK)
        return;
    for (;;) {
        ComPtr<IDiaSymbol> fn;
        ULONG fetched = 0;
        if (functions->Next(1, fn.receive(), &fetched) != S_OK || fetched != 1)
            break;
        DWORD rva = 0;
        if (fn->get_relativeVirtualAddress(&rva) != S_OK)
            continue;
        ComPtr<IDiaEnumLineNumbers> lines;
        if (session->findLinesByRVA(rva, 1, lines.receive()) == S_OK) {
            ComPtr<IDiaLineNumber> line;
            if (lines->Next(1, line.receive(), &fetched) == S_OK && fetched == 1) {
                ComPtr<IDiaSourceFile> file;
                DWORD number = 0;
                line->get_lineNumber(&number);
                if (line->get_sourceFile(file.receive()) == S_OK) {
                    BStr name;
                    file->get_fileName(name.receive());
                }
            }
        }
        ComPtr<IDiaSymbol> type;
        if (fn->get_type(type.receive()) == S_OK) {
            DWORD value = 0;
            LONG adjust = 0;
            type->get_callingConvention(&value);
            type->get_thisAdjust(&adjust);
            if (type->get_classParentId(&value) == S_OK) {
                ComPtr<IDiaSymbol> cls;
                if (session->symbolById(value, cls.receive()) == S_OK) {
                    ComPtr<IDiaEnumSymbols> children;
                    cls->findChildren(SymTagNull, nullptr, nsNone, children.receive());
                    for (int i = 0; children && i < 64; ++i) {
                        ComPtr<IDiaSymbol> child;
                        if (children->Next(1, child.receive(), &fetched) != S_OK)
                            break;
                        BStr name;
                        child->get_name(name.receive());
                        ComPtr<IDiaSymbol> childType;
                        child->get_type(childType.receive());
                    }
                }
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Setup setup;
    if (!TQ::FUZZ::writeScratch(setup.dir + "/fuzz.pdb", data, size))
        return 0;
    ComPtr<IDiaDataSource> source;
    if (setup.factory->CreateInstance(nullptr, IID_IDiaDataSource,
                                      reinterpret_cast<void **>(source.receive())) != S_OK)
        __builtin_trap();
    const std::u16string image(setup.image.begin(), setup.image.end());
    if (source->loadDataForExe(image.c_str(), nullptr, nullptr) != S_OK)
        return 0;
    ComPtr<IDiaSession> session;
    ComPtr<IDiaSymbol> scope;
    if (source->openSession(session.receive()) != S_OK ||
        session->get_globalScope(scope.receive()) != S_OK)
        return 0;
    ComPtr<IDiaEnumSymbols> hooks;
    if (scope->findChildren(SymTagPublicSymbol, u"__penter", nsRegularExpression,
                            hooks.receive()) == S_OK) {
        ComPtr<IDiaSymbol> hook;
        ULONG fetched = 0;
        while (hooks->Next(1, hook.receive(), &fetched) == S_OK && fetched == 1) {
            BStr name;
            DWORD rva = 0;
            hook->get_name(name.receive());
            hook->get_relativeVirtualAddress(&rva);
        }
    }
    sourceFiles(session.get(), scope.get());
    return 0;
}
