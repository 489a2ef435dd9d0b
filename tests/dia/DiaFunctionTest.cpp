#include "FakeDiaFixture.h"

#include <gmock/gmock.h>

using namespace DiaTest;
using ::testing::ElementsAre;

namespace {

// prog.exe: a free function, a method of class D (this-call, this adjusted by 4), a function
// whose symbol lacks everything, and line records for each.
class FunctionRecords : public FakeDiaTest
{
protected:
    void SetUp() override
    {
        FakeDiaTest::SetUp();
        FakeDia::Image &img = image();
        FakeDia::Symbol &free = FakeDia::addFunction(img, 10, "?free@@YAHH@Z", 0x1000, 0x20, 11);
        free.hasUndecorated = true;
        free.undecorated = "int __cdecl free(int)";
        FakeDia::addSymbol(img, 11, SymTagFunctionType, "").callingConvention = CV_CALL_NEAR_C;

        FakeDia::Symbol &run = FakeDia::addFunction(img, 20, "D::run", 0x2000, 0x10, 21);
        run.hasUndecorated = true;
        run.undecorated = "public: void __thiscall D::run(void)";
        FakeDia::Symbol &runType = FakeDia::addSymbol(img, 21, SymTagFunctionType, "");
        runType.callingConvention = CV_CALL_THISCALL;
        runType.hasClassParent = true;
        runType.classParentId = 30;
        runType.thisAdjust = 4;
        FakeDia::Symbol &d = FakeDia::addSymbol(img, 30, SymTagUDT, "D");
        d.length = 8;
        d.children << 31;
        FakeDia::addSymbol(img, 31, SymTagFunction, "D::run");

        FakeDia::addLine(img, 0x1000, 3, 10, "C:\\src\\free.cpp");
        FakeDia::addLine(img, 0x1003, 10, 11, "C:\\src\\free.cpp");
        FakeDia::addLine(img, 0x100d, 0x13, 9, "C:\\src\\free.cpp");
        FakeDia::addLine(img, 0x2000, 0x10, 40, "C:\\src\\d.cpp");
    }

    FakeDia::Symbol &symbol(DWORD id) { return FakeDia::script().images[ProgPath].symbols[id]; }
};

} // namespace

TEST_F(FunctionRecords, RecordOfAFreeFunction)
{
    open(0x400000);
    CoutCapture out;
    const FunctionInfo *f = m_dia->functionInfo(0x401000);
    EXPECT_EQ(f->address, 0x401000u);
    EXPECT_EQ(f->name, "int __cdecl free(int)");
    EXPECT_EQ(f->sourceFile, "C:\\src\\free.cpp");
    EXPECT_EQ(f->line, 10u);
    EXPECT_EQ(f->startAddress, 0x401000u);
    // First and last record in enumeration order, not minimum and maximum.
    EXPECT_EQ(f->firstLine, 10u);
    EXPECT_EQ(f->lastLine, 9u);
    EXPECT_EQ(f->methodKind, quint32(NotAMethod));
    EXPECT_EQ(f->thisAdjust, 0);
    EXPECT_EQ(f->classInfo, nullptr);
    EXPECT_TRUE(out.lines().isEmpty());
}

TEST_F(FunctionRecords, RecordOfAMethod)
{
    open(0);
    const FunctionInfo *f = m_dia->functionInfo(0x2000);
    EXPECT_EQ(f->name, "public: void __thiscall D::run(void)");
    EXPECT_EQ(f->methodKind, quint32(OrdinaryMethod));
    EXPECT_EQ(f->thisAdjust, 4);
    ASSERT_NE(f->classInfo, nullptr);
    EXPECT_EQ(f->classInfo->name, "D");
    EXPECT_EQ(f->classInfo->size, 8u);
    EXPECT_EQ(f->classInfo->methodNames, QSet<QString>{"run"});
    EXPECT_EQ(m_dia->classInfos().value(int(f->classInfo->id)), f->classInfo);
}

