// Function records: every field, each fallback and each failure of the calls they are built from.
#include "FakeDiaFixture.h"

using namespace DiaTest;

namespace {

// A free function, a method of class D (this-call, this adjusted by 4), and line records; the
// lines of the free function come out of order.
class FunctionRecords : public FakeDiaTest
{
protected:
    void SetUp() override
    {
        FakeDiaTest::SetUp();
        m_records = QStringList(
            {"id=10;tag=Function;name=?free@@YAHH@Z;undecorated=int __cdecl free(int);rva=0x1000;"
             "length=0x20;type=11",
             "id=11;tag=FunctionType",
             "id=20;tag=Function;name=D::run;undecorated=public: void __thiscall D::run(void);"
             "rva=0x2000;length=0x10;type=21",
             "id=21;tag=FunctionType;cc=11;classParent=30;thisAdjust=4",
             "id=30;tag=UDT;name=D;length=8;children=31", "id=31;tag=Function;name=D::run",
             "id=90;line=10;rva=0x1000;length=3;file=C:\\src\\free.cpp",
             "id=91;line=11;rva=0x1003;length=10;file=C:\\src\\free.cpp",
             "id=92;line=9;rva=0x100d;length=0x13;file=C:\\src\\free.cpp",
             "id=93;line=40;rva=0x2000;length=0x10;file=C:\\src\\d.cpp",
             "id=94;line=77;rva=0x3000;length=4;file=C:\\src\\asm.s"});
        restart();
    }
};

} // namespace

TEST_F(FunctionRecords, EveryFieldWithItsFallbacks)
{
    const QString freeFn = "int __cdecl free(int) | C:\\src\\free.cpp:", fallback = "prog.exe:???:";
    const QString run =
        "public: void __thiscall D::run(void) | C:\\src\\d.cpp:40 | @402000 40-40 | ";
    const struct
    {
        QStringList edits;
        quint32 address;
        QString record;
        QStringList lines;
    } cases[] = {
        // clang-format off
        // First and last line in the enumerator's order, not the least and the greatest.
        {{}, 0x401000, freeFn + "10 | @401000 10-9 | kind 0 adjust 0 | -", {}},
        {{}, 0x401005, freeFn + "11 | @401000 10-9 | kind 0 adjust 0 | -", {}},
        {{}, 0x402000, run + "kind 1 adjust 4 | D", {}},
        {{}, 0x403002,
         "prog.exe:0x00403002 | C:\\src\\asm.s:77 | @403002 0-0 | kind 0 adjust 0 | -",
         {"error: could not find symbol"}},
        {{"10:undecorated"}, 0x401000,
         "?free@@YAHH@Z | C:\\src\\free.cpp:10 | @401000 10-9 | kind 0 adjust 0 | -", {}},
        {{"10:undecorated="}, 0x401000,
         "?free@@YAHH@Z | C:\\src\\free.cpp:10 | @401000 10-9 | kind 0 adjust 0 | -", {}},
        {{"10:undecorated", "10:!get_name"}, 0x401000,
         "prog.exe:0x00401000 | C:\\src\\free.cpp:10 | @401000 10-9 | kind 0 adjust 0 | -",
         {"error: get_name"}},
        {{"20:!get_name", "20:!get_undecoratedName"}, 0x402000,
         "prog.exe:0x00402000 | C:\\src\\d.cpp:40 | @402000 40-40 | kind 0 adjust 4 | D",
         {"error: get_name"}},
        {{"20:name=", "20:undecorated="}, 0x402000,
         "prog.exe:0x00402000 | C:\\src\\d.cpp:40 | @402000 40-40 | kind 0 adjust 4 | D", {}},
        {{"20:!get_name"}, 0x402000, run + "kind 0 adjust 4 | D", {"error: get_name"}},
        // Each UTF-16 code unit outside 0x20..0x7E becomes "_"; then only blanks collapse.
        {{QString::fromUtf16(u"10:undecorated=  int\tf(\u00e9)\x7f~ x\n\ny \U0001F600z ")},
         0x401000,
         "int_f(_)_~ x__y __z | C:\\src\\free.cpp:10 | @401000 10-9 | kind 0 adjust 0 | -", {}},
        {{"10:!get_relativeVirtualAddress"}, 0x401004,
         freeFn + "11 | @401004 0-0 | kind 0 adjust 0 | -", {"error: get start addr of function"}},
        {{"10:!get_length"}, 0x401004, freeFn + "11 | @401000 0-0 | kind 0 adjust 0 | -",
         {"error: get length of function"}},
        {{"findLinesByRVA"}, 0x401004,
         "int __cdecl free(int) | " + fallback + "0 | @401000 0-0 | kind 0 adjust 0 | -",
         {"error: findLinesByRVA", "error: findLinesByRVA"}},
        // The line range's second Next fails.
        {{"lines.Next1"}, 0x401000, freeFn + "10 | @401000 10-10 | kind 0 adjust 0 | -",
         {"error: could not get line"}},
        {{"92:!get_lineNumber"}, 0x401000, freeFn + "10 | @401000 10-11 | kind 0 adjust 0 | -",
         {"error: could not get line number"}},
        {{"90:!get_fileName"}, 0x401000,
         "int __cdecl free(int) | " + fallback + "10 | @401000 10-9 | kind 0 adjust 0 | -",
         {"error: could not get sourcefile functionName"}},
        {{"20:!get_type"}, 0x402000, run + "kind 0 adjust 0 | -",
         {"error: could not resolve function type"}},
        {{"21:!get_callingConvention"}, 0x402000, run + "kind 0 adjust 0 | -",
         {"error: could not resolve calling convention"}},
        // The class is known, but the failed step leaves the kind unexamined.
        {{"21:!get_thisAdjust"}, 0x402000, run + "kind 0 adjust 0 | D",
         {"error: could not resolve this adjust"}},
        {{"21:classParent"}, 0x402000, run + "kind 0 adjust 4 | -",
         {"error: class could not be resolved although method is thiscall"}},
        {{"21:cc=7"}, 0x402000, run + "kind 0 adjust 0 | D", {}},
        // The kind follows the plain name, not the undecorated one.
        {{"id=40;tag=Function;name=D::D;undecorated=public: __thiscall D::D(void);rva=0x2100;"
          "length=0x10;type=21"}, 0x402100,
         "public: __thiscall D::D(void) | " + fallback + "0 | @402100 0-0 | kind 2 adjust 4 | D",
         {}},
        // clang-format on
    };
    for (const auto &c : cases) {
        const QStringList answers = row(c.edits, 0x400000, [&] {
            return QStringList(describe(m_dia->functionInfo(c.address)));
        });
        EXPECT_EQ(answers, QStringList(c.record) + c.lines) << c.edits.join(' ').toStdString();
    }
}

