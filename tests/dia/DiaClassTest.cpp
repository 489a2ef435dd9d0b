// Class descriptions: what is read, what each failure leaves out, and the registry's ids.
#include "FakeDiaFixture.h"

#include <functional>

using namespace DiaTest;

namespace {

// class D : B, virtual V { T grid[2][3]; int *ptrs[2]; int nums[3]; static int count;
//                          typedef int alias; void run(); void helper(); }
class ClassRecords : public FakeDiaTest
{
protected:
    void SetUp() override
    {
        FakeDiaTest::SetUp();
        m_records = QStringList(
            {"id=200;tag=UDT;name=B;length=4", "id=300;tag=UDT;name=V;length=4",
             "id=400;tag=UDT;name=T;length=4", "id=500;tag=BaseType;length=4",
             "id=501;tag=PointerType;length=4", "id=502;tag=ArrayType;type=500;count=3;length=12",
             "id=503;tag=ArrayType;type=501;count=2;length=8",
             "id=504;tag=ArrayType;type=400;count=3;length=12",
             "id=505;tag=ArrayType;type=504;count=2;length=24",
             "id=100;tag=UDT;name=D;length=64;children=107,108,101,102,103,104,105,106,109",
             "id=101;tag=Function;name=D::run", "id=102;tag=Function;name=helper",
             "id=103;tag=Data;name=grid;type=505;kind=7;offset=8",
             "id=104;tag=Data;name=ptrs;type=503;kind=7;offset=32",
             "id=105;tag=Data;name=nums;type=502;kind=7;offset=40",
             "id=106;tag=Data;name=count;type=500;kind=8", "id=107;tag=BaseClass;name=B;type=200",
             "id=108;tag=BaseClass;name=V;type=300;virtual=1;vbpOffset=4;offset=60",
             "id=109;tag=Typedef;name=alias;type=500"});
        restart();
    }
};

QString describe(const ClassInfo *c)
{
    if (!c)
        return "null";
    const auto entries = [](const ClassInfo::OffsetMap &map) {
        QStringList parts;
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            for (const ClassInfo *entry : it.value())
                parts << QStringLiteral("%1:%2#%3").arg(it.key()).arg(entry->name).arg(entry->id);
        return parts.join(',');
    };
    QStringList methods = c->methodNames.values(), data = c->dataNames.values();
    methods.sort();
    data.sort();
    return QStringLiteral("%1#%2 size %3 bases[%4] vbases[%5] nested[%6] methods[%7] data[%8]")
        .arg(c->name)
        .arg(c->id)
        .arg(c->size)
        .arg(entries(c->bases), entries(c->virtualBases), entries(c->nestedUdts), methods.join(','),
             data.join(','));
}

} // namespace