TEST_F(FunctionRecords, CachedPerAddressAndInnerAddressesShareTheFunction)
{
    open(0x400000);
    const FunctionInfo *first = m_dia->functionInfo(0x401000);
    // The cache answers, whatever the data source would say now.
    symbol(10).undecorated = "changed";
    EXPECT_EQ(m_dia->functionInfo(0x401000), first);
    EXPECT_EQ(first->name, "int __cdecl free(int)");

    const FunctionInfo *inner = m_dia->functionInfo(0x401005);
    EXPECT_NE(inner, first);
    EXPECT_EQ(inner->address, 0x401005u);
    EXPECT_EQ(inner->line, 11u);
    EXPECT_EQ(inner->startAddress, first->startAddress);
    EXPECT_EQ(inner->firstLine, first->firstLine);
    EXPECT_EQ(inner->lastLine, first->lastLine);
    EXPECT_EQ(module()->functionCache.size(), 2);
    EXPECT_TRUE(module()->functionCache.contains(0x1005));
    // Pointers stay valid while the cache grows.
    for (quint32 a = 0x401000; a < 0x401020; ++a)
        m_dia->functionInfo(a);
    EXPECT_EQ(first->address, 0x401000u);
    EXPECT_EQ(m_dia->functionInfo(0x401000), first);
}

TEST_F(FunctionRecords, NoFunctionSymbolKeepsTheSourceLocation)
{
    FakeDia::addLine(image(), 0x3000, 4, 77, "C:\\src\\asm.s");
    open(0);
    CoutCapture out;
    const FunctionInfo *f = m_dia->functionInfo(0x3002);
    EXPECT_THAT(out.lines(), ElementsAre("error: could not find symbol"));
    EXPECT_EQ(f->name, "prog.exe:0x00003002");
    EXPECT_EQ(f->sourceFile, "C:\\src\\asm.s");
    EXPECT_EQ(f->line, 77u);
    EXPECT_EQ(f->startAddress, 0x3002u);
    EXPECT_EQ(f->firstLine, 0u);
    EXPECT_EQ(f->lastLine, 0u);
}

TEST_F(FunctionRecords, DisplayNameFallsBackStepByStep)
{
    symbol(10).hasUndecorated = false;
    open(0);
    EXPECT_EQ(m_dia->functionInfo(0x1000)->name, "?free@@YAHH@Z");

    symbol(10).fail.insert("get_name", E_FAIL);
    CoutCapture out;
    EXPECT_EQ(m_dia->functionInfo(0x1001)->name, "prog.exe:0x00001001");
    EXPECT_THAT(out.lines(), ElementsAre("error: get_name"));

    out.clear();
    symbol(20).fail.insert("get_name", E_FAIL);
    symbol(20).fail.insert("get_undecoratedName", E_FAIL);
    EXPECT_EQ(m_dia->functionInfo(0x2000)->name, "prog.exe:0x00002000");
    EXPECT_THAT(out.lines(), ElementsAre("error: get_name"));

    // An undecorated name is preferred even when the plain name cannot be read.
    symbol(20).fail.remove("get_undecoratedName");
    EXPECT_EQ(m_dia->functionInfo(0x2001)->name, "public: void __thiscall D::run(void)");
}

TEST_F(FunctionRecords, EmptyNamesFallBackToo)
{
    symbol(10).undecorated = "";
    symbol(20).undecorated = "";
    symbol(20).name = "";
    open(0);
    EXPECT_EQ(m_dia->functionInfo(0x1000)->name, "?free@@YAHH@Z");
    EXPECT_EQ(m_dia->functionInfo(0x2000)->name, "prog.exe:0x00002000");
}