TEST_F(FunctionRecords, RecordsAreComputedOncePerAddress)
{
    open(0);
    const FunctionInfo *first = m_dia->functionInfo(0x1000);
    edit({"10:undecorated=changed"});
    // Pointers handed out stay valid while the cache grows.
    for (quint32 address = 0x1001; address < 0x1020; ++address)
        m_dia->functionInfo(address);
    EXPECT_EQ(m_dia->functionInfo(0x1000), first);
    EXPECT_EQ(first->name, "int __cdecl free(int)");
    EXPECT_EQ(m_dia->functionInfo(0x1001)->name, "changed");
}

TEST_F(FunctionRecords, AllFunctionInfosFollowTheEnumerator)
{
    const struct
    {
        QString edit;
        QString addresses;
        QStringList lines;
    } cases[] = {
        // clang-format off
        {"", "401000 402000", {}},
        {"10:!get_relativeVirtualAddress",
         "402000",
         {"ERROR - Failed to get the function address"}},
        {"symbols.Next1=0x8007000e", "401000", {"could not load symbol from enum"}},
        {"findChildren", "", {"error finding children"}},
        // clang-format on
    };
    for (const auto &c : cases) {
        const QStringList answers = row({c.edit}, 0x400000, [&] {
            QStringList addresses;
            for (const FunctionInfo *f : m_dia->allFunctionInfos())
                addresses << QString::number(f->address, 16) +
                                 (f == m_dia->functionInfo(f->address) ? "" : " not cached");
            return QStringList(addresses.join(' '));
        });
        EXPECT_EQ(answers, QStringList(c.addresses) + c.lines) << c.edit.toStdString();
    }
}

TEST(ClassifyMethod, ByTheLastComponentOfTheClassName)
{
    const struct
    {
        const char *className;
        const char *name;
        MethodKind kind;
    } cases[] = {
        {"Outer::Inner<T>", "Outer::Inner<T>::~Inner<T>", Destructor},
        {"Outer::Inner<T>", "Outer::Inner<T>::Inner<T>", Constructor},
        {"Outer::Inner<T>", "Outer::Inner<T>::run", OrdinaryMethod},
        {"Outer::Inner<T>", "Outer::Inner<T>::`scalar deleting destructor'", Destructor},
        // Constructors and destructors named without the template arguments.
        {"Outer::Inner<T>", "Outer::Inner<T>::Inner", Constructor},
        {"Outer::Inner<T>", "Outer::Inner<T>::~Inner", Destructor},
        {"Outer::Inner<T>", "Outer::Inner<T>::Inne", OrdinaryMethod},
        {"N::Map<K, V<W> >", "N::Map<K, V<W> >::Map", Constructor},
        {"N::Map<K, V<W> >", "N::Map<K, V<W> >::V", OrdinaryMethod},
        {"a::b<c::d>", "a::b<c::d>::b<c::d>", Constructor},
        {"a::b<c::d>", "a::b<c::d>::~b<c::d>", Destructor},
        {"a::b<c::d>", "a::b<c::d>::d", OrdinaryMethod},
        {"D", "D::DD", OrdinaryMethod},
        {"D", "d::D", Constructor},
        {"D", "", NotAMethod},
        {"", "D::D", NotAMethod},
    };
    for (const auto &c : cases) {
        ClassInfo info;
        info.name = c.className;
        EXPECT_EQ(DiaModule::classifyMethod(c.name, &info), c.kind) << c.name;
    }
}
