// The debug-information reader and its data source on a mutated program database beside a fixed
// image: the load either fails cleanly or every query the tool makes (the hook's public symbol
// by name and the function near it, the line index, the record, source file and class of every
// function) answers without reading outside the file.
#include "DiaApi.h"
#include "DiaInterfaces.h"
#include "FuzzFile.h"
#include "PdbIndex.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sys/stat.h>
#include <vector>

using namespace TQ::EXTRACTORS::CPP::DIA;
using namespace TQ::PLATFORM::PDB;

namespace {

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
        writeImage();
    }
    ~Setup()
    {
        std::remove((dir + "/fuzz.pdb").c_str());
        std::remove(image.c_str());
        rmdir(dir.c_str());
    }
    // The image carrying the identity of the program database beside it, as the load reads it.
    // The fuzzer's inputs come from other builds: giving the image the input's identity keeps
    // every seed and kept regression input meaningful in every build.
    bool write(const uint8_t *data, size_t size)
    {
        if (!TQ::FUZZ::writeScratch(dir + "/fuzz.pdb", data, size))
            return false;
        std::unique_ptr<PdbIndex> index;
        LoadReport report;
        if (PdbIndex::load(image, index, &report) != LoadResult::Mismatch)
            return true;
        std::memcpy(bytes.data() + rsdsAt + 4, report.candidates.back().guid, 16);
        std::memcpy(bytes.data() + rsdsAt + 20, &report.candidates.back().age, 4);
        return writeImage();
    }
    bool writeImage() const
    {
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