TEST_F(FunctionRecords, DisplayNamesAreMadePrintable)
{
    symbol(10).undecorated = QString::fromUtf8("  int\tfree(\xC3\xA9)  x\n\ny   ") +
                             QString::fromUtf16(u"\U0001F600") + "z ";
    open(0);
    EXPECT_EQ(m_dia->functionInfo(0x1000)->name, "int_free(_) x__y _z");
    EXPECT_EQ(DiaModule::sanitizedName(QString::fromLatin1("a\x7f"
                                                           "b\x1f"
                                                           "c~")),
              "a_b_c~");
    EXPECT_EQ(DiaModule::sanitizedName("   "), "");
}

TEST_F(FunctionRecords, LineRangeFailures)
{
    open(0);
    CoutCapture out;
    symbol(10).fail.insert("get_relativeVirtualAddress", E_FAIL);
    const FunctionInfo *a = m_dia->functionInfo(0x1004);
    EXPECT_THAT(out.lines(), ElementsAre("error: get start addr of function"));
    EXPECT_EQ(a->startAddress, 0x1004u);
    EXPECT_EQ(a->firstLine, 0u);
    EXPECT_EQ(a->name, "int __cdecl free(int)");

    out.clear();
    symbol(10).fail.clear();
    symbol(10).fail.insert("get_length", E_FAIL);
    const FunctionInfo *b = m_dia->functionInfo(0x1005);
    EXPECT_THAT(out.lines(), ElementsAre("error: get length of function"));
    EXPECT_EQ(b->startAddress, 0x1000u);
    EXPECT_EQ(b->firstLine, 0u);

    out.clear();
    symbol(10).fail.clear();
    FakeDia::script().fail.insert("findLinesByRVA", E_FAIL);
    const FunctionInfo *c = m_dia->functionInfo(0x1006);
    // Once for the source location, once for the line range.
    EXPECT_THAT(out.lines(), ElementsAre("error: findLinesByRVA", "error: findLinesByRVA"));
    EXPECT_EQ(c->sourceFile, "prog.exe:???");
    EXPECT_EQ(c->lastLine, 0u);
}

TEST_F(FunctionRecords, LineEnumerationFailuresKeepWhatWasRead)
{
    open(0);
    CoutCapture out;
    // Enumerator calls: the source location's first, then the range's second.
    FakeDia::script().nextFail.insert("lines", qMakePair(1, E_FAIL));
    const FunctionInfo *a = m_dia->functionInfo(0x1000);
    EXPECT_THAT(out.lines(), ElementsAre("error: could not get line"));
    EXPECT_EQ(a->firstLine, 10u);
    EXPECT_EQ(a->lastLine, 10u);
    EXPECT_EQ(a->line, 10u);

    out.clear();
    FakeDia::script().nextFail.clear();
    FakeDia::script().images[ProgPath].lines[2].fail.insert("get_lineNumber", E_FAIL);
    const FunctionInfo *b = m_dia->functionInfo(0x1001);
    EXPECT_THAT(out.lines(), ElementsAre("error: could not get line number"));
    EXPECT_EQ(b->firstLine, 10u);
    EXPECT_EQ(b->lastLine, 11u);
}

TEST_F(FunctionRecords, LineReadButFileNotKeepsTheLine)
{
    FakeDia::script().images[ProgPath].lines[0].fail.insert("get_fileName", E_FAIL);
    open(0);
    CoutCapture out;
    const FunctionInfo *f = m_dia->functionInfo(0x1000);
    EXPECT_THAT(out.lines(), ElementsAre("error: could not get sourcefile functionName"));
    EXPECT_EQ(f->line, 10u);
    EXPECT_EQ(f->sourceFile, "prog.exe:???");
}

