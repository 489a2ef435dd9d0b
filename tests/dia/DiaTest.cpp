// The reader against the scripted data source: each failure of a DIA call, what is printed and
// the fallback answered instead, beyond the reach of any real image.
#include "Dia.h"
#include "ClassText.h"
#include "DiaModule.h"
#include "FakeDia.h"
#include "TestSupport.h"

using namespace TQ::EXTRACTORS::CPP::DIA;

namespace {

const QString Prog = "C:\\dir\\prog.exe";

// Publics; main (its lines out of order, in two files of names of one length) and D::run, this-call
// with this adjusted by 4, of class D : B, virtual V { T grid[2][3]; int *ptrs[2]; int nums[3];
// static int count; typedef int alias; void run(); void helper(); }.
const QStringList Records = {
    "id=1;tag=PublicSymbol;name=__penter;rva=0x10",
    "id=2;tag=PublicSymbol;name=_main;rva=0x1000",
    "id=3;tag=PublicSymbol;name=_mainCRTStartup;rva=0x1200",
    "id=10;tag=Function;name=_main;undecorated=int __cdecl "
    "main(int);rva=0x1000;length=0x20;type=11",
    "id=11;tag=FunctionType",
    "id=20;tag=Function;name=D::run;undecorated=public: void __thiscall D::run(void);rva=0x2000;"
    "length=0x10;type=21",
    "id=21;tag=FunctionType;cc=11;classParent=100;thisAdjust=4",
    "id=90;line=10;rva=0x1000;length=3;file=C:\\src\\main.cpp",
    "id=91;line=11;rva=0x1003;length=10;file=C:\\src\\main.cpp",
    "id=92;line=9;rva=0x100d;length=0x13;file=C:\\src\\main.inl",
    "id=93;line=40;rva=0x2000;length=0x10;file=C:\\src\\d.cpp",
    "id=94;line=77;rva=0x3000;length=4;file=C:\\src\\asm.s",
    "id=100;tag=UDT;name=D;length=64;children=107,108,101,102,103,104,105,106,109",
    "id=101;tag=Function;name=D::run",
    "id=102;tag=Function;name=helper",
    "id=103;tag=Data;name=grid;type=505;kind=7;offset=8",
    "id=104;tag=Data;name=ptrs;type=503;kind=7;offset=32",
    "id=105;tag=Data;name=nums;type=502;kind=7;offset=40",
    "id=106;tag=Data;name=count;type=500;kind=8",
    "id=107;tag=BaseClass;name=B;type=200",
    "id=108;tag=BaseClass;name=V;type=300;virtual=1;vbpOffset=4;offset=60",
    "id=109;tag=Typedef;name=alias;type=500",
    "id=200;tag=UDT;name=B;length=4",
    "id=300;tag=UDT;name=V;length=4",
    "id=400;tag=UDT;name=T;length=4",
    "id=500;tag=BaseType;length=4",
    "id=501;tag=PointerType;length=4",
    "id=502;tag=ArrayType;type=500;count=3;length=12",
    "id=503;tag=ArrayType;type=501;count=2;length=8",
    "id=504;tag=ArrayType;type=400;count=3;length=12",
    "id=505;tag=ArrayType;type=504;count=2;length=24"};

QString describe(const FunctionInfo *f)
{
    const auto number = [](quint32 n, int base = 10) { return QString::number(n, base); };
    return QStringLiteral("%1|%2:%3|@%4 %5-%6|%7 %8|%9")
        .arg(f->name, f->sourceFile, number(f->line), number(f->startAddress, 16),
             number(f->firstLine), number(f->lastLine), number(f->methodKind),
             QString::number(f->thisAdjust), f->classInfo ? f->classInfo->name : "-");
}

class FakeDiaTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FakeDia::script() = FakeDia::Script();
        m_live = FakeDia::liveObjects();
    }
    void TearDown() override { close(); }
    void close()
    {
        m_dia.reset();
        EXPECT_EQ(FakeDia::liveObjects(), m_live);
    }
    void open(const QList<ModInfo> &infos) { m_dia.reset(static_cast<Dia *>(createDia(infos))); }
    DiaModule *module(int index = 0) { return dynamic_cast<DiaModule *>(m_dia->modules.at(index)); }
    void define(const QStringList &records, const QString &path = Prog)
    {
        FakeDia::script().images.insert(path, {});
        for (const QString &r : records)
            FakeDia::edit(path, r);
    }

    // "fn 401000", "src 401000", "class 100", "all" or "find <patterns> <tag>";
    // then the lines printed meanwhile.
    QStringList ask(const QStringList &queries)
    {
        TestSupport::CoutCapture out;
        QStringList answers;
        for (const QString &query : queries) {
            const QStringList w = query.split(' ');
            const quint32 address = w.value(1).toUInt(nullptr, 16);
            QStringList found;
            if (w[0] == "fn")
                answers << describe(m_dia->functionInfo(address));
            else if (w[0] == "src")
                answers << m_dia->sourceFileOf(address);
            else if (w[0] == "class")
                answers << classText(module()->classInfoById(w[1].toUInt()));
            else if (w[0] == "all")
                for (const FunctionInfo *f : m_dia->allFunctionInfos())
                    found << QString::number(f->address, 16) +
                                 (f == m_dia->functionInfo(f->address) ? "" : " not cached");
            else
                for (const SymbolAddress &s : m_dia->findSymbols(w[1].split(','), w[2].toInt()))
                    found << QStringLiteral("%1@%2").arg(s.name).arg(s.address, 0, 16);
            if (w[0] == "all" || w[0] == "find")
                answers << found.join(' ');
        }
        return answers + out.text().split('\n', Qt::SkipEmptyParts);
    }

    std::unique_ptr<Dia> m_dia;
    int m_live = 0;
};

} // namespace

