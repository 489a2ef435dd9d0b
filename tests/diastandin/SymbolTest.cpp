// The reader's records on the builder's classes image, checked against what its source declares:
// conventions and this adjustments, classes with their bases, virtual bases and members, and two
// classes of one name from two sources.
#include "../dia/ClassText.h"
#include "DiaApi.h"
#include "DiaInterfaces.h"
#include "TestSupport.h"

#include <memory>

using namespace TQ::EXTRACTORS::CPP::DIA;

namespace {

TEST(ClassesImage, RecordsDescribeFunctionsAndTheirClassesAsTheSourceDeclaresThem)
{
    const std::unique_ptr<DiaApi> reader(
        createDia({ModInfo(0, TestSupport::builtImageDir("classes/classes.exe"))}));
    // Method kind, this adjustment, then the class: size, bases and virtual bases by offset,
    // class members by offset, methods and data (static ones too).
    const struct
    {
        const char *function, *expected;
    } rows[] = {
        {"D::value", "1 84 D 92 b[0:B] v[68:V] n[] m[D,make,value,~D] d[d,tag]"},
        {"D::make", "0 0 D 92 b[0:B] v[68:V] n[] m[D,make,value,~D] d[d,tag]"},
        {"Multi::second", "1 8 Multi 20 b[0:First,8:Second] v[] n[] m[second] d[c]"},
        {"B::sum", "1 0 B 68 b[] v[] n[] m[B,set,sum,~B] d[count,grid,pointers,values,x,y]"},
        {"V::value", "1 0 V 8 b[] v[] n[] m[V,value,~V] d[label,v]"},
        {"Outer::Inner<int>::get",
         "1 0 Outer::Inner<int> 4 b[] v[] n[] m[Inner,get,~Inner] d[item]"},
        // A virtual base inherited rather than named is a virtual base of the class inheriting it.
        {"E::last", "1 0 E 96 b[0:D] v[68:V] n[] m[last] d[e]"},
        {"*Same::first", "1 0 `anonymous namespace'::Same 4 b[] v[] n[] m[first] d[a]"},
        {"*Same::third",
         "1 0 `anonymous namespace'::Same 40 b[] v[] n[] m[second,third] d[code,weights]"},
        {"main", "0 0 null"},
    };
    TestSupport::CoutCapture out;
    for (const auto &row : rows) {
        const QList<SymbolAddress> found = reader->findSymbols({row.function}, SymTagFunction);
        ASSERT_EQ(found.size(), 1) << row.function;
        const FunctionInfo *f = reader->functionInfo(found[0].address);
        EXPECT_EQ(QStringLiteral("%1 %2 %3")
                      .arg(f->methodKind)
                      .arg(f->thisAdjust)
                      .arg(classText(f->classInfo, false)),
                  row.expected);
    }
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(reader->findSymbols({"d::make"}, SymTagFunction).size(), 0); // case-sensitive
}

} // namespace
