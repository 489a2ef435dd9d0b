// Reading a linker map of 1,000,000 function lines: time, and the memory the read needs beside
// the map's own size (peak resident set over the call, divided by the map file's size).
#include "BinaryPatchCleaner.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <string>

using TQ::EXTRACTORS::CPP::COMMON::BinaryPatchCleaner;
using TQ::EXTRACTORS::CPP::COMMON::MapExtract;

namespace {

const int FunctionLines = 1000000;

// A map in the linker's layout: names of C functions and of decorated C++ functions, some long
// enough to push the address, some data lines, objects of the program and of libraries.
QString generateMap(const QString &path)
{
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return QString();
    std::string text = " synth\r\n\r\n Preferred load address is 00400000\r\n\r\n"
                       "  Address         Publics by Value              Rva+Base       "
                       "Lib:Object\r\n\r\n"
                       " 0000:00000000       ___ImageBase               00400000     "
                       "<linker-defined>\r\n";
    char line[256];
    for (int i = 0; i < FunctionLines; ++i) {
        const unsigned rva = 0x1000 + unsigned(i) * 0x10;
        char name[128];
        switch (i % 4) {
        case 0:
            snprintf(name, sizeof name, "_function%d", i);
            break;
        case 1:
            snprintf(name, sizeof name, "?method%d@Class%d@ns@@QAEHH@Z", i, i / 100);
            break;
        case 2:
            snprintf(name, sizeof name, "?f%d@@YAXXZ", i);
            break;
        default:
            snprintf(name, sizeof name, "??0Widget%d@detail@@QAE@ABV01@@Z", i);
            break;
        }
        const char *object = i % 10 == 9 ? "libsynth.lib:part.obj" : "synth_module.obj";
        int n = snprintf(line, sizeof line, " 0001:%08x       %-26s %08x f   %s\r\n", rva - 0x1000,
                         name, 0x400000 + rva, object);
        text.append(line, size_t(n));
        if (i % 50 == 0) {
            n = snprintf(line, sizeof line, " 0003:%08x       _data%-21d %08x     %s\r\n", i, i,
                         0x800000 + unsigned(i), object);
            text.append(line, size_t(n));
        }
        if (text.size() > (1 << 20)) {
            out.write(text.data(), qint64(text.size()));
            text.clear();
        }
    }
    out.write(text.data(), qint64(text.size()));
    return path;
}

long statusKb(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == field) {
            long kb = 0;
            status >> kb;
            return kb;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

// Lets the peak resident set start again from the current one.
void resetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

void BM_ReadMapFile(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString mapPath = generateMap(dir.filePath("synth.map"));
    const double mapBytes = double(QFileInfo(mapPath).size());
    double peakRatio = 0;
    int records = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto extract = std::make_unique<MapExtract>(QFileInfo(dir.filePath("synth.map")));
        resetPeak();
        const long before = statusKb("VmRSS:");
        state.ResumeTiming();

        BinaryPatchCleaner::readMapFile(QFileInfo(mapPath), extract.get());

        state.PauseTiming();
        const long peak = statusKb("VmHWM:");
        peakRatio = qMax(peakRatio, double(peak - before) * 1024.0 / mapBytes);
        records = extract->functions.size();
        extract.reset();
        state.ResumeTiming();
    }
    if (records != FunctionLines)
        state.SkipWithError("the reader did not return one record per function line");
    state.counters["map_MB"] = mapBytes / 1e6;
    state.counters["peak_per_map_byte"] = peakRatio;
    state.counters["records"] = records;
}

} // namespace

BENCHMARK(BM_ReadMapFile)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
