// The resolve mode with a scripted reader and a stand-in demangler: which entries change and to
// what, and that a failing lookup leaves the database as it was. The lookups run ahead of the
// writes on a second thread; these cases hold whether it is ahead, behind or failing.
#include "BinaryPatchCleaner.h"
#include "CleanerException.h"
#include "DbFactory.h"
#include "DiaApi.h"
#include "TestSupport.h"
#include "ProjectDb.h"
#include "Settings.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace TQ::EXTRACTORS::CPP::COMMON;
using TQ::EXTRACTORS::CPP::DIA::ClassInfo;
using TQ::EXTRACTORS::CPP::DIA::DiaApi;
using TQ::EXTRACTORS::CPP::DIA::FunctionInfo;
using TQ::EXTRACTORS::CPP::DIA::SymbolAddress;

namespace {

const QString Placeholder = QStringLiteral("not resolved yet");

struct Script
{
    quint32 failAt = 0xffffffffu; // the lookup of this address throws
    int slowLookups = 0;          // that many first lookups take 5 ms each
    std::atomic<int> lineIndexBuilds{0};
    std::mutex mutex;
    QSet<quint32> asked; // every address looked up
};

class LookupReader : public DiaApi
{
public:
    explicit LookupReader(Script &script) : script(script) {}
    QHash<quint32, const FunctionInfo *> functionInfos(const QList<quint32> &) override
    {
        return {};
    }
    const FunctionInfo *functionInfo(quint32) override { return nullptr; }
    QList<const FunctionInfo *> allFunctionInfos() override { return {}; }
    QList<SymbolAddress> findSymbols(QStringList, int) override { return {}; }
    QString sourceFileOf(quint32 address) override
    {
        {
            std::lock_guard<std::mutex> lock(script.mutex);
            script.asked.insert(address);
        }
        if (calls.fetch_add(1) < script.slowLookups)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (address == script.failAt)
            throw std::runtime_error("lookup failed");
        return QStringLiteral("src/%1.cpp").arg(address, 0, 16);
    }
    const QMap<int, ClassInfo *> &classInfos() override { return classes; }
    void buildLineIndex() override { ++script.lineIndexBuilds; }

private:
    Script &script;
    std::atomic<int> calls{0};
    QMap<int, ClassInfo *> classes;
};

class ScriptedResolver : public BinaryPatchCleaner
{
public:
    explicit ScriptedResolver(Script &script) : script(script) {}
    DiaApi *openDebugInfo(QString) override { return new LookupReader(script); }

private:
    Script &script;
};

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class ResolveTest : public ::testing::Test
{
protected:
    static constexpr int Count = 3000;

    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        // The driver reads and saves the product settings: in the test's own folders.
        for (const char *name :
             {"HOME", "XDG_CONFIG_HOME", "APPDATA", "TQ_TRACING", "TQ_VELMORA"}) {
            ASSERT_TRUE(QDir(dir.path()).mkpath(QString("env/") + name));
            qputenv(name, dir.filePath(QString("env/") + name).toLocal8Bit());
        }
    }

    // A fresh database and name list, and the demangler stand-in.
    void prepare()
    {
        QFile::remove(dbPath());
        // The demangler stand-in appends "_u" to every name of the list, and then writes lines
        // of the same form to its error output, which the resolve mode must not read.
        ASSERT_TRUE(QDir(dir.path()).mkpath("vs/bin"));
        const QString undname = dir.filePath("vs/bin/undname.exe");
        QFile script(undname);
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nwhile read name rva; do printf '%s_u %s\\r\\n' \"$name\" "
                     "\"$rva\"; done < \"$1\"\n"
                     "while read name rva; do printf '%s_err %s\\r\\n' \"$name\" \"$rva\" >&2; "
                     "done < \"$1\"\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        // Four kinds of entry in turn: unresolved and named by the demangler, unresolved and
        // unknown to it, only the source file unresolved, and resolved.
        QFile names(nameList());
        ASSERT_TRUE(names.open(QIODevice::WriteOnly));
        std::unique_ptr<ProjectDb> db(DbFactory::createProjectDb(dbPath()));
        db->clearFunctions();
        for (int i = 0; i < Count; ++i) {
            const quint32 address = address0 + quint32(i) * 16;
            switch (i % 4) {
            case 0:
                names.write(QStringLiteral("fn_%1 %1\n").arg(address, 0, 16).toLatin1());
                db->addFunction(PatchedFunction(address, Placeholder, Placeholder, quint64(i)));
                break;
            case 1:
                db->addFunction(PatchedFunction(address, Placeholder, Placeholder, quint64(i)));
                break;
            case 2:
                names.write(QStringLiteral("fn_%1 %1\n").arg(address, 0, 16).toLatin1());
                db->addFunction(PatchedFunction(address, "old name", Placeholder, quint64(i)));
                break;
            default:
                db->addFunction(PatchedFunction(address, "kept", "kept.cpp", quint64(i)));
            }
        }
        db->commit();
    }

