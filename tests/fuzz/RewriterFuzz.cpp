// The rewriter on mutated image bytes: open, then a hook-call patch at RVAs drawn from the
// input itself and at every 16th RVA of the first 64 KiB, the way a map would list entries.
#include "FuzzFile.h"
#include "exerewriter.h"

#include <QtEndian>

#include <exception>
#include <memory>

using namespace TQ::EXTRACTORS::CPP::COMMON;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const TQ::FUZZ::Scratch scratch(".exe");
    if (!TQ::FUZZ::writeScratch(scratch.path, data, size))
        return 0;
    std::unique_ptr<IExeRewriter> rewriter(createExeRewriter(QString::fromStdString(scratch.path)));
    try {
        rewriter->open();
    } catch (const std::exception &) {
        rewriter->close();
        return 0;
    }
    const auto word = [&](size_t i) { return qFromLittleEndian<quint32>(data + i); };
    const quint32 hook = size >= 4 ? word(0) : 0x1000;
    for (quint32 rva = 0; rva < 0x10000; rva += 16) {
        quint64 old = 0;
        const PatchResult r = rewriter->patchHookCall(rva, old, 0x9090909090ull, hook);
        if (r != NotPatchable && (old >> 40) != 0)
            __builtin_trap(); // the old bytes are five bytes, never more
    }
    for (size_t i = 4; i + 4 <= size && i < 256; i += 4) {
        quint64 old = 0;
        rewriter->patchHookCall(word(i), old, 0x9090909090ull, hook);
    }
    rewriter->close();
    rewriter->close();
    return 0;
}
