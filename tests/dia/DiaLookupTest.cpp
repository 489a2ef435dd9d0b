#include "FakeDiaFixture.h"

#include <gmock/gmock.h>

using namespace DiaTest;
using ::testing::ElementsAre;

namespace {

QStringList describe(const QList<SymbolAddress> &symbols)
{
    QStringList result;
    for (const SymbolAddress &s : symbols)
        result << QStringLiteral("%1@%2").arg(s.name).arg(s.address, 0, 16);
    return result;
}

class SymbolLookup : public FakeDiaTest
{
protected:
    void SetUp() override
    {
        FakeDiaTest::SetUp();
        FakeDia::Image &img = image();
        FakeDia::addSymbol(img, 1, SymTagPublicSymbol, "__penter").rva = 0x1000;
        FakeDia::addSymbol(img, 2, SymTagPublicSymbol, "_main").rva = 0x1100;
        FakeDia::addSymbol(img, 3, SymTagPublicSymbol, "_mainCRTStartup").rva = 0x1200;
        img.globals << 1 << 2 << 3;
        FakeDia::addFunction(img, 4, "_main", 0x1100, 0x20, 0);
        FakeDia::addLine(img, 0x1100, 4, 7, "C:\\src\\main.cpp");
        FakeDia::addLine(img, 0x1104, 8, 9, "C:\\src\\main.cpp");
        FakeDia::addLine(img, 0x110c, 20, 3, "C:\\src\\inline.h");
    }
};

} // namespace

TEST_F(SymbolLookup, FindsPublicSymbolsByPatternInPatternOrder)
{
    open(0);
    CoutCapture out;
    EXPECT_THAT(describe(m_dia->findSymbols(QStringList("__penter"), SymTagPublicSymbol)),
                ElementsAre("__penter@1000"));
    // A plain pattern matches only that name; two patterns that match list a symbol twice.
    EXPECT_THAT(describe(m_dia->findSymbols(QStringList() << "_main*"
                                                          << "_main",
                                            10)),
                ElementsAre("_main@1100", "_mainCRTStartup@1200", "_main@1100"));
    // The tag narrows the search.
    EXPECT_THAT(describe(m_dia->findSymbols(QStringList("_main"), SymTagFunction)),
                ElementsAre("_main@1100"));
    EXPECT_TRUE(m_dia->findSymbols(QStringList("__PENTER"), 10).isEmpty());
    EXPECT_TRUE(m_dia->findSymbols(QStringList("__pente"), 10).isEmpty());
    EXPECT_TRUE(out.lines().isEmpty());
}

TEST_F(SymbolLookup, AddressesAddTheLoadAddress)
{
    open(0x400000);
    EXPECT_THAT(describe(m_dia->findSymbols(QStringList("__penter"), 10)),
                ElementsAre("__penter@401000"));
}

TEST_F(SymbolLookup, FailuresSkipOnlyWhatTheyConcern)
{
    open(0);
    FakeDia::script().images[ProgPath].symbols[2].fail.insert("get_name", E_FAIL);
    FakeDia::script().images[ProgPath].symbols[3].fail.insert("get_relativeVirtualAddress", E_FAIL);
    CoutCapture out;
    EXPECT_THAT(describe(m_dia->findSymbols(QStringList("*"), 10)), ElementsAre("__penter@1000"));
    EXPECT_THAT(out.lines(), ElementsAre("ERROR - Failed to get the function functionName",
                                         "ERROR - Failed to get the function address"));
}

TEST_F(SymbolLookup, FailedSearchMovesToTheNextPattern)
{
    open(0);
    FakeDia::script().fail.insert("findChildren", E_FAIL);
    CoutCapture out;
    EXPECT_TRUE(m_dia
                    ->findSymbols(QStringList() << "__penter"
                                                << "_main",
                                  10)
                    .isEmpty());
    EXPECT_THAT(out.lines(), ElementsAre("error finding children", "error finding children"));
}

TEST_F(SymbolLookup, FailingEnumeratorEndsTheSearchWithAMessage)
{
    open(0);
    FakeDia::script().nextFail.insert("symbols", qMakePair(1, E_FAIL));
    CoutCapture out;
    EXPECT_THAT(describe(m_dia->findSymbols(QStringList("*"), 10)), ElementsAre("__penter@1000"));
    EXPECT_THAT(out.lines(), ElementsAre("could not load symbol from enum"));
}