    QString dbPath() const { return dir.filePath("project.db"); }
    QString nameList() const { return dir.filePath("image_tq.map"); }
    // One driver per run, as in the tool; its settings go once it has saved them.
    struct SettingsRelease
    {
        ~SettingsRelease()
        {
            delete TQ::SETTINGS::Settings::instance();
            TQ::SETTINGS::Settings::setInstance(nullptr);
        }
    };
    void resolve(Script &script)
    {
        SettingsRelease release;
        ScriptedResolver resolver(script);
        resolver.resolveNames(dir.filePath("image.exe"), nameList(), dbPath(), dir.filePath("vs"));
    }

    QTemporaryDir dir;
    const quint32 address0 = 0x1000;
};

TEST_F(ResolveTest, PlaceholdersReplacedFromTheDemanglerAndTheReaderOthersKept)
{
    // Lookups quick and slow; a failing lookup of an address that no entry has changes nothing.
    struct Case
    {
        int slowLookups;
        quint32 failAt;
    };
    for (const Case c : {Case{0, 0xffffffffu}, Case{20, 0xffffffffu}, Case{0, 0}}) {
        SCOPED_TRACE(c.slowLookups);
        SCOPED_TRACE(c.failAt);
        prepare();
        Script script;
        script.slowLookups = c.slowLookups;
        script.failAt = c.failAt;
        resolve(script);

        std::unique_ptr<ProjectDb> db(DbFactory::createProjectDb(dbPath()));
        const QSet<PatchedFunction> all = db->functions();
        ASSERT_EQ(all.size(), Count);
        for (int i = 0; i < Count; ++i) {
            const quint32 address = address0 + quint32(i) * 16;
            const auto it = all.find(PatchedFunction(address));
            ASSERT_NE(it, all.end());
            EXPECT_EQ(it->oldBytes, quint64(i));
            const QString hex = QString::number(address, 16);
            switch (i % 4) {
            case 0:
            case 2:
                EXPECT_EQ(it->name, "fn_" + hex + "_u") << i;
                EXPECT_EQ(it->sourceFile, "src/" + hex + ".cpp") << i;
                break;
            case 1:
                EXPECT_EQ(it->name, "???") << i;
                EXPECT_EQ(it->sourceFile, "src/" + hex + ".cpp") << i;
                break;
            default:
                EXPECT_EQ(it->name, "kept") << i;
                EXPECT_EQ(it->sourceFile, "kept.cpp") << i;
                EXPECT_FALSE(script.asked.contains(address)) << i;
            }
        }
        // The entries' own lookups and no other; the line index built once, ahead of them.
        EXPECT_EQ(script.asked.size(), Count / 4 * 3);
        EXPECT_EQ(script.lineIndexBuilds, 1);
    }
}

TEST_F(ResolveTest, FailingLookupGoesOnAndTheDatabaseStaysAsItWas)
{
    // Early, in the middle and at the last entry that needs a lookup.
    for (int failing : {1, Count / 2, Count - 2}) {
        SCOPED_TRACE(failing);
        prepare();
        const QByteArray before = fileBytes(dbPath());
        Script script;
        script.failAt = address0 + quint32(failing) * 16;
        script.slowLookups = failing == 1 ? 0 : 10;
        EXPECT_THROW(resolve(script), std::runtime_error);
        EXPECT_EQ(fileBytes(dbPath()), before);
    }
}

} // namespace

namespace {

class UnreadableResolver : public BinaryPatchCleaner
{
public:
    DiaApi *openDebugInfo(QString) override { throw Exception("no debug information"); }
};

} // namespace

TEST_F(ResolveTest, DriversOwnExceptionWhileOpeningIsReportedAndTheRunSucceeds)
{
    prepare();
    const QByteArray before = fileBytes(dbPath());
    QByteArrayList args{"tqt_patchclean.exe", "--resolve",       "image.exe",
                        nameList().toUtf8(),  dbPath().toUtf8(), dir.filePath("vs").toUtf8()};
    std::vector<char *> argv;
    for (QByteArray &arg : args)
        argv.push_back(arg.data());
    int argc = int(argv.size());
    QCoreApplication app(argc, argv.data());
    SettingsRelease release;
    UnreadableResolver resolver;
    TestSupport::CoutCapture out;
    EXPECT_TRUE(resolver.run()); // main's exit code 0
    EXPECT_EQ(out.text(), "no debug information\n");
    EXPECT_EQ(fileBytes(dbPath()), before);
}
