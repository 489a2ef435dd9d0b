// The patch-clean workflow on copies of built images, with factories and readers that fail on
// purpose (the plain runs are covered end to end).
#include "BinaryPatchCleaner.h"
#include "CleanerException.h"
#include "DbFactory.h"
#include "DiaApi.h"
#include "ExePatcher.h"
#include "TestSupport.h"
#include "ProjectDb.h"
#include "Settings.h"
#include "exerewriter.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QTemporaryDir>

#include <memory>
#include <stdexcept>

using namespace TQ::EXTRACTORS::CPP::COMMON;
using namespace TestSupport;
using TQ::EXTRACTORS::CPP::DIA::ClassInfo;
using TQ::EXTRACTORS::CPP::DIA::DiaApi;
using TQ::EXTRACTORS::CPP::DIA::FunctionInfo;
using TQ::EXTRACTORS::CPP::DIA::SymbolAddress;

namespace {

// A database that hands every call to the real one and fails where a test says.
class FailingDb : public ProjectDb
{
public:
    FailingDb(ProjectDb *inner, int failAtAdd, bool failCommit)
        : inner(inner), failAtAdd(failAtAdd), failCommit(failCommit)
    {
    }

    QString path() const override { return inner->path(); }
    QString executableTimestamp() override { return inner->executableTimestamp(); }
    int functionCount() override { return inner->functionCount(); }
    bool function(quint32 address, PatchedFunction *out) override
    {
        return inner->function(address, out);
    }
    bool containsFunction(quint32 address) override { return inner->containsFunction(address); }
    void rollback() override { inner->rollback(); }
    bool inTransaction() const override { return inner->inTransaction(); }
    void setExecutableTimestamp(QString timestamp) override
    {
        inner->setExecutableTimestamp(timestamp);
    }
    void clearFunctions() override { inner->clearFunctions(); }
    void commit() override
    {
        if (failCommit)
            throw std::runtime_error("injected commit failure");
        inner->commit();
    }
    void addFunction(const PatchedFunction &function) override
    {
        if (++adds == failAtAdd)
            throw std::runtime_error("injected database error");
        inner->addFunction(function);
    }
    QSet<PatchedFunction> functions() override { return inner->functions(); }
    QHash<quint32, quint64> unframedSites() override { return inner->unframedSites(); }
    void setUnframedSites(const QHash<quint32, quint64> &sites) override
    {
        inner->setUnframedSites(sites);
    }

private:
    std::unique_ptr<ProjectDb> inner;
    int failAtAdd;
    bool failCommit;
    int adds = 0;
};

QList<PatchedFunction> sortedEntries(const QString &dbPath)
{
    std::unique_ptr<ProjectDb> db(DbFactory::createProjectDb(dbPath));
    const QSet<PatchedFunction> set = db->functions();
    QList<PatchedFunction> list(set.begin(), set.end());
    std::sort(list.begin(), list.end(), [](const PatchedFunction &a, const PatchedFunction &b) {
        return a.address < b.address;
    });
    return list;
}

class WorkflowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        oldCurrent = QDir::currentPath();
        QDir::setCurrent(dir.path());
    }
    void TearDown() override { QDir::setCurrent(oldCurrent); }

    // Copies the image, reads its map; returns the image path.
    QString prepare(const QString &name)
    {
        const QString exe = copyImage(name, dir.path());
        extract.reset(new MapExtract(QFileInfo(dir.filePath(name + ".map"))));
        BinaryPatchCleaner::readMapFile(QFileInfo(dir.filePath(name + ".map")), extract.get());
        rvas = nameListRvas(readFile(extract->nameListFile.absoluteFilePath()));
        hookRva = rvas.value("__penter");
        return exe;
    }

    // A database holding two entries of an earlier run, to show that a failure keeps them.
    void seedDb()
    {
        std::unique_ptr<ProjectDb> db(DbFactory::createProjectDb(dbPath()));
        db->functions();
        db->clearFunctions();
        db->addFunction(PatchedFunction(0x7000, "earlier", "earlier.cpp", 0x1122334455));
        db->addFunction(PatchedFunction(0x7010, "earlier2", "earlier.cpp", 0x66));
        db->commit();
        db->setExecutableTimestamp("earlier time");
    }

    QString dbPath() const { return dir.filePath("project.db"); }

    QTemporaryDir dir;
    QString oldCurrent;
    std::unique_ptr<MapExtract> extract;
    QHash<QString, quint32> rvas;
    quint32 hookRva = 0;
};

} // namespace

