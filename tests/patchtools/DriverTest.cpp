// The driver with a scripted reader, on what end-to-end runs cannot reach cheaply: the resolve
// run's lookups (which run ahead of the writes on a second thread) and their failures, and an
// image with two hook functions, which no linker makes.
#include "BinaryPatchCleaner.h"
#include "DbFactory.h"
#include "DiaApi.h"
#include "NameListHandover.h"
#include "ProjectDb.h"
#include "Settings.h"
#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

using namespace TQ::EXTRACTORS::CPP::COMMON;
using namespace TestSupport;
using namespace TQ::EXTRACTORS::CPP::DIA;

namespace {

struct Script
{
    QList<SymbolAddress> hooks;   // what a search for __penter finds
    quint32 failAt = 0xffffffffu; // the lookup of this address throws
    int slowLookups = 0;          // that many first lookups take 5 ms each
    std::atomic<int> lineIndexBuilds{0}, lookups{0};
    std::mutex mutex;
    QSet<quint32> asked; // every address looked up
    QList<QStringList> resolveRuns;
    QStringList opened; // the paths the reader was given
};

class ScriptedReader : public DiaApi
{
public:
    explicit ScriptedReader(Script &script) : script(script) {}
    QHash<quint32, const FunctionInfo *> functionInfos(const QList<quint32> &) override
    {
        return {};
    }
    const FunctionInfo *functionInfo(quint32) override { return nullptr; }
    QList<const FunctionInfo *> allFunctionInfos() override { return {}; }
    QList<SymbolAddress> findSymbols(QStringList names, int symTag) override
    {
        return names == QStringList("__penter") && symTag == 10 ? script.hooks
                                                                : QList<SymbolAddress>();
    }
    QString sourceFileOf(quint32 address) override
    {
        {
            std::lock_guard<std::mutex> lock(script.mutex);
            script.asked.insert(address);
        }
        if (script.lookups++ < script.slowLookups)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (address == script.failAt)
            throw std::runtime_error("lookup failed");
        return QStringLiteral("src/%1.cpp").arg(address, 0, 16);
    }
    const QMap<int, ClassInfo *> &classInfos() override { return classes; }
    void buildLineIndex() override { ++script.lineIndexBuilds; }

private:
    Script &script;
    QMap<int, ClassInfo *> classes;
};

// The tool makes one driver per process; here each one's settings go once it has saved them.
struct SettingsRelease
{
    ~SettingsRelease()
    {
        delete TQ::SETTINGS::Settings::instance();
        TQ::SETTINGS::Settings::setInstance(nullptr);
    }
};

class ScriptedCleaner : SettingsRelease, public BinaryPatchCleaner
{
public:
    explicit ScriptedCleaner(Script &script) : script(script) {}
    DiaApi *openDebugInfo(QString path) override
    {
        script.opened << path;
        return new ScriptedReader(script);
    }
    void startResolveStep(QString exe, QString nameList, QString db, QString vs) override
    {
        script.resolveRuns.append({exe, nameList, db, vs});
        NameListHandover::release(nameList); // the resolve run would have removed it
    }

private:
    Script &script;
};

class DriverTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The driver reads and saves the product settings: in the test's own folders.
        ASSERT_TRUE(QDir(dir.path()).mkdir("env"));
        const ScopedEnv::Value folder = dir.filePath("env").toLocal8Bit();
        for (const char *name : {"HOME", "XDG_CONFIG_HOME", "APPDATA", "TQ_TRACING", "TQ_VELMORA"})
            env.set({{name, folder}});
    }

    // Entries unresolved and named by the demangler, unresolved and unknown to it, with only the
    // source file unresolved, and resolved; a demangler that appends "_u" to every name of the
    // list and writes lines of that form to its error output too, which must not be read.
    void prepare()
    {
        writeScript(dir.filePath("vs/bin/undname.exe"),
                    "while read name rva; do printf '%s_u %s\\r\\n' \"$name\" \"$rva\"; done < $1\n"
                    "while read name rva; do printf '%s_e %s\\r\\n' \"$name\" \"$rva\" >&2; "
                    "done < $1");
        QByteArray names;
        QFile::remove(db());
        std::unique_ptr<ProjectDb> database(DbFactory::createProjectDb(db()));
        database->clearFunctions();
        for (int i = 0; i < Count; ++i) {
            const quint32 address = 0x1000 + quint32(i) * 16;
            if (i % 4 == 0 || i % 4 == 2)
                names += QStringLiteral("fn_%1 %1\n").arg(address, 0, 16).toLatin1();
            database->addFunction(PatchedFunction(address, i % 4 < 2 ? NotResolved : "kept",
                                                  i % 4 < 3 ? NotResolved : "kept.cpp", i));
        }
        database->commit();
        ASSERT_TRUE(writeFile(nameList(), names));
    }
    void resolve(Script &script)
    {
        ScriptedCleaner(script).resolveNames(dir.filePath("image.exe"), nameList(), db(),
                                             dir.filePath("vs"));
    }
    QString db() const { return dir.filePath("project.db"); }
    QString nameList() const { return dir.filePath("image_tq.map"); }

    static constexpr int Count = 3000;
    QTemporaryDir dir;
    ScopedEnv env;
};

} // namespace