TEST_F(SymbolLookup, EnumeratorRunningDryIsNoError)
{
    open(0);
    FakeDia::script().nextFail.insert("symbols", qMakePair(0, S_FALSE));
    CoutCapture out;
    EXPECT_TRUE(m_dia->findSymbols(QStringList("*"), 10).isEmpty());
    EXPECT_TRUE(out.lines().isEmpty());
}

TEST_F(SymbolLookup, SourceFileOfAnAddress)
{
    open(0x400000);
    CoutCapture out;
    EXPECT_EQ(m_dia->sourceFileOf(0x401100), "C:\\src\\main.cpp");
    EXPECT_EQ(m_dia->sourceFileOf(0x401110), "C:\\src\\inline.h");
    // No line records there.
    EXPECT_EQ(m_dia->sourceFileOf(0x401000), "prog.exe:???");
    // Below the load address: the null module.
    EXPECT_EQ(m_dia->sourceFileOf(0x1100), "unresolved file:???");
    EXPECT_TRUE(out.lines().isEmpty());
}

TEST_F(SymbolLookup, SourceFileFailuresFallBackWithTheirMessage)
{
    struct Case
    {
        const char *failing;
        bool onRecord;
        const char *line;
    };
    const QList<Case> cases = {
        {"findLinesByRVA", false, "error: findLinesByRVA"},
        {"get_lineNumber", true, "error: could not get line number"},
        {"get_sourceFile", true, "error: could not get source file"},
        {"get_fileName", true, "error: could not get sourcefile functionName"},
    };
    open(0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.failing);
        FakeDia::Image &img = FakeDia::script().images[ProgPath];
        FakeDia::script().fail.clear();
        img.lines[0].fail.clear();
        if (c.onRecord)
            img.lines[0].fail.insert(c.failing, E_FAIL);
        else
            FakeDia::script().fail.insert(c.failing, E_FAIL);
        CoutCapture out;
        EXPECT_EQ(m_dia->sourceFileOf(0x1100), "prog.exe:???");
        EXPECT_THAT(out.lines(), ElementsAre(c.line));
    }
}

TEST_F(SymbolLookup, FailedLineEnumerationFallsBackSilently)
{
    open(0);
    FakeDia::script().nextFail.insert("lines", qMakePair(0, E_FAIL));
    CoutCapture out;
    EXPECT_EQ(m_dia->sourceFileOf(0x1100), "prog.exe:???");
    EXPECT_TRUE(out.lines().isEmpty());
}

TEST_F(SymbolLookup, PrintSymbolTag)
{
    open(0x10000);
    CoutCapture out;
    m_dia->printSymbolTag(0x11104);
    m_dia->printSymbolTag(0x10000); // no function there
    FakeDia::script().images[ProgPath].symbols[4].fail.insert("get_symTag", E_FAIL);
    m_dia->printSymbolTag(0x11100);
    m_dia->printSymbolTag(0x100); // null module
    EXPECT_THAT(out.lines(), ElementsAre("sym tag found5", "error: could not find symbol",
                                         "error: could not get symtag"));
}

TEST_F(FakeDiaTest, InvalidModuleAnswersLookupsSilently)
{
    image();
    FakeDia::script().fail.insert("loadDataForExe", E_FAIL);
    open(0);
    FakeDia::script().fail.clear();
    CoutCapture out;
    EXPECT_TRUE(m_dia->findSymbols(QStringList("*"), 10).isEmpty());
    EXPECT_EQ(m_dia->sourceFileOf(0x1100), "prog.exe:???");
    m_dia->printSymbolTag(0x1100);
    EXPECT_TRUE(out.lines().isEmpty());
}

TEST_F(FakeDiaTest, NameEndsAtTheFirstZeroCharacter)
{
    FakeDia::Image &img = image();
    FakeDia::addSymbol(img, 1, SymTagPublicSymbol, QString::fromUtf16(u"ab\0cd", 5)).rva = 0x10;
    img.globals << 1;
    open(0);
    const QList<SymbolAddress> found = m_dia->findSymbols(QStringList("*"), 10);
    ASSERT_EQ(found.size(), 1);
    EXPECT_EQ(found.first().name, "ab");
}