TEST_F(WorkflowTest, FailureBeforeCommitPutsTheImageBack)
{
    // A failing commit, and a database error half-way through the entries.
    for (const bool failCommit : {true, false}) {
        const QString exe = prepare("sample");
        seedDb();
        const QByteArray imageBefore = readFile(exe);
        const QList<PatchedFunction> dbBefore = sortedEntries(dbPath());

        ExePatcher patcher(
            [&](QString path) {
                return new FailingDb(DbFactory::createProjectDb(path), failCommit ? -1 : 5,
                                     failCommit);
            },
            [](QString path) { return createExeRewriter(path); });
        CoutCapture out;
        EXPECT_THROW(patcher.patchExecutable(exe, &extract->functions, hookRva, dbPath()),
                     std::runtime_error);

        EXPECT_EQ(readFile(exe), imageBefore) << "commit failure " << failCommit;
        const QList<PatchedFunction> dbAfter = sortedEntries(dbPath());
        ASSERT_EQ(dbAfter.size(), dbBefore.size());
        for (int i = 0; i < dbAfter.size(); ++i) {
            EXPECT_EQ(dbAfter.at(i).address, dbBefore.at(i).address);
            EXPECT_EQ(dbAfter.at(i).name, dbBefore.at(i).name);
            EXPECT_EQ(dbAfter.at(i).oldBytes, dbBefore.at(i).oldBytes);
        }
        std::unique_ptr<ProjectDb> db(DbFactory::createProjectDb(dbPath()));
        EXPECT_EQ(db->executableTimestamp(), "earlier time");

        // The image was closed on the way out: a new run can clean it.
        ExePatcher().patchExecutable(exe, &extract->functions, hookRva, dbPath());
        EXPECT_NE(readFile(exe), imageBefore);
        QFile::remove(exe);
        QFile::remove(dbPath());
    }
}

TEST_F(WorkflowTest, StoredTimestampIsTheImagesTimeAfterTheClose)
{
    // A rewriter whose close dates the image back: only a time taken after the close is that.
    struct DatingRewriter : IExeRewriter
    {
        DatingRewriter(QString path) : path(path), inner(createExeRewriter(path)) {}
        void writeBytes(quint32 rva, quint64 bytes) override { inner->writeBytes(rva, bytes); }
        PatchResult patchHookCall(quint32 rva, quint64 &old, quint64 bytes, quint32 hook) override
        {
            return inner->patchHookCall(rva, old, bytes, hook);
        }
        void open() override { inner->open(); }
        void beginJournaledWrites() override { inner->beginJournaledWrites(); }
        void applyJournaledWrites() override { inner->applyJournaledWrites(); }
        bool revertJournaledWrites() override { return inner->revertJournaledWrites(); }
        void endJournaledWrites() override { inner->endJournaledWrites(); }
        bool readBytes(quint32 rva, quint64 &bytes) override
        {
            return inner->readBytes(rva, bytes);
        }
        void close() override
        {
            inner->close();
            QFile image(path);
            if (image.open(QIODevice::ReadOnly))
                image.setFileTime(closedAt(), QFileDevice::FileModificationTime);
        }
        static QDateTime closedAt() { return QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)); }
        QString path;
        std::unique_ptr<IExeRewriter> inner;
    };
    const QString exe = prepare("sample");
    ExePatcher patcher([](QString path) { return DbFactory::createProjectDb(path); },
                       [](QString path) { return new DatingRewriter(path); });
    CoutCapture out;
    patcher.patchExecutable(exe, &extract->functions, hookRva, dbPath());
    std::unique_ptr<ProjectDb> db(DbFactory::createProjectDb(dbPath()));
    EXPECT_EQ(db->executableTimestamp(), DatingRewriter::closedAt().toString(Qt::TextDate));
}

namespace {

class FakeReader : public DiaApi
{
public:
    explicit FakeReader(QList<SymbolAddress> hooks) : hooks(std::move(hooks)) {}
    QHash<quint32, const FunctionInfo *> functionInfos(const QList<quint32> &) override
    {
        return {};
    }
    const FunctionInfo *functionInfo(quint32) override { return nullptr; }
    QList<const FunctionInfo *> allFunctionInfos() override { return {}; }
    QList<SymbolAddress> findSymbols(QStringList names, int symTag) override
    {
        queries.append(names.join(',') + "/" + QString::number(symTag));
        return names == QStringList("__penter") && symTag == 10 ? hooks : QList<SymbolAddress>();
    }
    QString sourceFileOf(quint32) override { return "fake.exe:???"; }
    const QMap<int, ClassInfo *> &classInfos() override { return classes; }

    static QStringList queries;

private:
    QList<SymbolAddress> hooks;
    QMap<int, ClassInfo *> classes;
};

QStringList FakeReader::queries;

// The driver with a scripted reader and without the detached resolve run.
class ScriptedCleaner : public BinaryPatchCleaner
{
public:
    DiaApi *openDebugInfo(QString path) override
    {
        openedPaths.append(path);
        if (throwOnOpen)
            throw Exception("cannot open the debug information");
        return new FakeReader(hooks);
    }
    void startResolveStep(QString exePath, QString nameListPath, QString dbPath,
                          QString vsCommonPath) override
    {
        resolveCalls.append(QStringList{exePath, nameListPath, dbPath, vsCommonPath});
    }