TEST_F(ClassRecords, DescriptionsWithWhatEachFailureLeavesOut)
{
    // Parts are registered before the whole: B, V, T, then D.
    const QString grid = "8:T#3,12:T#3,16:T#3,20:T#3,24:T#3,28:T#3";
    const QString names = " methods[helper,run] data[count,grid,nums,ptrs]";
    const QString full = "D#4 size 64 bases[0:B#1] vbases[4:V#2] nested[" + grid + "]" + names;
    const QString noV = "D#3 size 64 bases[0:B#1] vbases[] nested[" +
                        QString(grid).replace("#3", "#2") + "]" + names;
    const QString noB = QString(noV).replace("bases[0:B#1] vbases[]", "bases[] vbases[4:V#1]");
    const QString noT = "D#3 size 64 bases[0:B#1] vbases[4:V#2] nested[]" + names;
    const QString none = " bases[] vbases[] nested[] methods[] data[";
    const struct
    {
        QStringList edits;
        QList<DWORD> ids;
        QStringList descriptions;
        QStringList lines;
    } cases[] = {
        // clang-format off
        {{}, {100}, {full}, {}},
        {{"108:!get_virtualBaseClass"}, {100}, {noV},
         {"error: could not determine whether base class is virtual"}},
        {{"108:!get_virtualBasePointerOffset"}, {100}, {noV},
         {"error: could not resolve offset to virtual base-class"}},
        {{"108:!get_symTag"}, {100}, {noV}, {"error: could not get child symTag"}},
        {{"107:!get_offset"}, {100}, {noB}, {"error: could not resolve offset to base-class"}},
        {{"107:!get_typeId"}, {100}, {noB}, {"error: could not get id of base class type"}},
        {{"101:!get_name"}, {100}, {QString(full).replace("helper,run", "helper")},
         {"error: could not resolve function diaFnName"}},
        {{"105:!get_name"}, {100}, {QString(full).replace("nums,", "")},
         {"error: could not resolve data name"}},
        {{"105:!get_type"}, {100}, {full}, {"error: could not resolve data type"}},
        {{"105:!get_dataKind"}, {100}, {full},
         {"error: could not resolve data kind of nested data element"}},
        // A member whose offset is unknown still has its type looked at, from offset 0.
        {{"103:!get_offset"}, {100},
         {QString(full).replace(grid, "0:T#3,4:T#3,8:T#3,12:T#3,16:T#3,20:T#3")},
         {"error: could not resolve offset of nested data elementD grid"}},
        {{"505:!get_symTag"}, {100}, {noT}, {"error: could not resolve symTag of data type"}},
        {{"400:!get_symIndexId"}, {100}, {noT},
         {"error: could not resolve symIndexId of nested udt"}},
        {{"505:!get_count"}, {100}, {noT}, {"error: could not resolve array element count"}},
        {{"504:!get_length"}, {100}, {noT}, {"error: could not resolve length of array"}},
        {{"504:!get_type"}, {100}, {noT}, {"error: could not resolve child type of array"}},
        {{"504:length=13"}, {100}, {noT}, {}}, // not a whole multiple of the count
        {{"505:count=0"}, {100}, {noT}, {}},
        // No list of a billion offsets for numbers, and no class array beyond belief.
        {{"502:count=0x40000000", "502:length=0x100000000", "505:count=0x10000000",
          "505:length=0xc0000000"}, {100}, {QString(full).replace(grid, "")}, {}},
        {{"100:!get_length"}, {100}, {"D#1 size 0" + none + "]"},
         {"error: could not get size of udt"}},
        {{"100:!findChildren"}, {100}, {"D#1 size 64" + none + "]"},
         {"error: could not get udt children"}},
        {{"symbols.Next1"}, {100}, {"D#2 size 64 bases[0:B#1] vbases[] nested[] methods[] data[]"},
         {"error: could not traverse children"}},
        // Read once: its one failure shows once.
        {{"109:!get_symTag"}, {100, 100}, {full, full}, {"error: could not get child symTag"}},
        {{}, {9999, 101}, {"null", "null"},
         {"error: could not get symbol 9999", "error: symbol requested by id is no udt"}},
        {{"100:!get_symTag"}, {100}, {"null"}, {"error: could not get symtag"}},
        {{"100:!get_name"}, {100}, {"null"}, {"error: could not get name of udt"}},
        // E : D with D : virtual V: V is an indirect virtual base of E.
        {{"id=600;tag=UDT;name=E;length=68;children=601,602", "id=601;tag=BaseClass;type=100",
          "id=602;tag=BaseClass;type=300;virtual=1;vbpOffset=4"},
         {600}, {"E#5 size 68 bases[0:D#4] vbases[4:V#2] nested[] methods[] data[]"}, {}},
        // Classes of one name (from anonymous namespaces of two sources) are told apart by
        // their definitions; equal ones still end as one description.
        {{"id=710;tag=UDT;name=Same;length=4;children=711", "id=711;tag=Data;name=a;type=500",
          "id=712;tag=UDT;name=Same;length=8;children=713", "id=713;tag=Data;name=b;type=500",
          "id=714;tag=UDT;name=Same;length=4;children=711"},
         {710, 712, 714}, {"Same#1 size 4" + none + "a]", "Same#2 size 8" + none + "b]",
                           "Same#1 size 4" + none + "a]"}, {}},
        {{"id=720;tag=UDT;name=<unnamed-tag>;length=8;children=721",
          "id=721;tag=Data;name=inner;type=722;kind=7;offset=4",
          "id=722;tag=UDT;name=<unnamed-tag>;length=4;children=723",
          "id=723;tag=Data;name=x;type=500"},
         {720, 722}, {"<unnamed-tag>#2 size 8 bases[] vbases[] nested[4:<unnamed-tag>#1] methods[] "
                      "data[inner]", "<unnamed-tag>#1 size 4" + none + "x]"}, {}},
        // Only a damaged database makes a type contain itself: the descent ends there.
        {{"id=730;tag=UDT;name=Loop;length=4;children=731",
          "id=731;tag=Data;name=self;type=730;kind=7"},
         {730}, {"Loop#1 size 4" + none + "self]"}, {}},
        // clang-format on
    };
    for (const auto &c : cases) {
        const QStringList answers = row(c.edits, 0, [&] {
            QStringList descriptions;
            for (DWORD id : c.ids)
                descriptions << describe(module()->classInfoById(id));
            return descriptions;
        });
        EXPECT_EQ(answers, c.descriptions + c.lines) << c.edits.join(' ').toStdString();
    }
}

