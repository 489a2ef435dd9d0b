// The project patch database opening a mutated file: either a clear exception, or a database
// that answers its reads and takes a rewrite that reads back as written.
#include "DbFactory.h"
#include "FuzzFile.h"

#include <exception>
#include <memory>

using namespace TQ::EXTRACTORS::CPP::COMMON;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const TQ::FUZZ::Scratch scratch(".db");
    std::remove((scratch.path + "-journal").c_str());
    if (!TQ::FUZZ::writeScratch(scratch.path, data, size))
        return 0;
    try {
        std::unique_ptr<ProjectDb> db(
            DbFactory::createProjectDb(QString::fromStdString(scratch.path), 0));
        db->executableTimestamp();
        const QSet<PatchedFunction> before = db->functions();
        db->clearFunctions();
        for (const PatchedFunction &f : before)
            db->addFunction(f);
        db->addFunction(PatchedFunction(0x1000, "f", "f.cpp", 0xE800000000ull >> 8));
        db->commit();
        if (db->functionCount() < before.size())
            __builtin_trap(); // a rewrite of what was read must not lose entries
    } catch (const std::exception &) {
    }
    return 0;
}
