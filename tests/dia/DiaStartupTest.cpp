#include "DiaFactoryWrapper.h"
#include "Exception.h"
#include "Factory.h"
#include "FakeDiaFixture.h"

#include <gmock/gmock.h>

#include <thread>

using namespace DiaTest;
using ::testing::ElementsAre;

namespace {

struct InitializerOutcome
{
    bool threw = false;
    QString what;
    bool gotFactory = false;
    HRESULT comAfterwards = E_FAIL;
};

// COM state is per thread: a fresh thread starts with COM not yet initialised.
InitializerOutcome runInitializerOnNewThread()
{
    InitializerOutcome outcome;
    std::thread worker([&outcome] {
        try {
            DiaFactoryWrapper::Initializer initializer;
            outcome.gotFactory = initializer.factory != nullptr;
        } catch (const Exception &e) {
            outcome.threw = true;
            outcome.what = QString::fromLatin1(e.what());
        }
        // Whatever happened, the Initializer must have left COM as it found it.
        outcome.comAfterwards = CoInitialize(nullptr);
        CoUninitialize();
    });
    worker.join();
    return outcome;
}

} // namespace

TEST(DiaStartup, FactoryObtainedBeforeMain)
{
    EXPECT_NE(DiaFactoryWrapper::classFactory(), nullptr);
}

TEST(DiaStartup, ComAlreadyInitialisedCountsAsFailure)
{
    FakeDia::reset();
    CoutCapture out;
    try {
        DiaFactoryWrapper::Initializer second;
        FAIL() << "a second Initializer on the main thread must not succeed";
    } catch (const Exception &e) {
        EXPECT_STREQ(e.what(), "DiaFactoryWrapper could not initialize");
    }
    EXPECT_THAT(out.lines(), ElementsAre("Initializer: CoInitialize failed"));
    // The process-wide factory is untouched.
    EXPECT_NE(DiaFactoryWrapper::classFactory(), nullptr);
}

TEST(DiaStartup, InitializerOnFreshThreadObtainsAndReleasesFactory)
{
    FakeDia::reset();
    const int before = FakeDia::liveObjects();
    CoutCapture out;
    const InitializerOutcome outcome = runInitializerOnNewThread();
    EXPECT_FALSE(outcome.threw);
    EXPECT_TRUE(outcome.gotFactory);
    EXPECT_EQ(outcome.comAfterwards, S_OK);
    EXPECT_TRUE(out.lines().isEmpty());
    EXPECT_EQ(FakeDia::liveObjects(), before);
}

TEST(DiaStartup, UnregisteredClassFails)
{
    FakeDia::reset();
    FakeDia::unregisterServer();
    CoutCapture out;
    const InitializerOutcome outcome = runInitializerOnNewThread();
    FakeDia::registerServer();
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(outcome.what, "DiaFactoryWrapper could not initialize");
    EXPECT_EQ(outcome.comAfterwards, S_OK);
    EXPECT_THAT(out.lines(), ElementsAre("Initializer: CoGetClassObject failed"));
}

TEST(DiaStartup, NullFactoryWithSuccessFailsWithoutMessage)
{
    FakeDia::reset();
    FakeDia::script().queryInterfaceGivesNull = true;
    CoutCapture out;
    const InitializerOutcome outcome = runInitializerOnNewThread();
    FakeDia::reset();
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(outcome.what, "DiaFactoryWrapper could not initialize");
    EXPECT_TRUE(out.lines().isEmpty());
}

TEST(DiaException, KeepsItsMessage)
{
    std::string text = "first";
    const Exception e(text.c_str());
    text = "changed";
    EXPECT_STREQ(e.what(), "first");
    const std::exception &base = e;
    EXPECT_STREQ(base.what(), "first");
    EXPECT_STREQ(Exception(nullptr).what(), "");
}

namespace {

struct Widget
{
    Widget(int a, const QString &b) : a(a), b(b) {}
    virtual ~Widget() = default;
    int a;
    QString b;
};

struct SpecialWidget : Widget
{
    SpecialWidget(int a, const QString &b) : Widget(a * 10, b + "!") {}
};

class SpecialFactory : public TQ::Factory<Widget, int, const QString &>
{
public:
    Widget *create(int a, const QString &b) override { return new SpecialWidget(a, b); }
};

struct Plain
{
    Plain() = default;
    int value = 7;
};

} // namespace