TEST_F(ClassRecords, OneClassInTwoModulesIsOneDescriptionUnlessTheLayoutsDiffer)
{
    const QString other = QStringLiteral("C:\\dir\\other.dll");
    for (const QString change : {"", "100:length=68"}) {
        restart();
        FakeDia::define(other, m_records);
        edit({change}, other);
        open({ModInfo(0, ProgPath), ModInfo(0x10000000, other)});
        ClassInfo *first = module(0)->classInfoById(100);
        ClassInfo *second = module(1)->classInfoById(100);
        EXPECT_EQ(first == second, change.isEmpty());
        EXPECT_EQ(m_dia->classInfos().size(), change.isEmpty() ? 4 : 5);
        EXPECT_EQ(m_dia->registry->byName.value("D").size(), change.isEmpty() ? 1 : 2);
        EXPECT_EQ(module(1)->classCache.value(400), module(0)->classCache.value(400));
        close();
    }
}

// What only a direct caller can hand in: a null, or a description already registered.
TEST(ClassInfoRegistry, NullIsReportedAndARegisteredDescriptionStays)
{
    ClassInfoRegistry registry;
    ClassInfo *a = new ClassInfo, *again = a, *none = nullptr;
    registry.takeOwnershipAndSetId(&a);
    registry.takeOwnershipAndSetId(&again);
    CoutCapture out;
    registry.takeOwnershipAndSetId(&none);
    EXPECT_EQ(out.lines(),
              QStringList("error in ClassInfoRegistry::takeOwnershipAndSetId: classInfo is NULL"));
    EXPECT_EQ(again, a);
    EXPECT_EQ(registry.byId.keys(), QList<int>({1}));
}

TEST(ClassInfoEquality, RegisteredByIdOthersByContentListsWithoutOrder)
{
    ClassInfo a, b, c;
    a.name = c.name = "A";
    b.name = "B";
    a.id = 1;
    b.id = 2;
    c.id = 3;
    typedef ClassInfo &I;
    const struct
    {
        const char *what;
        std::function<void(ClassInfo &, ClassInfo &)> change;
        bool equal;
    } cases[] = {
        // clang-format off
        {"nothing", [](I, I) {}, true},
        {"same id, other content", [](I l, I r) { l.id = r.id = 5, r.size = 9; }, true},
        {"other id, same content", [](I l, I r) { l.id = 5, r.id = 6; }, false},
        {"one registered", [](I, I r) { r.id = 9; }, true},
        {"size", [](I, I r) { r.size = 9; }, false},
        {"method", [](I, I r) { r.methodNames.insert("stop"); }, false},
        {"data", [](I, I r) { r.dataNames.insert("n"); }, false},
        {"order", [&](I, I r) { r.nestedUdts[0] = {&b, &a}; }, true},
        {"other under a name", [&](I, I r) { r.nestedUdts[0] = {&b, &c}; }, false},
        {"offset", [&](I, I r) { r.nestedUdts = {{4, {&a, &b}}}; }, false},
        {"length", [&](I, I r) { r.nestedUdts[0] = {&a, &b, &b}; }, false},
        // By name, a later element replacing an earlier one: [c, a] is [a, a].
        {"same name twice",
         [&](I l, I r) { l.nestedUdts[0] = {&a, &a}, r.nestedUdts[0] = {&c, &a}; }, true},
        {"bases", [&](I, I r) { r.bases[0] = {&b}; }, false},
        {"virtual bases", [&](I, I r) { r.virtualBases[0] = {&b}; }, false},
        {"self", [](I l, I r) { l.nestedUdts[0] = {&l}, r.nestedUdts[0] = {&r}; }, true},
        {"self, other data", [](I l, I r) { l.nestedUdts[0] = {&l}, r.nestedUdts[0] = {&r},
                                             r.dataNames.clear(); }, false},
        // clang-format on
    };
    for (const auto &row : cases) {
        ClassInfo left, right;
        for (ClassInfo *side : {&left, &right}) {
            side->name = "L";
            side->size = 8;
            side->methodNames = {"run"};
            side->dataNames = {"m"};
            side->nestedUdts[0] = {&a, &b};
        }
        row.change(left, right);
        EXPECT_EQ(left == right, row.equal) << row.what;
    }
}