TEST_F(FakeDiaTest, QueriesWithEachFailureOfTheCallsTheyMake)
{
    const QString main = "int __cdecl main(int)|C:\\src\\main.cpp:", e = "\nerror: ";
    const QString run = "public: void __thiscall D::run(void)|C:\\src\\d.cpp:40|@402000 40-40|";
    const QString fallback = "int __cdecl main(int)|prog.exe:???:";
    const QString grid = "8:T#3,12:T#3,16:T#3,20:T#3,24:T#3,28:T#3";
    const QString names = " m[helper,run] d[count,grid,nums,ptrs]";
    const QString full = "D#4 64 b[0:B#1] v[4:V#2] n[" + grid + "]" + names;
    const QString noV = "D#3 64 b[0:B#1] v[] n[" + QString(grid).replace("#3", "#2") + "]" + names;
    const QString noB = QString(noV).replace("b[0:B#1] v[]", "b[] v[4:V#1]");
    const QString noT = "D#3 64 b[0:B#1] v[4:V#2] n[]" + names;
    const QString none = " b[] v[] n[] m[] d[";
    const struct
    {
        QStringList edits;
        QString queries;
        QString expected; // the answers, the lines printed, then those of the opening
    } rows[] = {
        // clang-format off
        // Opening stops at the first failure; the module then answers with fallbacks, silently.
        {{"loadDataForExe"}, "find __penter 10;src 401000;fn 401000;all",
         "\nprog.exe:???\nprog.exe:0x00401000|prog.exe:???:0|@401000 0-0|0 0|-\n"},
        {{"get_globalScope"}, "src 401000", "prog.exe:???\nloadDebugInfos: get_globalScope failed"},
        // First and last line in the enumerator's order, not the least and the greatest.
        {{}, "fn 401000;fn 401005",
         main + "10|@401000 10-9|0 0|-\n" + main + "11|@401000 10-9|0 0|-"},
        {{}, "fn 402000", run + "1 4|D"},
        {{}, "fn 403002", "prog.exe:0x00403002|C:\\src\\asm.s:77|@403002 0-0|0 0|-" + e +
                          "could not find symbol"},
        {{"10:undecorated="}, "fn 401000", "_main|C:\\src\\main.cpp:10|@401000 10-9|0 0|-"},
        {{"10:undecorated", "10:!get_name"}, "fn 401000",
         "prog.exe:0x00401000|C:\\src\\main.cpp:10|@401000 10-9|0 0|-" + e + "get_name"},
        // Each UTF-16 code unit outside 0x20..0x7E becomes "_"; then only blanks collapse.
        {{QString::fromUtf16(u"10:undecorated=  int\tf(\u00e9)\x7f~ x\n\ny \U0001F600z ")},
         "fn 401000", "int_f(_)_~ x__y __z|C:\\src\\main.cpp:10|@401000 10-9|0 0|-"},
        {{"findLinesByRVA"}, "fn 401004",
         fallback + "0|@401000 0-0|0 0|-" + e + "findLinesByRVA" + e + "findLinesByRVA"},
        {{"90:!get_fileName"}, "fn 401000",
         fallback + "10|@401000 10-9|0 0|-" + e + "could not get sourcefile functionName"},
        {{"20:!get_type"}, "fn 402000", run + "0 0|-" + e + "could not resolve function type"},
        {{}, "all;find __penter 10;find _main*,_main 10;find _main 5", "401000 402000\n"
         "__penter@400010\n_main@401000 _mainCRTStartup@401200 _main@401000\n_main@401000"},
        {{"2:!get_name", "3:!get_relativeVirtualAddress"}, "find * 10", "__penter@400010\n"
         "ERROR - Failed to get the function functionName\n"
         "ERROR - Failed to get the function address"},
        {{}, "src 401000;src 401010;src 401004;src 400010",
         "C:\\src\\main.cpp\nC:\\src\\main.inl\nC:\\src\\main.cpp\nprog.exe:???"},
        {{"lines.Next0"}, "src 401000", "prog.exe:???"},
        {{"90:!get_sourceFile"}, "src 401000", "prog.exe:???" + e + "could not get source file"},
        // Parts are registered before the whole: B, V, T, then D.
        {{}, "class 100", full},
        {{"108:!get_virtualBaseClass"}, "class 100",
         noV + e + "could not determine whether base class is virtual"},
        {{"107:!get_offset"}, "class 100", noB + e + "could not resolve offset to base-class"},
        {{"101:!get_name"}, "class 100",
         QString(full).replace("helper,run", "helper") + e +
         "could not resolve function diaFnName"},
        // A member whose offset is unknown still has its type looked at, from offset 0.
        {{"103:!get_offset"}, "class 100",
         QString(full).replace(grid, "0:T#3,4:T#3,8:T#3,12:T#3,16:T#3,20:T#3") + e +
         "could not resolve offset of nested data elementD grid"},
        {{"505:!get_symTag"}, "class 100", noT + e + "could not resolve symTag of data type"},
        {{"504:length=13"}, "class 100", noT}, // not a whole multiple of the count
        // No list of a billion offsets for numbers, and no class array beyond belief.
        {{"502:count=0x40000000", "502:length=0x100000000", "505:count=0x10000000",
          "505:length=0xc0000000"}, "class 100", QString(full).replace(grid, "")},
        {{"100:!get_length"}, "class 100", "D#1 0" + none + "]" + e + "could not get size of udt"},
        {{"symbols.Next1"}, "class 100",
         "D#2 64 b[0:B#1] v[] n[] m[] d[]" + e + "could not traverse children"},
        {{}, "class 9999;class 101",
         "null\nnull" + e + "could not get symbol 9999" + e + "symbol requested by id is no udt"},
        // E : D with D : virtual V: V is an indirect virtual base of E.
        {{"id=600;tag=UDT;name=E;length=68;children=601,602", "id=601;tag=BaseClass;type=100",
          "id=602;tag=BaseClass;type=300;virtual=1;vbpOffset=4"},
         "class 600", "E#5 68 b[0:D#4] v[4:V#2] n[] m[] d[]"},
        // Classes of one name (from anonymous namespaces of two sources) are told apart by
        // their definitions; equal ones still end as one description.
        {{"id=710;tag=UDT;name=S;length=4;children=711", "id=711;tag=Data;name=a;type=500",
          "id=712;tag=UDT;name=S;length=4;children=713", "id=713;tag=Data;name=b;type=500",
          "id=714;tag=UDT;name=S;length=4;children=711"}, "class 710;class 712;class 714",
         "S#1 4" + none + "a]\nS#2 4" + none + "b]\nS#1 4" + none + "a]"},
        {{"id=720;tag=UDT;name=<unnamed-tag>;length=8;children=721",
          "id=721;tag=Data;name=in;type=722;kind=7;offset=4",
          "id=722;tag=UDT;name=<unnamed-tag>;length=4;children=723",
          "id=723;tag=Data;name=x;type=500"}, "class 720;class 722",
         "<unnamed-tag>#2 8 b[] v[] n[4:<unnamed-tag>#1] m[] d[in]\n"
         "<unnamed-tag>#1 4" + none + "x]"},
        // Only a damaged database makes a type contain itself: the descent ends there.
        {{"id=730;tag=UDT;name=Loop;length=4;children=731",
          "id=731;tag=Data;name=self;type=730;kind=7"}, "class 730", "Loop#1 4" + none + "self]"},
        // clang-format on
    };
    for (const auto &row : rows) {
        SCOPED_TRACE((row.edits.join(' ') + " / " + row.queries).toStdString());
        FakeDia::script() = FakeDia::Script();
        define(Records + row.edits);
        TestSupport::CoutCapture out;
        open({ModInfo(0x400000, Prog)});
        const QStringList answers = ask(row.queries.split(';'));
        EXPECT_EQ((answers + out.text().split('\n', Qt::SkipEmptyParts)).join('\n'), row.expected);
        close();
    }
}