TEST(Factory, DefaultEntryBuildsTheProductAndTheLastEntryWins)
{
    auto &registry = TQ::FactoryRegistry<Widget, int, const QString &>::instance();
    ASSERT_EQ(registry.count(), 1);
    std::unique_ptr<Widget> plain(registry.last()->create(2, "x"));
    EXPECT_EQ(plain->a, 2);
    EXPECT_EQ(plain->b, "x");

    SpecialFactory special;
    registry.add(&special, false);
    EXPECT_EQ(registry.count(), 2);
    std::unique_ptr<Widget> made(registry.last()->create(2, "x"));
    EXPECT_EQ(made->a, 20);
    EXPECT_EQ(made->b, "x!");

    EXPECT_TRUE(registry.remove(&special));
    EXPECT_FALSE(registry.remove(&special));
    std::unique_ptr<Widget> again(registry.last()->create(3, "y"));
    EXPECT_EQ(again->a, 3);
}

TEST(Factory, UnusedParametersAreVoid)
{
    static_assert(std::is_base_of<TQ::FactoryBase<Plain, void, void, void, void, void, void>,
                                  TQ::Factory<Plain>>::value,
                  "Factory derives from its FactoryBase");
    std::unique_ptr<Plain> p(TQ::FactoryRegistry<Plain>::instance().last()->create());
    EXPECT_EQ(p->value, 7);
    static_assert(
        std::is_same<
            decltype(&TQ::Factory<DiaModule, ModInfo const &, Dia *, void, void, void,
                                  void>::create),
            DiaModule *(TQ::FactoryDetail::Creator<
                        TQ::FactoryBase<DiaModule, ModInfo const &, Dia *>, DiaModule,
                        TQ::FactoryDetail::TypeList<ModInfo const &, Dia *>>::*)(ModInfo const &,
                                                                                 Dia *)>::value,
        "the reader's factory creates a DiaModule from a ModInfo and its Dia");
}

TEST(ModInfo, NameIsTheLastPartAfterABackslash)
{
    EXPECT_EQ(ModInfo(0, "C:\\dir\\prog.exe").name, "prog.exe");
    EXPECT_EQ(ModInfo(0, "C:/dir/prog.exe").name, "C:/dir/prog.exe");
    EXPECT_EQ(ModInfo(0, "prog.exe").name, "prog.exe");
    EXPECT_EQ(ModInfo(0, "C:\\dir\\").name, "");
    EXPECT_EQ(ModInfo(0, "").name, "");
    EXPECT_EQ(ModInfo(0, "a\\b/c\\D.DLL").name, "D.DLL");
    const ModInfo info(0x400000, "x\\y.exe");
    EXPECT_EQ(info.loadAddress, 0x400000u);
    EXPECT_EQ(info.path, "x\\y.exe");
}

TEST_F(FakeDiaTest, ModuleWithLoadAddressZeroNeverSetsIt)
{
    image();
    CoutCapture out;
    open(0);
    EXPECT_TRUE(module()->valid);
    EXPECT_TRUE(out.lines().isEmpty());
    EXPECT_THAT(FakeDia::script().calls, ElementsAre("loadDataForExe " + ProgPath));
}

TEST_F(FakeDiaTest, ModuleWithLoadAddressSetsItAfterOpeningTheSession)
{
    image();
    open(0x400000);
    EXPECT_TRUE(module()->valid);
    EXPECT_THAT(FakeDia::script().calls,
                ElementsAre("loadDataForExe " + ProgPath, "put_loadAddress 0x400000"));
}

TEST_F(FakeDiaTest, EachFailingStepOfOpeningIsReportedAndLeavesTheModuleInvalid)
{
    struct Case
    {
        const char *failing;
        quint32 loadAddress;
        QStringList lines;
        int calls;
    };
    const QList<Case> cases = {
        {"CreateInstance", 0x1000, {"loadDebugInfos: CreateInstance failed"}, 0},
        {"loadDataForExe", 0x1000, {}, 1},
        {"openSession", 0x1000, {"loadDebugInfos: openSession failed"}, 1},
        {"put_loadAddress", 0x1000, {"loadDebugInfos: put_loadAddress failed"}, 2},
        {"get_globalScope", 0x1000, {"loadDebugInfos: get_globalScope failed"}, 2},
        {"get_globalScope", 0, {"loadDebugInfos: get_globalScope failed"}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.failing);
        FakeDia::reset();
        image();
        FakeDia::script().fail.insert(c.failing, E_FAIL);
        CoutCapture out;
        open(c.loadAddress);
        EXPECT_FALSE(module()->valid);
        EXPECT_EQ(out.lines(), c.lines);
        EXPECT_EQ(FakeDia::script().calls.size(), c.calls);
        // The module stays and answers with fallbacks.
        ASSERT_EQ(m_dia->modules.size(), 1);
        EXPECT_EQ(m_dia->sourceFileOf(c.loadAddress + 4), "prog.exe:???");
        m_dia.reset();
        EXPECT_EQ(FakeDia::liveObjects(), m_baseline);
    }
}