TEST_F(FunctionRecords, CallInfoFailures)
{
    open(0);
    CoutCapture out;
    symbol(20).fail.insert("get_type", E_FAIL);
    const FunctionInfo *a = m_dia->functionInfo(0x2000);
    EXPECT_THAT(out.lines(), ElementsAre("error: could not resolve function type"));
    EXPECT_EQ(a->classInfo, nullptr);
    EXPECT_EQ(a->methodKind, quint32(NotAMethod));

    out.clear();
    symbol(20).fail.clear();
    symbol(21).fail.insert("get_callingConvention", E_FAIL);
    const FunctionInfo *b = m_dia->functionInfo(0x2001);
    EXPECT_THAT(out.lines(), ElementsAre("error: could not resolve calling convention"));
    EXPECT_EQ(b->classInfo, nullptr);

    out.clear();
    symbol(21).fail.clear();
    symbol(21).fail.insert("get_thisAdjust", E_FAIL);
    const FunctionInfo *c = m_dia->functionInfo(0x2002);
    EXPECT_THAT(out.lines(), ElementsAre("error: could not resolve this adjust"));
    // The class is known, but the failed step leaves the kind unexamined.
    ASSERT_NE(c->classInfo, nullptr);
    EXPECT_EQ(c->classInfo->name, "D");
    EXPECT_EQ(c->methodKind, quint32(NotAMethod));
    EXPECT_EQ(c->thisAdjust, 0);
}

TEST_F(FunctionRecords, ThisCallWithoutClassStillReadsTheAdjustment)
{
    symbol(21).hasClassParent = false;
    open(0);
    CoutCapture out;
    const FunctionInfo *f = m_dia->functionInfo(0x2000);
    EXPECT_THAT(out.lines(),
                ElementsAre("error: class could not be resolved although method is thiscall"));
    EXPECT_EQ(f->thisAdjust, 4);
    EXPECT_EQ(f->classInfo, nullptr);
    EXPECT_EQ(f->methodKind, quint32(NotAMethod));
}

TEST_F(FunctionRecords, KnownClassWithoutThisCallIsNotAMethod)
{
    symbol(21).callingConvention = CV_CALL_NEAR_STD;
    open(0);
    CoutCapture out;
    const FunctionInfo *f = m_dia->functionInfo(0x2000);
    EXPECT_TRUE(out.lines().isEmpty());
    ASSERT_NE(f->classInfo, nullptr);
    EXPECT_EQ(f->methodKind, quint32(NotAMethod));
    EXPECT_EQ(f->thisAdjust, 0);
}

TEST_F(FunctionRecords, AllFunctionInfosFollowTheEnumerator)
{
    open(0x400000);
    CoutCapture out;
    const QList<const FunctionInfo *> all = m_dia->allFunctionInfos();
    ASSERT_EQ(all.size(), 2);
    EXPECT_EQ(all.at(0)->address, 0x401000u);
    EXPECT_EQ(all.at(1)->address, 0x402000u);
    EXPECT_EQ(all.at(0), m_dia->functionInfo(0x401000));
    EXPECT_TRUE(out.lines().isEmpty());
}

TEST_F(FunctionRecords, AllFunctionInfosFailures)
{
    open(0);
    CoutCapture out;
    symbol(10).fail.insert("get_relativeVirtualAddress", E_FAIL);
    const QList<const FunctionInfo *> a = m_dia->allFunctionInfos();
    ASSERT_EQ(a.size(), 1);
    EXPECT_EQ(a.first()->address, 0x2000u);
    EXPECT_THAT(out.lines(), ElementsAre("ERROR - Failed to get the function address"));

    out.clear();
    symbol(10).fail.clear();
    FakeDia::script().nextFail.insert("symbols", qMakePair(1, E_OUTOFMEMORY));
    const QList<const FunctionInfo *> b = m_dia->allFunctionInfos();
    ASSERT_EQ(b.size(), 1);
    EXPECT_EQ(b.first()->address, 0x1000u);
    EXPECT_THAT(out.lines(), ElementsAre("could not load symbol from enum"));

    out.clear();
    FakeDia::script().nextFail.clear();
    FakeDia::script().fail.insert("findChildren", E_FAIL);
    EXPECT_TRUE(m_dia->allFunctionInfos().isEmpty());
    EXPECT_THAT(out.lines(), ElementsAre("error finding children"));
}