    QList<SymbolAddress> hooks;
    bool throwOnOpen = false;
    QStringList openedPaths;
    QList<QStringList> resolveCalls;
};

// The tool makes one driver per process and keeps its settings to the end; a test that makes
// several deletes each one's settings once the driver has saved them.
struct SettingsRelease
{
    ~SettingsRelease()
    {
        delete TQ::SETTINGS::Settings::instance();
        TQ::SETTINGS::Settings::setInstance(nullptr);
    }
};

struct Driver
{
    SettingsRelease release;
    ScriptedCleaner cleaner;
};

// Settings land in the test's own folders.
class DriverTest : public WorkflowTest
{
protected:
    void SetUp() override
    {
        WorkflowTest::SetUp();
        for (const char *name :
             {"HOME", "XDG_CONFIG_HOME", "APPDATA", "TQ_TRACING", "TQ_VELMORA"}) {
            QDir(dir.path()).mkpath(QString("env/") + name);
            qputenv(name, dir.filePath(QString("env/") + name).toLocal8Bit());
        }
        FakeReader::queries.clear();
    }
};

} // namespace

TEST_F(DriverTest, FailuresBeforeTheMapWriteNothing)
{
    const QString exe = prepare("sample");
    const QByteArray before = readFile(exe);
    QFile::remove(extract->nameListFile.absoluteFilePath());

    // Two hooks (no linker makes that image), none, and the workflow's own exception type
    // while the debug information is opened.
    const struct
    {
        QList<SymbolAddress> hooks;
        bool throwOnOpen;
        const char *message;
    } cases[] = {
        {{SymbolAddress(hookRva, "__penter"), SymbolAddress(hookRva + 16, "__penter")},
         false,
         "Error: exe/dll contains more than one symbol __penter()\n"},
        {{}, false, "Error: symbol __penter() was not found in executable\n"},
        {{}, true, "cannot open the debug information\n"},
    };
    for (const auto &c : cases) {
        Driver driver;
        driver.cleaner.hooks = c.hooks;
        driver.cleaner.throwOnOpen = c.throwOnOpen;
        CoutCapture out;
        EXPECT_FALSE(driver.cleaner.patchClean(exe, dbPath(), "vs"));
        EXPECT_EQ(out.text(), c.message);
        EXPECT_EQ(FakeReader::queries.join(';'), c.throwOnOpen ? "" : "__penter/10");
        FakeReader::queries.clear();
        EXPECT_TRUE(driver.cleaner.resolveCalls.isEmpty());
    }
    EXPECT_EQ(readFile(exe), before);
    EXPECT_FALSE(QFileInfo::exists(dbPath()));
    EXPECT_FALSE(QFileInfo::exists(extract->nameListFile.absoluteFilePath()));
}

TEST_F(DriverTest, MapBesideTheImageNameListInTheWorkingDirectory)
{
    QDir(dir.path()).mkdir("img");
    QDir(dir.path()).mkdir("cwd");
    const QString exe = copyImage("sample", dir.filePath("img"));
    const QHash<QString, quint32> map = [&] {
        MapExtract e(QFileInfo(dir.filePath("probe.map")));
        BinaryPatchCleaner::readMapFile(QFileInfo(dir.filePath("img/sample.map")), &e);
        return nameListRvas(readFile(e.nameListFile.absoluteFilePath()));
    }();
    QDir::setCurrent(dir.filePath("cwd"));

    Driver driver;
    ScriptedCleaner &cleaner = driver.cleaner;
    cleaner.hooks = {SymbolAddress(map.value("__penter"), "__penter")};
    CoutCapture out;
    // Relative to the working directory.
    EXPECT_TRUE(cleaner.patchClean("../img/sample.exe", dbPath(), "vs-common"));
    EXPECT_EQ(cleaner.openedPaths, QStringList(QFileInfo(exe).absoluteFilePath()));
    const QString nameList = dir.filePath("cwd/sample_tq.map");
    EXPECT_TRUE(QFileInfo::exists(nameList));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("img/sample_tq.map")));
    ASSERT_EQ(cleaner.resolveCalls.size(), 1);
    EXPECT_EQ(cleaner.resolveCalls.first(),
              (QStringList{"../img/sample.exe", nameList, dbPath(), "vs-common"}));
    EXPECT_FALSE(sortedEntries(dbPath()).isEmpty());
}

TEST(ShowMessageTest, BothOverloadsWriteOneLine)
{
    CoutCapture out;
    BinaryPatchCleaner::showMessage(QString::fromUtf8("caf\xc3\xa9"));
    BinaryPatchCleaner::showMessage(std::string("caf\xc3\xa9 two"));
    EXPECT_EQ(out.text(), QString::fromUtf8("caf\xc3\xa9\ncaf\xc3\xa9 two\n"));
}