TEST_F(FakeDiaTest, MissingProgramDatabasePrintsNothing)
{
    CoutCapture out;
    open(0, "C:\\nowhere\\other.exe");
    EXPECT_FALSE(module()->valid);
    EXPECT_TRUE(m_dia->findSymbols(QStringList("__penter"), 10).isEmpty());
    EXPECT_EQ(m_dia->sourceFileOf(0x1000), "other.exe:???");
    const FunctionInfo *f = m_dia->functionInfo(0x1234);
    EXPECT_EQ(f->name, "other.exe:0x00001234");
    EXPECT_TRUE(m_dia->allFunctionInfos().isEmpty());
    EXPECT_TRUE(out.lines().isEmpty());
}

TEST_F(FakeDiaTest, AddressesGoToTheModuleBelowThem)
{
    image("C:\\a\\low.dll");
    image("C:\\b\\high.dll");
    // Given out of order: the reader sorts by load address.
    open(QList<ModInfo>() << ModInfo(0x5000, "C:\\b\\high.dll")
                          << ModInfo(0x1000, "C:\\a\\low.dll"));
    ASSERT_EQ(m_dia->modules.size(), 2);
    EXPECT_EQ(m_dia->modules.at(0)->modInfo.name, "low.dll");
    EXPECT_EQ(m_dia->modules.at(1)->modInfo.name, "high.dll");
    EXPECT_EQ(m_dia->modInfos.at(0).name, "high.dll");

    EXPECT_EQ(m_dia->moduleOf(0x0fff), Dia::nullModule());
    EXPECT_EQ(m_dia->moduleOf(0x1000), m_dia->modules.at(0));
    EXPECT_EQ(m_dia->moduleOf(0x4fff), m_dia->modules.at(0));
    EXPECT_EQ(m_dia->moduleOf(0x5000), m_dia->modules.at(1));
    EXPECT_EQ(m_dia->moduleOf(0xffffffff), m_dia->modules.at(1));

    CoutCapture out;
    EXPECT_EQ(m_dia->sourceFileOf(0x0fff), "unresolved file:???");
    EXPECT_EQ(m_dia->sourceFileOf(0x4fff), "low.dll:???");
    EXPECT_EQ(m_dia->sourceFileOf(0x5000), "high.dll:???");
    EXPECT_EQ(m_dia->functionInfo(0x4fff)->name, "low.dll:0x00004fff");
    EXPECT_EQ(m_dia->functionInfo(0x0100)->name, "unresolved file:0x00000100");
    // Both images are readable but hold no function there; the null module says nothing.
    EXPECT_THAT(out.lines(), ElementsAre("error: could not find symbol"));
}

TEST_F(FakeDiaTest, WithoutModulesEverythingFallsBack)
{
    CoutCapture out;
    open(QList<ModInfo>());
    EXPECT_TRUE(m_dia->modules.isEmpty());
    EXPECT_TRUE(m_dia->allFunctionInfos().isEmpty());
    EXPECT_TRUE(m_dia->findSymbols(QStringList("*"), 10).isEmpty());
    EXPECT_EQ(m_dia->sourceFileOf(0x1234), "unresolved file:???");
    const FunctionInfo *f = m_dia->functionInfo(0xABCDEF);
    EXPECT_EQ(f->name, "unresolved file:0x00abcdef");
    EXPECT_EQ(f->sourceFile, "unresolved file:???");
    EXPECT_EQ(f->startAddress, 0xABCDEFu);
    EXPECT_EQ(f->line, 0u);
    EXPECT_EQ(f->classInfo, nullptr);
    m_dia->printSymbolTag(0x10);
    EXPECT_TRUE(m_dia->classInfos().isEmpty());
    EXPECT_TRUE(out.lines().isEmpty());
}

TEST_F(FakeDiaTest, FunctionInfosKeepsOneEntryPerAddress)
{
    FakeDia::Image &img = image();
    FakeDia::addFunction(img, 10, "f", 0x1000, 0x10, 0);
    FakeDia::addFunction(img, 11, "g", 0x2000, 0x10, 0);
    open();
    CoutCapture out;
    const QHash<quint32, const FunctionInfo *> infos =
        m_dia->functionInfos(QList<quint32>() << 0x2000 << 0x1000 << 0x2000);
    ASSERT_EQ(infos.size(), 2);
    EXPECT_EQ(infos.value(0x1000), m_dia->functionInfo(0x1000));
    EXPECT_EQ(infos.value(0x2000)->name, "g");
}