TEST_F(DriverTest, ResolveReplacesPlaceholdersOrOnAnyFailureLeavesTheDatabaseAsItWas)
{
    // Lookups quick and slow; a failing lookup of an address that no entry has changes nothing,
    // one failing early, in the middle or at the last entry that needs one undoes the whole run.
    const quint32 none = 0xffffffffu, middle = 0x1000 + Count / 2 * 16,
                  last = 0x1000 + (Count - 2) * 16;
    const std::pair<int, quint32> cases[] = {
        {0, none}, {20, none}, {0, 0x1010}, {10, middle}, {10, last}};
    for (const auto &[slow, failAt] : cases) {
        SCOPED_TRACE(failAt);
        prepare();
        const QByteArray before = readFile(db());
        Script script;
        script.slowLookups = slow;
        script.failAt = failAt;
        if (failAt >= 0x1000 && failAt != none) {
            EXPECT_THROW(resolve(script), std::runtime_error);
            EXPECT_EQ(readFile(db()), before);
            continue;
        }
        resolve(script);
        const QMap<quint32, Entry> entries = readEntries(db());
        ASSERT_EQ(entries.size(), Count);
        for (int i = 0; i < Count; ++i) {
            const Entry &e = entries.value(0x1000 + quint32(i) * 16);
            const QString hex = QString::number(e.address, 16);
            const bool kept = i % 4 == 3;
            EXPECT_EQ(e.name, kept ? "kept" : i % 4 == 1 ? "???" : "fn_" + hex + "_u") << i;
            EXPECT_EQ(e.sourceFile, kept ? "kept.cpp" : "src/" + hex + ".cpp") << i;
            EXPECT_EQ(e.oldBytes, quint64(i));
            EXPECT_NE(script.asked.contains(e.address), kept) << i;
        }
        // The entries' own lookups and no other; the line index built once, ahead of them.
        EXPECT_EQ(script.asked.size(), Count / 4 * 3);
        EXPECT_EQ(script.lineIndexBuilds, 1);
    }
}

TEST_F(DriverTest, TwoHookFunctionsAreRefusedBeforeAnythingIsWritten)
{
    const QString exe = dir.filePath("sample.exe");
    for (const QString &file : {exe, dir.filePath("sample.map")})
        ASSERT_TRUE(QFile::copy(builtImageDir("sample") + "/" + QFileInfo(file).fileName(), file));
    const QByteArray before = readFile(exe);
    const QString cwd = QDir::currentPath();
    QDir::setCurrent(dir.path()); // the image named relative to the working directory
    Script script;
    script.hooks = {SymbolAddress(0x1000, "__penter"), SymbolAddress(0x1010, "__penter")};
    CoutCapture out;
    EXPECT_FALSE(ScriptedCleaner(script).patchClean("sample.exe", db(), "vs"));
    QDir::setCurrent(cwd);
    EXPECT_EQ(out.text(), "Error: exe/dll contains more than one symbol __penter()\n");
    EXPECT_EQ(script.opened, QStringList(exe)) << "the reader needs the absolute path";
    EXPECT_TRUE(script.resolveRuns.isEmpty());
    EXPECT_EQ(readFile(exe), before);
    EXPECT_FALSE(QFileInfo::exists(db()));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("sample_tq.map")));
}
