// Start-up of DIA, the opening of modules and the routing of addresses to them.
#include "DiaFactoryWrapper.h"
#include "Exception.h"
#include "FakeDiaFixture.h"

#include <thread>

using namespace DiaTest;

TEST_F(FakeDiaTest, InitializerObtainsTheFactoryOrThrowsAndLeavesComAsItFoundIt)
{
    enum Setup { MainThread, NewThread, Unregistered, NullFactory };
    const struct
    {
        Setup setup;
        QString outcome;
        QStringList lines;
    } cases[] = {
        // clang-format off
        // The static Initializer holds COM on the main thread: a second one sees S_FALSE.
        {MainThread, "DiaFactoryWrapper could not initialize, COM held",
         {"Initializer: CoInitialize failed"}},
        {NewThread, "factory, COM released", {}},
        {Unregistered, "DiaFactoryWrapper could not initialize, COM released",
         {"Initializer: CoGetClassObject failed"}},
        {NullFactory, "DiaFactoryWrapper could not initialize, COM released", {}},
        // clang-format on
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.setup);
        FakeDia::script().queryInterfaceGivesNull = c.setup == NullFactory;
        if (c.setup == Unregistered)
            FakeDia::unregisterServer();
        QString outcome;
        auto run = [&outcome] {
            try {
                DiaFactoryWrapper::Initializer initializer;
                outcome = initializer.factory ? "factory" : "no factory";
            } catch (const Exception &e) {
                outcome = e.what();
            }
            outcome += CoInitialize(nullptr) == S_OK ? ", COM released" : ", COM held";
            CoUninitialize();
        };
        CoutCapture out;
        if (c.setup == MainThread)
            run();
        else
            std::thread(run).join();
        FakeDia::registerServer();
        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(out.lines(), c.lines);
        EXPECT_NE(DiaFactoryWrapper::classFactory(), nullptr);
        EXPECT_EQ(FakeDia::liveObjects(), m_baseline);
    }
}

TEST(ModInfo, NameIsTheLastPartAfterABackslash)
{
    const QStringList cases[] = {{"C:\\dir\\prog.exe", "prog.exe"},
                                 {"C:/dir/prog.exe", "C:/dir/prog.exe"},
                                 {"C:\\dir\\", ""},
                                 {"a\\b/c\\D.DLL", "D.DLL"}};
    for (const QStringList &c : cases)
        EXPECT_EQ(ModInfo(0, c[0]).name, c[1]) << c[0].toStdString();
}

TEST_F(FakeDiaTest, OpeningStopsAtTheFirstFailureAndTheModuleAnswersWithFallbacks)
{
    const QString load = "loadDataForExe " + ProgPath;
    const struct
    {
        QString fail; // "nothing": no program database for the image
        quint32 loadAddress;
        QStringList lines;
        QStringList calls;
    } cases[] = {
        // clang-format off
        {"", 0, {}, {load}},
        {"", 0x400000, {}, {load, "put_loadAddress 0x400000"}},
        {"nothing", 0, {}, {load}},
        {"CreateInstance", 0x1000, {"loadDebugInfos: CreateInstance failed"}, {}},
        {"loadDataForExe", 0x1000, {}, {load}},
        {"openSession", 0x1000, {"loadDebugInfos: openSession failed"}, {load}},
        {"put_loadAddress", 0x1000, {"loadDebugInfos: put_loadAddress failed"},
         {load, "put_loadAddress 0x1000"}},
        {"get_globalScope", 0x1000, {"loadDebugInfos: get_globalScope failed"},
         {load, "put_loadAddress 0x1000"}},
        {"get_globalScope", 0, {"loadDebugInfos: get_globalScope failed"}, {load}},
        // clang-format on
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fail.toStdString());
        FakeDia::reset();
        if (c.fail != "nothing") {
            FakeDia::define(ProgPath, {"id=1;tag=PublicSymbol;name=__penter;rva=0x10",
                                       "id=2;line=3;rva=0x10;file=C:\\src\\a.cpp"});
            edit({c.fail});
        }
        CoutCapture out;
        open(c.loadAddress);
        EXPECT_EQ(out.lines(), c.lines);
        EXPECT_EQ(FakeDia::script().calls, c.calls);
        EXPECT_EQ(module()->valid, c.fail.isEmpty());
        FakeDia::script().fail.clear();
        if (!c.fail.isEmpty()) {
            out.clear();
            EXPECT_TRUE(m_dia->findSymbols({"__penter"}, SymTagPublicSymbol).isEmpty());
            EXPECT_EQ(m_dia->sourceFileOf(c.loadAddress + 0x10), "prog.exe:???");
            EXPECT_EQ(m_dia->functionInfo(c.loadAddress + 0x10)->name,
                      QString("prog.exe:0x%1").arg(c.loadAddress + 0x10, 8, 16, QChar('0')));
            EXPECT_TRUE(m_dia->allFunctionInfos().isEmpty());
            m_dia->printSymbolTag(c.loadAddress + 0x10);
            EXPECT_TRUE(out.lines().isEmpty());
        }
        close();
    }
}

TEST_F(FakeDiaTest, AddressesGoToTheModuleBelowThem)
{
    FakeDia::define("C:\\a\\low.dll", {});
    FakeDia::define("C:\\b\\high.dll", {});
    // Given out of order: the reader sorts by load address.
    open({ModInfo(0x5000, "C:\\b\\high.dll"), ModInfo(0x1000, "C:\\a\\low.dll")});
    CoutCapture out;
    const QList<QPair<quint32, QString>> cases = {{0x0fff, "unresolved file"},
                                                  {0x1000, "low.dll"},
                                                  {0x4fff, "low.dll"},
                                                  {0x5000, "high.dll"},
                                                  {0xffffffff, "high.dll"}};
    for (const auto &c : cases) {
        EXPECT_EQ(m_dia->sourceFileOf(c.first), c.second + ":???");
        EXPECT_EQ(m_dia->functionInfo(c.first)->name,
                  c.second + QString(":0x%1").arg(c.first, 8, 16, QChar('0')));
    }
    // Each readable image that holds no function there says so; the null module says nothing.
    EXPECT_EQ(out.lines(), QVector<QString>(4, "error: could not find symbol").toList());
    const auto infos = m_dia->functionInfos({0x4fff, 0x1000, 0x4fff});
    EXPECT_EQ(infos.keys().size(), 2);
    EXPECT_EQ(infos.value(0x4fff), m_dia->functionInfo(0x4fff));

    // Without modules the null module answers everything.
    out.clear();
    open(QList<ModInfo>());
    EXPECT_TRUE(m_dia->allFunctionInfos().isEmpty());
    EXPECT_TRUE(m_dia->findSymbols({"*"}, SymTagPublicSymbol).isEmpty());
    EXPECT_EQ(describe(m_dia->functionInfo(0xABCDEF)),
              "unresolved file:0x00abcdef | unresolved file:???:0 | @abcdef 0-0 | kind 0 adjust 0 "
              "| -");
    m_dia->printSymbolTag(0x10);
    EXPECT_TRUE(m_dia->classInfos().isEmpty());
    EXPECT_TRUE(out.lines().isEmpty());
}