TEST_F(FakeDiaTest, AddressesGoToTheModuleBelowThem)
{
    define({}, "C:\\a/low.dll"); // a forward slash is no separator
    define({}, "C:\\b\\high.dll");
    // Given out of order: the reader sorts by load address.
    open({ModInfo(0x5000, "C:\\b\\high.dll"), ModInfo(0x1000, "C:\\a/low.dll")});
    EXPECT_EQ(ask({"src fff", "src 1000", "src 4fff", "src 5000", "fn ffffffff"}),
              QStringList({"unresolved file:???", "a/low.dll:???", "a/low.dll:???", "high.dll:???",
                           "high.dll:0xffffffff|high.dll:???:0|@ffffffff 0-0|0 0|-",
                           "error: could not find symbol"}));
    TestSupport::CoutCapture quiet;
    const auto infos = m_dia->functionInfos({0x4fff, 0x1000, 0x4fff});
    EXPECT_EQ(infos.keys().size(), 2);
    EXPECT_EQ(infos.value(0x4fff), m_dia->functionInfo(0x4fff));
}

TEST_F(FakeDiaTest, RecordsAreComputedOncePerAddress)
{
    define(Records + QStringList("put_loadAddress")); // not called for load address 0
    open({ModInfo(0, Prog)});
    ASSERT_TRUE(module()->valid);
    const FunctionInfo *first = m_dia->functionInfo(0x1000);
    FakeDia::edit(Prog, "10:undecorated=changed");
    // Pointers handed out stay valid while the cache grows.
    for (quint32 address = 0x1001; address < 0x1020; ++address)
        m_dia->functionInfo(address);
    EXPECT_EQ(m_dia->functionInfo(0x1000), first);
    EXPECT_EQ(first->name, "int __cdecl main(int)");
    EXPECT_EQ(m_dia->functionInfo(0x1001)->name, "changed");
}

// The second module's copy of D is compared with the first's, by content, members in any order.
TEST_F(FakeDiaTest, OneClassInTwoModulesIsOneDescriptionUnlessTheyDiffer)
{
    const QString other = "C:\\dir\\other.dll";
    const struct
    {
        QString change;
        bool same;
    } cases[] = {
        {"", true},
        {"100:children=109,106,105,104,103,102,101,108,107", true},
        {"100:length=68", false},
        {"102:name=stop", false},
        {"106:name=n", false},
        {"103:offset=12", false},
        {"105:type=504", false},
        {"107:type=400", false},
        {"108:virtual=0", false},
        {"108:vbpOffset=8", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.change.toStdString());
        FakeDia::script() = FakeDia::Script();
        define(Records);
        define(Records + QStringList(c.change), other);
        open({ModInfo(0, Prog), ModInfo(0x10000000, other)});
        EXPECT_EQ(module(0)->classInfoById(100) == module(1)->classInfoById(100), c.same);
        EXPECT_EQ(m_dia->classInfos().size(), c.same ? 4 : 5);
        EXPECT_EQ(module(1)->classCache.value(400), module(0)->classCache.value(400));
        close();
    }
}
