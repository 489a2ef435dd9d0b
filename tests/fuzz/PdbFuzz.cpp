// The debug-information data source on a mutated program database beside a fixed image: the
// load either fails cleanly or the queries of both modes (the hook's public symbol by name and
// what lies near it by address, the line index, the source file of every function) and the
// type queries answer without reading outside the file.
#include "DiaInterfaces.h"
#include "FuzzFile.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using TQ::PLATFORM::BStr;
using TQ::PLATFORM::ComPtr;

namespace {

uint32_t readU32(const uint8_t *data, size_t size, uint64_t at, bool &ok)
{
    if (at + 4 > size) {
        ok = false;
        return 0;
    }
    return uint32_t(data[at]) | uint32_t(data[at + 1]) << 8 | uint32_t(data[at + 2]) << 16 |
           uint32_t(data[at + 3]) << 24;
}

// The signature and age of a program database (its info stream, stream 1), read through the
// file's block directory; false when the input does not hold them. The fuzzer's inputs come from
// other builds, whose images carry other signatures: giving the image the input's identity keeps
// every seed and kept regression input meaningful in every build.
bool pdbIdentity(const uint8_t *data, size_t size, uint8_t identity[20])
{
    static const char magic[] = "Microsoft C/C++ MSF 7.00\r\n\x1a"
                                "DS";
    if (size < 56 || std::memcmp(data, magic, sizeof magic - 1) != 0)
        return false;
    bool ok = true;
    const uint64_t blockSize = readU32(data, size, 32, ok);
    const uint64_t directoryBytes = readU32(data, size, 44, ok);
    const uint64_t blockMap = readU32(data, size, 52, ok);
    if (!ok || blockSize < 512 || blockSize > 65536 || directoryBytes < 8 || directoryBytes > size)
        return false;
    // The directory, block by block: stream count, sizes, then each stream's blocks.
    auto directory = [&](uint64_t offset) -> uint32_t {
        const uint64_t block =
            readU32(data, size, blockMap * blockSize + offset / blockSize * 4, ok);
        return readU32(data, size, block * blockSize + offset % blockSize, ok);
    };
    const uint64_t streams = directory(0);
    if (!ok || streams < 2 || (1 + streams) * 4 > directoryBytes)
        return false;
    const uint64_t stream0Blocks = (directory(4) + blockSize - 1) / blockSize;
    if (!ok || (1 + streams + stream0Blocks + 1) * 4 > directoryBytes)
        return false;
    const uint64_t infoBlock = directory((1 + streams + stream0Blocks) * 4);
    const uint64_t info = infoBlock * blockSize;
    if (!ok || directory(8) < 28 || info + 28 > size)
        return false;
    std::memcpy(identity, data + info + 12, 16);    // signature (GUID)
    std::memcpy(identity + 16, data + info + 8, 4); // age
    return true;
}

// A copy of the sample image whose debug record names "fuzz.pdb" beside it, so the load takes
// the mutated file and not the image's own program database.
std::vector<char> prepareImage(size_t &rsdsAt)
{
    std::ifstream in(std::string(TQT_TEST_IMAGES_DIR) + "/sample/sample.exe", std::ios::binary);
    std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string rsds = "RSDS";
    auto it = std::search(image.begin(), image.end(), rsds.begin(), rsds.end());
    if (it == image.end() || image.end() - it < 24 + 9)
        __builtin_trap(); // the seed image lost its debug record: the target would test nothing
    const char name[] = "fuzz.pdb";
    std::copy(name, name + sizeof name, it + 24);
    rsdsAt = size_t(it - image.begin());
    return image;
}

struct Setup
{
    Setup()
    {
        dir = TQ::FUZZ::scratchPath(".d");
        mkdir(dir.c_str(), 0700);
        imageBytes = prepareImage(rsdsAt);
        image = dir + "/fuzz.exe";
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
    // The image carrying the identity of the program database beside it.
    bool writeImage(const uint8_t *data, size_t size)
    {
        uint8_t identity[20];
        if (pdbIdentity(data, size, identity))
            std::memcpy(imageBytes.data() + rsdsAt + 4, identity, sizeof identity);
        std::ofstream out(image, std::ios::binary | std::ios::trunc);
        out.write(imageBytes.data(), std::streamsize(imageBytes.size()));
        return bool(out);
    }

    std::string dir;
    std::string image;
    std::vector<char> imageBytes;
    size_t rsdsAt = 0;
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
    if (!TQ::FUZZ::writeScratch(setup.dir + "/fuzz.pdb", data, size) ||
        !setup.writeImage(data, size))
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
            ComPtr<IDiaSymbol> nearest;
            session->findSymbolByRVA(rva + 1, SymTagPublicSymbol, nearest.receive());
        }
    }
    ComPtr<ILineIndex> lineIndex;
    if (session->QueryInterface(IID_ILineIndex, reinterpret_cast<void **>(lineIndex.receive())) ==
        S_OK)
        lineIndex->buildLineIndex();
    sourceFiles(session.get(), scope.get());
    return 0;
}
