// The debug-information reader and its data source on a mutated program database beside a fixed
// image: the load either fails cleanly or every query the tool makes (the hook's public symbol
// by name and the function near it, the line index, the record, source file and class of every
// function) answers without reading outside the file.
#include "DiaApi.h"
#include "DiaInterfaces.h"
#include "FuzzFile.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sys/stat.h>
#include <vector>

using namespace TQ::EXTRACTORS::CPP::DIA;

namespace {

uint32_t readU32(const uint8_t *data, size_t size, uint64_t at, bool &ok)
{
    ok = ok && at + 4 <= size;
    return ok ? uint32_t(data[at]) | uint32_t(data[at + 1]) << 8 | uint32_t(data[at + 2]) << 16 |
                    uint32_t(data[at + 3]) << 24
              : 0;
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
    const uint64_t stream0Blocks = (directory(4) + blockSize - 1) / blockSize;
    if (!ok || streams < 2 || (2 + streams + stream0Blocks) * 4 > directoryBytes)
        return false;
    const uint64_t info = uint64_t(directory((1 + streams + stream0Blocks) * 4)) * blockSize;
    if (!ok || directory(8) < 28 || info + 28 > size)
        return false;
    std::memcpy(identity, data + info + 12, 16);    // signature (GUID)
    std::memcpy(identity + 16, data + info + 8, 4); // age
    return true;
}

// A copy of the sample image whose debug record names "fuzz.pdb" beside it, so that the load
// takes the mutated file and not the image's own program database.
struct Setup
{
    Setup()
    {
        mkdir(dir.c_str(), 0700);
        std::ifstream in(std::string(TQT_TEST_IMAGES_DIR) + "/sample/sample.exe", std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        const std::string rsds = "RSDS";
        rsdsAt = size_t(std::search(bytes.begin(), bytes.end(), rsds.begin(), rsds.end()) -
                        bytes.begin());
        if (rsdsAt + 24 + 9 > bytes.size())
            __builtin_trap(); // the seed image lost its debug record: the target would test nothing
        std::memcpy(bytes.data() + rsdsAt + 24, "fuzz.pdb", 9);
        std::cout.rdbuf(nullptr); // the reader's line for every failed call
    }
    ~Setup()
    {
        std::remove((dir + "/fuzz.pdb").c_str());
        std::remove(image.c_str());
        rmdir(dir.c_str());
    }
    // The image carrying the identity of the program database beside it.
    bool write(const uint8_t *data, size_t size)
    {
        if (!TQ::FUZZ::writeScratch(dir + "/fuzz.pdb", data, size))
            return false;
        uint8_t identity[20];
        if (pdbIdentity(data, size, identity))
            std::memcpy(bytes.data() + rsdsAt + 4, identity, sizeof identity);
        return TQ::FUZZ::writeScratch(image, reinterpret_cast<const uint8_t *>(bytes.data()),
                                      bytes.size());
    }

    const std::string dir = TQ::FUZZ::scratchPath(".d");
    const std::string image = dir + "/fuzz.exe";
    std::vector<char> bytes;
    size_t rsdsAt = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Setup setup;
    if (!setup.write(data, size))
        return 0;
    const QString image = QString::fromStdString(setup.image);
    const std::unique_ptr<DiaApi> dia(createDia({ModInfo(0, image)}));
    dia->buildLineIndex();
    const QList<SymbolAddress> hooks = dia->findSymbols({"__penter"}, SymTagPublicSymbol);
    for (const FunctionInfo *f : dia->allFunctionInfos())
        dia->sourceFileOf(f->address);
    for (const SymbolAddress &hook : hooks)
        dia->printSymbolTag(hook.address + 1);
    return 0;
}
