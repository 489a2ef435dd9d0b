// Cost of cleaning every function of a large image: per function a section walk and a store.
#include "PeBuilder.h"

#include <exerewriter.h>

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

using namespace TQ::EXTRACTORS::CPP::COMMON;

namespace {

const quint32 Hook = 0x1000;
const quint32 EntrySize = 8; // E8 rel32 55 8B EC

struct Synthetic
{
    QTemporaryDir dir;
    QString path;
    QList<quint32> functions;
};

// A hook in the first section, then `functions` hooked entries spread over `sectionCount`
// sections; the functions of the last section are the last ones the section walk reaches.
std::unique_ptr<Synthetic> synthesize(int functions, int sectionCount)
{
    auto s = std::make_unique<Synthetic>();
    QList<PeBuilder::Section> sections;
    const int perSection = (functions + sectionCount - 1) / sectionCount;
    quint32 va = Hook;
    for (int i = 0; i < sectionCount; ++i) {
        const quint32 size = quint32(perSection) * EntrySize + 0x10;
        PeBuilder::Section section{va, size, (size + 0x1FF) / 0x200 * 0x200};
        QByteArray &bytes = section.bytes;
        bytes.reserve(int(size));
        quint32 at = va;
        if (i == 0) {
            PeBuilder::place(bytes, 0, QByteArray(16, '\xC3'));
            at += 0x10;
        }
        for (int f = 0; f < perSection && s->functions.size() < functions; ++f, at += EntrySize) {
            PeBuilder::place(bytes, int(at - va), PeBuilder::call(at, Hook, PeBuilder::Frame));
            s->functions << at;
        }
        sections << section;
        va += (size + 0xFFF) / 0x1000 * 0x1000;
    }
    s->path = s->dir.filePath("synthetic.exe");
    QFile file(s->path);
    if (file.open(QIODevice::WriteOnly))
        file.write(PeBuilder::build(sections));
    return s;
}

// The call bytes that stand at a function, so that writing them back keeps the image as it was
// and every pass takes the full check.
quint64 hookCallAt(quint32 rva)
{
    return 0xE8ull | (quint64(quint32(Hook - rva - 5)) << 8);
}

// Patches every function once a pass, writing newBytes(rva) at each.
template <typename NewBytes>
void patchAll(benchmark::State &state, const QString &path, const QList<quint32> &functions,
              quint32 hook, NewBytes newBytes)
{
    std::unique_ptr<IExeRewriter> rewriter(createExeRewriter(path));
    rewriter->open();
    for (auto _ : state) {
        int patched = 0;
        for (quint32 rva : functions) {
            quint64 old = 0;
            patched += rewriter->patchHookCall(rva, old, newBytes(rva), hook) != NotPatchable;
            benchmark::DoNotOptimize(old);
        }
        if (patched != functions.size())
            state.SkipWithError("a function was not patched");
    }
    rewriter->close();
    state.SetItemsProcessed(state.iterations() * functions.size());
}

void BM_PatchEveryFunction(benchmark::State &state)
{
    const auto image = synthesize(int(state.range(0)), int(state.range(1)));
    patchAll(state, image->path, image->functions, Hook, hookCallAt);
}
BENCHMARK(BM_PatchEveryFunction)
    ->Args({100000, 1})
    ->Args({100000, 100})
    ->Unit(benchmark::kMillisecond);

void BM_OpenAndClose(benchmark::State &state)
{
    const auto image = synthesize(100000, 1);
    std::unique_ptr<IExeRewriter> rewriter(createExeRewriter(image->path));
    for (auto _ : state) {
        rewriter->open();
        rewriter->close();
    }
}
BENCHMARK(BM_OpenAndClose)->Unit(benchmark::kMicrosecond);

// The generated 100,000-function image, when it has been built (ninja testimage_synth100k);
// REWRITER_BENCH_SYNTH names another <folder>/<base name> of an .exe and its .map.
void BM_PatchSynth100k(benchmark::State &state)
{
    const QString built = qEnvironmentVariable(
        "REWRITER_BENCH_SYNTH", QString(TQT_TEST_IMAGES_DIR) + "/synth100k/synth100k");
    QTemporaryDir dir;
    const QString image = dir.filePath("synth100k.exe");
    if (!QFile::copy(built + ".exe", image)) {
        state.SkipWithError("synth100k not built");
        return;
    }
    QFile mapFile(built + ".map");
    const QString map =
        QString::fromLatin1(mapFile.open(QIODevice::ReadOnly) ? mapFile.readAll() : QByteArray());
    const QRegularExpression fLine(
        "^ [0-9a-f]{4}:[0-9a-f]{8}\\s+(\\S+)\\s+([0-9a-f]{8}) f\\s+(\\S+)",
        QRegularExpression::MultilineOption);
    const quint32 base = QRegularExpression("Preferred load address is ([0-9a-f]{8})")
                             .match(map)
                             .captured(1)
                             .toUInt(nullptr, 16);
    QList<quint32> functions;
    quint32 hook = 0;
    for (auto it = fLine.globalMatch(map); it.hasNext();) {
        const auto m = it.next();
        const quint32 rva = m.captured(2).toUInt(nullptr, 16) - base;
        if (m.captured(1) == "__penter")
            hook = rva;
        else if (!m.captured(3).startsWith("crtstubs"))
            functions << rva;
    }
    // Writing back the NOPs of the first pass: the cost is still one walk and one store each.
    patchAll(state, image, functions, hook, [](quint32) { return Q_UINT64_C(0x9090909090); });
}
BENCHMARK(BM_PatchSynth100k)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