TEST(ClassifyMethod, ByTheLastComponentOfTheClassName)
{
    ClassInfo inner;
    inner.name = "Outer::Inner<T>";
    EXPECT_EQ(DiaModule::classifyMethod("Outer::Inner<T>::~Inner<T>", &inner), Destructor);
    EXPECT_EQ(DiaModule::classifyMethod("Outer::Inner<T>::Inner<T>", &inner), Constructor);
    EXPECT_EQ(DiaModule::classifyMethod("Outer::Inner<T>::run", &inner), OrdinaryMethod);
    EXPECT_EQ(DiaModule::classifyMethod("Outer::Inner<T>::`scalar deleting destructor'", &inner),
              Destructor);

    // Constructors and destructors named without the template arguments.
    EXPECT_EQ(DiaModule::classifyMethod("Outer::Inner<T>::Inner", &inner), Constructor);
    EXPECT_EQ(DiaModule::classifyMethod("Outer::Inner<T>::~Inner", &inner), Destructor);
    EXPECT_EQ(DiaModule::classifyMethod("Outer::Inner<T>::Inne", &inner), OrdinaryMethod);
    ClassInfo deep;
    deep.name = "N::Map<K, V<W> >";
    EXPECT_EQ(DiaModule::classifyMethod("N::Map<K, V<W> >::Map", &deep), Constructor);
    EXPECT_EQ(DiaModule::classifyMethod("N::Map<K, V<W> >::V", &deep), OrdinaryMethod);

    ClassInfo nested;
    nested.name = "a::b<c::d>";
    EXPECT_EQ(DiaModule::classifyMethod("a::b<c::d>::b<c::d>", &nested), Constructor);
    EXPECT_EQ(DiaModule::classifyMethod("a::b<c::d>::~b<c::d>", &nested), Destructor);
    EXPECT_EQ(DiaModule::classifyMethod("a::b<c::d>::d", &nested), OrdinaryMethod);

    ClassInfo plain;
    plain.name = "D";
    EXPECT_EQ(DiaModule::classifyMethod("D::D", &plain), Constructor);
    EXPECT_EQ(DiaModule::classifyMethod("D::~D", &plain), Destructor);
    EXPECT_EQ(DiaModule::classifyMethod("D::DD", &plain), OrdinaryMethod);
    EXPECT_EQ(DiaModule::classifyMethod("d::D", &plain), Constructor);
    EXPECT_EQ(DiaModule::classifyMethod("D::d", &plain), OrdinaryMethod);
    EXPECT_EQ(DiaModule::classifyMethod("", &plain), NotAMethod);
    EXPECT_EQ(DiaModule::classifyMethod("D::D", nullptr), NotAMethod);

    ClassInfo unnamed;
    EXPECT_EQ(DiaModule::classifyMethod("D::D", &unnamed), NotAMethod);
}

TEST_F(FunctionRecords, MethodKindsThroughTheReader)
{
    FakeDia::Image &img = image();
    FakeDia::addFunction(img, 40, "D::D", 0x2100, 0x10, 21);
    FakeDia::addFunction(img, 41, "D::~D", 0x2200, 0x10, 21);
    FakeDia::addFunction(img, 42, "D::`scalar deleting destructor'", 0x2300, 0x10, 21);
    open(0);
    EXPECT_EQ(m_dia->functionInfo(0x2100)->methodKind, quint32(Constructor));
    EXPECT_EQ(m_dia->functionInfo(0x2200)->methodKind, quint32(Destructor));
    EXPECT_EQ(m_dia->functionInfo(0x2300)->methodKind, quint32(Destructor));
    // One class description however many methods lead to it.
    EXPECT_EQ(m_dia->classInfos().size(), 1);
}
