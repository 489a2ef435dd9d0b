// The database side of a patch-clean run at scale, and the demangler over a large name list.
#include "DbFactory.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

using TQ::EXTRACTORS::CPP::COMMON::DbFactory;
using TQ::EXTRACTORS::CPP::COMMON::PatchedFunction;
using TQ::EXTRACTORS::CPP::COMMON::ProjectDb;

namespace {

const QString Placeholder = QStringLiteral("not resolved yet");

// What a clean of a fresh image does: read, clear, add one entry per function, commit.
void writeFunctions(const QString &path, int count)
{
    std::unique_ptr<ProjectDb> db(DbFactory::createProjectDb(path));
    benchmark::DoNotOptimize(db->functions());
    db->clearFunctions();
    for (int i = 0; i < count; ++i)
        db->addFunction(PatchedFunction(0x1000 + quint32(i) * 16, Placeholder, Placeholder,
                                        0x00000000e8ULL | (quint64(i) << 8)));
    db->commit();
    db->setExecutableTimestamp(QStringLiteral("Sat Dec 6 19:00:00 2025"));
}

// A database holding the entries of a clean of state.range(0) functions, for the benchmarks that
// start from one.
struct CleanedDatabase
{
    explicit CleanedDatabase(const benchmark::State &state)
        : path(dir.filePath("project.db")), count(int(state.range(0)))
    {
        writeFunctions(path, count);
    }
    QTemporaryDir dir;
    const QString path;
    const int count;
};

void BM_AddFunctionsAndCommit(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("project.db");
    const int count = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(path);
        state.ResumeTiming();
        writeFunctions(path, count);
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_AddFunctionsAndCommit)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// A second clean of the same image: every entry read, cleared and written back.
void BM_RewriteExisting(benchmark::State &state)
{
    const CleanedDatabase cleaned(state);
    for (auto _ : state) {
        std::unique_ptr<ProjectDb> db(DbFactory::createProjectDb(cleaned.path));
        const QSet<PatchedFunction> previous = db->functions();
        db->clearFunctions();
        for (const PatchedFunction &f : previous)
            db->addFunction(f);
        db->commit();
    }
    state.SetItemsProcessed(state.iterations() * cleaned.count);
}
BENCHMARK(BM_RewriteExisting)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_Functions(benchmark::State &state)
{
    const CleanedDatabase cleaned(state);
    for (auto _ : state) {
        std::unique_ptr<ProjectDb> db(DbFactory::createProjectDb(cleaned.path));
        const QSet<PatchedFunction> all = db->functions();
        if (all.size() != cleaned.count)
            state.SkipWithError("wrong entry count");
        db->rollback();
    }
    state.SetItemsProcessed(state.iterations() * cleaned.count);
}
BENCHMARK(BM_Functions)->Arg(100000)->Unit(benchmark::kMillisecond);

// The whole demangler process over a name list like a large image's.
void BM_UndnameProcess(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("names.txt");
    const int count = int(state.range(0));
    {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        QByteArray block;
        for (int i = 0; i < count; ++i) {
            switch (i % 4) {
            case 0:
                block += "?method" + QByteArray::number(i) + "@Widget@@QAEXHPBD@Z ";
                break;
            case 1:
                block += "??$convert@H@detail" + QByteArray::number(i) + "@@YANH@Z ";
                break;
            case 2:
                block += "_c_function_" + QByteArray::number(i) + ' ';
                break;
            default:
                block += "??1Class" + QByteArray::number(i) + "@@UAE@XZ ";
            }
            block += QByteArray::number(0x1000 + i * 16, 16) + '\n';
            if (block.size() > (1 << 20)) {
                f.write(block);
                block.clear();
            }
        }
        f.write(block);
    }
    const QString undname = QStringLiteral(TQT_VS_COMMON_DIR "/bin/undname.exe");
    for (auto _ : state) {
        QProcess p;
        p.setStandardOutputFile(dir.filePath("out.txt"));
        p.start(undname, {path});
        if (!p.waitForFinished(120000) || p.exitCode() != 0)
            state.SkipWithError("undname.exe failed");
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_UndnameProcess)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
