// Symbol search, source files and symbol tags, with every failure of the calls they make.
#include "FakeDiaFixture.h"

using namespace DiaTest;

namespace {

class Lookup : public FakeDiaTest
{
protected:
    void SetUp() override
    {
        FakeDiaTest::SetUp();
        // The two files have names of one length.
        m_records = QStringList({"id=1;tag=PublicSymbol;name=__penter;rva=0x1000",
                                 "id=2;tag=PublicSymbol;name=_main;rva=0x1100",
                                 "id=3;tag=PublicSymbol;name=_mainCRTStartup;rva=0x1200",
                                 "id=4;tag=Function;name=_main;rva=0x1100;length=0x20",
                                 "id=90;line=7;rva=0x1100;length=4;file=C:\\src\\main.cpp",
                                 "id=91;line=9;rva=0x1104;length=8;file=C:\\src\\main.cpp",
                                 "id=92;line=3;rva=0x110c;length=20;file=C:\\src\\inline.h"});
        restart();
    }
};

} // namespace

TEST_F(Lookup, FindSymbolsListsEveryMatchInPatternOrder)
{
    const struct
    {
        QStringList edits;
        QStringList patterns;
        DWORD tag;
        quint32 loadAddress;
        QStringList found;
        QStringList lines;
    } cases[] = {
        // clang-format off
        {{}, {"__penter"}, SymTagPublicSymbol, 0x400000, {"__penter@401000"}, {}},
        {{}, {"_main*", "_main"}, SymTagPublicSymbol, 0,
         {"_main@1100", "_mainCRTStartup@1200", "_main@1100"}, {}},
        {{}, {"_main"}, SymTagFunction, 0, {"_main@1100"}, {}},
        {{"2:!get_name", "3:!get_relativeVirtualAddress"}, {"*"}, SymTagPublicSymbol, 0,
         {"__penter@1000"}, {"ERROR - Failed to get the function functionName",
                             "ERROR - Failed to get the function address"}},
        {{"findChildren"}, {"__penter", "_main"}, SymTagPublicSymbol, 0, {},
         {"error finding children", "error finding children"}},
        {{"symbols.Next1"}, {"*"}, SymTagPublicSymbol, 0, {"__penter@1000"},
         {"could not load symbol from enum"}},
        {{"symbols.Next0=1"}, {"*"}, SymTagPublicSymbol, 0, {}, {}}, // S_FALSE: nothing left
        // A name ends at its first zero character.
        {{QStringLiteral("id=5;tag=PublicSymbol;rva=0x10;name=ab") + QChar(0) + "cd"}, {"ab*"},
         SymTagPublicSymbol, 0, {"ab@10"}, {}},
        // clang-format on
    };
    for (const auto &c : cases) {
        const QStringList answers = row(c.edits, c.loadAddress, [&] {
            QStringList found;
            for (const SymbolAddress &s : m_dia->findSymbols(c.patterns, int(c.tag)))
                found << QStringLiteral("%1@%2").arg(s.name).arg(s.address, 0, 16);
            return found;
        });
        EXPECT_EQ(answers, c.found + c.lines) << c.edits.join(' ').toStdString();
    }
}

TEST_F(Lookup, SourceFileOfAnAddressOrTheFallback)
{
    const QString main = "C:\\src\\main.cpp", fallback = "prog.exe:???";
    const struct
    {
        QStringList edits;
        quint32 loadAddress;
        QList<quint32> addresses;
        QStringList files;
        QStringList lines;
    } cases[] = {
        // clang-format off
        {{}, 0, {0x1100, 0x1110, 0x1104, 0x1000}, {main, "C:\\src\\inline.h", main, fallback}, {}},
        {{}, 0x400000, {0x401100, 0x1100}, {main, "unresolved file:???"}, {}},
        {{"findLinesByRVA"}, 0, {0x1100}, {fallback}, {"error: findLinesByRVA"}},
        {{"90:!get_lineNumber"}, 0, {0x1100}, {fallback}, {"error: could not get line number"}},
        {{"90:!get_sourceFile"}, 0, {0x1100}, {fallback}, {"error: could not get source file"}},
        {{"90:!get_fileName"}, 0, {0x1100}, {fallback},
         {"error: could not get sourcefile functionName"}},
        {{"lines.Next0"}, 0, {0x1100}, {fallback}, {}},
        // clang-format on
    };
    for (const auto &c : cases) {
        const QStringList answers = row(c.edits, c.loadAddress, [&] {
            QStringList files;
            for (quint32 address : c.addresses)
                files << m_dia->sourceFileOf(address);
            return files;
        });
        EXPECT_EQ(answers, c.files + c.lines) << c.edits.join(' ').toStdString();
    }
}

TEST_F(Lookup, PrintSymbolTag)
{
    open(0x10000);
    CoutCapture out;
    m_dia->printSymbolTag(0x11104);
    m_dia->printSymbolTag(0x10000); // no function there
    edit({"4:!get_symTag"});
    m_dia->printSymbolTag(0x11100);
    m_dia->printSymbolTag(0x100); // the null module
    EXPECT_THAT(out.lines(), ElementsAre("sym tag found5", "error: could not find symbol",
                                         "error: could not get symtag"));
}
