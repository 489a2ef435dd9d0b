// The reader over a large image: every function record, and the source file of every function.
//
// The image defaults to the 100,000-function synth100k test image (ninja testimage_synth100k);
// TQT_DIA_BENCH_IMAGE names another one.
#include "Dia.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>

using namespace TQ::EXTRACTORS::CPP::DIA;

namespace {

QString imagePath()
{
    if (const char *env = std::getenv("TQT_DIA_BENCH_IMAGE"))
        return QString::fromLocal8Bit(env);
    return QStringLiteral(TQT_TEST_IMAGES_DIR "/synth100k/synth100k.exe");
}

double pdbMegabytes()
{
    const QFileInfo image(imagePath());
    const QFileInfo pdb(image.dir().filePath(image.completeBaseName() + ".pdb"));
    return double(pdb.size()) / (1024.0 * 1024.0);
}

// Resident set size of this process, in MiB.
double residentMegabytes()
{
    FILE *status = std::fopen("/proc/self/status", "r");
    if (!status)
        return 0;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, status))
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            kib = std::strtol(line + 6, nullptr, 10);
    std::fclose(status);
    return double(kib) / 1024.0;
}

std::unique_ptr<Dia> openImage()
{
    return std::unique_ptr<Dia>(
        static_cast<Dia *>(createDia(QList<ModInfo>() << ModInfo(0, imagePath()))));
}

bool usable(benchmark::State &state, const Dia &dia)
{
    if (dia.modules.isEmpty() || !dia.modules.first()->valid) {
        state.SkipWithError("image or program database not readable; build testimage_synth100k "
                            "or set TQT_DIA_BENCH_IMAGE");
        return false;
    }
    return true;
}

// Opening the image and computing every function record, with its class descriptions.
void BM_AllFunctionInfos(benchmark::State &state)
{
    size_t functions = 0;
    int classes = 0;
    double grownMegabytes = 0;
    for (auto _ : state) {
        const double before = residentMegabytes();
        std::unique_ptr<Dia> dia = openImage();
        if (!usable(state, *dia))
            return;
        std::ostringstream sink; // the reader's message lines, if any, are not timed output
        std::streambuf *old = std::cout.rdbuf(sink.rdbuf());
        const QList<const FunctionInfo *> all = dia->allFunctionInfos();
        std::cout.rdbuf(old);
        functions = size_t(all.size());
        classes = dia->classInfos().size();
        benchmark::DoNotOptimize(all.constFirst());
        grownMegabytes = std::max(grownMegabytes, residentMegabytes() - before);
        state.PauseTiming();
        dia.reset();
        state.ResumeTiming();
    }
    state.counters["functions"] = double(functions);
    state.counters["classes"] = classes;
    state.counters["pdb_MiB"] = pdbMegabytes();
    state.counters["rss_growth_MiB"] = grownMegabytes;
    state.counters["rss_per_pdb"] = pdbMegabytes() > 0 ? grownMegabytes / pdbMegabytes() : 0;
}
BENCHMARK(BM_AllFunctionInfos)->Unit(benchmark::kMillisecond)->Iterations(3);

// What the resolve run does: the source file of every function of a freshly opened image.
void BM_SourceFileOfAllFunctions(benchmark::State &state)
{
    QList<quint32> addresses;
    {
        std::unique_ptr<Dia> dia = openImage();
        if (!usable(state, *dia))
            return;
        for (const FunctionInfo *f : dia->allFunctionInfos())
            addresses.append(f->startAddress);
    }
    int resolved = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<Dia> dia = openImage();
        state.ResumeTiming();
        resolved = 0;
        for (quint32 address : addresses)
            resolved += !dia->sourceFileOf(address).endsWith(QLatin1String(":???"));
        state.PauseTiming();
        dia.reset();
        state.ResumeTiming();
    }
    state.counters["functions"] = double(addresses.size());
    state.counters["with_source"] = double(resolved);
}
BENCHMARK(BM_SourceFileOfAllFunctions)->Unit(benchmark::kMillisecond)->Iterations(3);

// Opening alone, which the other two include or leave out.
void BM_OpenImage(benchmark::State &state)
{
    for (auto _ : state) {
        std::unique_ptr<Dia> dia = openImage();
        if (!usable(state, *dia))
            return;
        state.PauseTiming();
        dia.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_OpenImage)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
