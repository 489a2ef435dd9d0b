// What the resolve mode costs on a large image: load and session, then for every function the
// line record at its start and the record's file name.
#include "DiaInterfaces.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

using TQ::PLATFORM::BStr;
using TQ::PLATFORM::ComPtr;

namespace {

std::string imagePath()
{
    const char *env = std::getenv("DIASTANDIN_BENCH_IMAGE");
    return env && *env ? env : DS_BENCH_IMAGE;
}

std::u16string wide(const std::string &s)
{
    return std::u16string(s.begin(), s.end());
}

long residentKiB()
{
    long pages = 0, resident = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * 4;
}

double fileMiB(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? double(st.st_size) / (1024.0 * 1024.0) : 0.0;
}

std::string pdbOf(const std::string &exe)
{
    return exe.substr(0, exe.size() - 4) + ".pdb";
}

struct Opened
{
    ComPtr<IDiaDataSource> source;
    ComPtr<IDiaSession> session;
    ComPtr<IDiaSymbol> global;
};

bool open(Opened &o, benchmark::State &state)
{
    CoInitialize(nullptr);
    ComPtr<IClassFactory> factory;
    const std::u16string path = wide(imagePath());
    if (CoGetClassObject(CLSID_DiaSource, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                         reinterpret_cast<void **>(factory.receive())) != S_OK ||
        factory->CreateInstance(nullptr, IID_IDiaDataSource,
                                reinterpret_cast<void **>(o.source.receive())) != S_OK ||
        o.source->loadDataForExe(path.c_str(), nullptr, nullptr) != S_OK ||
        o.source->openSession(o.session.receive()) != S_OK ||
        o.session->get_globalScope(o.global.receive()) != S_OK) {
        state.SkipWithError(
            ("cannot open " + imagePath() + " (build it with: ninja testimage_synth100k)").c_str());
        return false;
    }
    return true;
}

std::vector<DWORD> functionRvas(IDiaSymbol *global)
{
    std::vector<DWORD> rvas;
    ComPtr<IDiaEnumSymbols> all;
    if (global->findChildren(SymTagFunction, u"*", nsRegularExpression, all.receive()) != S_OK)
        return rvas;
    IDiaSymbol *item = nullptr;
    ULONG fetched = 0;
    while (all->Next(1, &item, &fetched) == S_OK && fetched == 1) {
        DWORD rva = 0;
        if (item->get_relativeVirtualAddress(&rva) == S_OK)
            rvas.push_back(rva);
        item->Release();
    }
    return rvas;
}

// The resolve mode's question for one address: which file holds the code there.
size_t sourceFilesOf(IDiaSession *session, const std::vector<DWORD> &rvas)
{
    size_t found = 0;
    for (DWORD rva : rvas) {
        ComPtr<IDiaEnumLineNumbers> lines;
        if (session->findLinesByRVA(rva, 1, lines.receive()) != S_OK)
            continue;
        IDiaLineNumber *line = nullptr;
        ULONG fetched = 0;
        if (lines->Next(1, &line, &fetched) != S_OK || fetched != 1)
            continue;
        ComPtr<IDiaLineNumber> owned(line);
        ComPtr<IDiaSourceFile> file;
        BStr name;
        if (owned->get_sourceFile(file.receive()) == S_OK &&
            file->get_fileName(name.receive()) == S_OK && name.get())
            ++found;
    }
    return found;
}

void BM_LoadAndOpenSession(benchmark::State &state)
{
    for (auto _ : state) {
        Opened o;
        if (!open(o, state))
            return;
        benchmark::DoNotOptimize(o.global.get());
    }
    state.counters["pdb_MiB"] = fileMiB(pdbOf(imagePath()));
}
BENCHMARK(BM_LoadAndOpenSession)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SourceFileOfEveryFunction(benchmark::State &state)
{
    Opened o;
    if (!open(o, state))
        return;
    const std::vector<DWORD> rvas = functionRvas(o.global.get());
    size_t found = 0;
    for (auto _ : state)
        found = sourceFilesOf(o.session.get(), rvas);
    state.counters["functions"] = double(rvas.size());
    state.counters["with_source"] = double(found);
    state.counters["ns_per_address"] =
        benchmark::Counter(double(rvas.size()), benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}
BENCHMARK(BM_SourceFileOfEveryFunction)->Unit(benchmark::kMillisecond);

// What function records need beyond lines: the function type, its convention and class, and
// the class's members once per class.
void BM_TypeOfEveryFunction(benchmark::State &state)
{
    size_t functions = 0, classes = 0;
    for (auto _ : state) {
        Opened o;
        if (!open(o, state))
            return;
        std::vector<DWORD> seen;
        ComPtr<IDiaEnumSymbols> all;
        o.global->findChildren(SymTagFunction, u"*", nsRegularExpression, all.receive());
        IDiaSymbol *item = nullptr;
        ULONG fetched = 0;
        functions = 0;
        while (all->Next(1, &item, &fetched) == S_OK && fetched == 1) {
            ComPtr<IDiaSymbol> fn(item), type, udt;
            ++functions;
            DWORD convention = 0, classId = 0;
            if (fn->get_type(type.receive()) != S_OK ||
                type->get_callingConvention(&convention) != S_OK ||
                type->get_classParentId(&classId) != S_OK)
                continue;
            if (std::find(seen.begin(), seen.end(), classId) != seen.end())
                continue;
            seen.push_back(classId);
            if (o.session->symbolById(classId, udt.receive()) != S_OK)
                continue;
            ComPtr<IDiaEnumSymbols> members;
            udt->findChildren(SymTagNull, nullptr, nsNone, members.receive());
            IDiaSymbol *member = nullptr;
            while (members && members->Next(1, &member, &fetched) == S_OK && fetched == 1)
                member->Release();
        }
        classes = seen.size();
    }
    state.counters["functions"] = double(functions);
    state.counters["classes"] = double(classes);
}
BENCHMARK(BM_TypeOfEveryFunction)->Unit(benchmark::kMillisecond)->Iterations(2);

// The whole of what the resolve mode asks, from nothing: load, session, every function, its
// file. Memory is the resident growth while the session is open, against the PDB's size.
void BM_WholeResolve(benchmark::State &state)
{
    double growthMiB = 0;
    size_t functions = 0;
    for (auto _ : state) {
        const long before = residentKiB();
        Opened o;
        if (!open(o, state))
            return;
        const std::vector<DWORD> rvas = functionRvas(o.global.get());
        benchmark::DoNotOptimize(sourceFilesOf(o.session.get(), rvas));
        functions = rvas.size();
        growthMiB = std::max(growthMiB, double(residentKiB() - before) / 1024.0);
    }
    const double pdb = fileMiB(pdbOf(imagePath()));
    state.counters["functions"] = double(functions);
    state.counters["rss_growth_MiB"] = growthMiB;
    state.counters["pdb_MiB"] = pdb;
    state.counters["rss_per_pdb"] = pdb > 0 ? growthMiB / pdb : 0;
}
BENCHMARK(BM_WholeResolve)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
