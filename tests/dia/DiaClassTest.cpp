#include "FakeDiaFixture.h"

#include <gmock/gmock.h>

using namespace DiaTest;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

namespace {

QList<int> keys(const ClassInfo::OffsetMap &map)
{
    return map.keys();
}

// class D : B, virtual V { T grid[2][3]; int *ptrs[2]; int nums[3]; static int count; ... }
class ClassRecords : public FakeDiaTest
{
protected:
    enum : DWORD {
        D = 100,
        B = 200,
        V = 300,
        T = 400,
        Int = 500,
        IntPtr = 501,
        IntArray = 502,
        PtrArray = 503,
        TRow = 504,
        TGrid = 505,
        Run = 101,
        Helper = 102,
        Grid = 103,
        Ptrs = 104,
        Nums = 105,
        Count = 106,
        BaseB = 107,
        BaseV = 108,
        Typedef = 109,
    };

    void SetUp() override
    {
        FakeDiaTest::SetUp();
        buildImage(image());
    }

    static void buildImage(FakeDia::Image &img)
    {
        FakeDia::addSymbol(img, B, SymTagUDT, "B").length = 4;
        FakeDia::addSymbol(img, V, SymTagUDT, "V").length = 4;
        FakeDia::addSymbol(img, T, SymTagUDT, "T").length = 4;
        FakeDia::addSymbol(img, Int, SymTagBaseType, "").length = 4;
        FakeDia::addSymbol(img, IntPtr, SymTagPointerType, "").length = 4;
        array(img, IntArray, Int, 3, 12);
        array(img, PtrArray, IntPtr, 2, 8);
        array(img, TRow, T, 3, 12);
        array(img, TGrid, TRow, 2, 24);

        FakeDia::Symbol &d = FakeDia::addSymbol(img, D, SymTagUDT, "D");
        d.length = 64;
        d.children << BaseB << BaseV << Run << Helper << Grid << Ptrs << Nums << Count << Typedef;
        FakeDia::addSymbol(img, Run, SymTagFunction, "D::run");
        FakeDia::addSymbol(img, Helper, SymTagFunction, "helper");
        member(img, Grid, "grid", TGrid, DataIsMember, 8);
        member(img, Ptrs, "ptrs", PtrArray, DataIsMember, 32);
        member(img, Nums, "nums", IntArray, DataIsMember, 40);
        member(img, Count, "count", Int, DataIsStaticMember, 0);
        FakeDia::Symbol &b = FakeDia::addSymbol(img, BaseB, SymTagBaseClass, "B");
        b.typeId = B;
        b.offset = 0;
        FakeDia::Symbol &v = FakeDia::addSymbol(img, BaseV, SymTagBaseClass, "V");
        v.typeId = V;
        v.virtualBase = 1;
        v.virtualBasePointerOffset = 4;
        v.offset = 60;
        FakeDia::addSymbol(img, Typedef, SymTagTypedef, "alias").typeId = Int;
    }

    static void array(FakeDia::Image &img, DWORD id, DWORD element, DWORD count, ULONGLONG length)
    {
        FakeDia::Symbol &a = FakeDia::addSymbol(img, id, SymTagArrayType, "");
        a.typeId = element;
        a.count = count;
        a.length = length;
    }

    static FakeDia::Symbol &member(FakeDia::Image &img, DWORD id, const QString &name, DWORD type,
                                   DWORD kind, LONG offset)
    {
        FakeDia::Symbol &m = FakeDia::addSymbol(img, id, SymTagData, name);
        m.typeId = type;
        m.dataKind = kind;
        m.offset = offset;
        return m;
    }

    FakeDia::Symbol &symbol(DWORD id, const QString &path = ProgPath)
    {
        return FakeDia::script().images[path].symbols[id];
    }
};

} // namespace

TEST_F(ClassRecords, DescribesBasesMembersAndNames)
{
    open(0);
    CoutCapture out;
    ClassInfo *d = module()->classInfoById(D);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(out.lines().isEmpty());
    EXPECT_EQ(d->name, "D");
    EXPECT_EQ(d->size, 64u);
    EXPECT_EQ(d->methodNames, (QSet<QString>{"run", "helper"}));
    EXPECT_EQ(d->dataNames, (QSet<QString>{"grid", "ptrs", "nums", "count"}));

    ASSERT_THAT(keys(d->bases), ElementsAre(0));
    ASSERT_EQ(d->bases.value(0).size(), 1);
    EXPECT_EQ(d->bases.value(0).first()->name, "B");
    ASSERT_THAT(keys(d->virtualBases), ElementsAre(4));
    EXPECT_EQ(d->virtualBases.value(4).first()->name, "V");

    // T[2][3] at 8 with T of size 4: one entry per element; arrays of scalars record nothing.
    EXPECT_THAT(keys(d->nestedUdts), ElementsAre(8, 12, 16, 20, 24, 28));
    for (const QList<ClassInfo *> &list : d->nestedUdts) {
        ASSERT_EQ(list.size(), 1);
        EXPECT_EQ(list.first()->name, "T");
    }

    // Parts are registered before the whole.
    const ClassInfo *b = d->bases.value(0).first();
    const ClassInfo *v = d->virtualBases.value(4).first();
    const ClassInfo *t = d->nestedUdts.value(8).first();
    EXPECT_EQ(b->id, 1u);
    EXPECT_EQ(v->id, 2u);
    EXPECT_EQ(t->id, 3u);
    EXPECT_EQ(d->id, 4u);
    EXPECT_EQ(m_dia->registry->nextId, 5u);
    EXPECT_EQ(m_dia->classInfos().size(), 4);
    EXPECT_EQ(module()->classCache.value("D"), d);
}

TEST_F(ClassRecords, SameClassTwiceIsReadOnce)
{
    symbol(Typedef).fail.insert("get_symTag", E_FAIL);
    open(0);
    CoutCapture out;
    ClassInfo *first = module()->classInfoById(D);
    ClassInfo *second = module()->classInfoById(D);
    EXPECT_EQ(first, second);
    // The children were walked once: their one failure shows once.
    EXPECT_THAT(out.lines(), ElementsAre("error: could not get child symTag"));
    EXPECT_EQ(m_dia->classInfos().size(), 4);
}

TEST_F(ClassRecords, SameClassInTwoModulesIsOneDescription)
{
    const QString other = QStringLiteral("C:\\dir\\other.dll");
    buildImage(image(other));
    open(QList<ModInfo>() << ModInfo(0, ProgPath) << ModInfo(0x10000000, other));
    DiaModule *a = module(0);
    DiaModule *b = module(1);
    ClassInfo *fromA = a->classInfoById(D);
    ClassInfo *fromB = b->classInfoById(D);
    EXPECT_EQ(fromA, fromB);
    EXPECT_EQ(b->classCache.value("D"), fromA);
    EXPECT_EQ(b->classCache.value("T"), a->classCache.value("T"));
    EXPECT_EQ(m_dia->classInfos().size(), 4);
}

TEST_F(ClassRecords, DifferentLayoutsUnderOneNameGetTheirOwnIds)
{
    const QString other = QStringLiteral("C:\\dir\\other.dll");
    buildImage(image(other));
    symbol(D, other).length = 68;
    open(QList<ModInfo>() << ModInfo(0, ProgPath) << ModInfo(0x10000000, other));
    ClassInfo *fromA = module(0)->classInfoById(D);
    ClassInfo *fromB = module(1)->classInfoById(D);
    ASSERT_NE(fromA, fromB);
    EXPECT_NE(fromA->id, fromB->id);
    EXPECT_EQ(m_dia->registry->byName.value("D"), (QList<ClassInfo *>{fromA, fromB}));
    EXPECT_EQ(m_dia->classInfos().size(), 5);
}

TEST_F(ClassRecords, LookupFailuresGiveNull)
{
    FakeDia::addSymbol(image(), 600, SymTagFunction, "f");
    open(0);
    CoutCapture out;
    EXPECT_EQ(module()->classInfoById(9999), nullptr);
    EXPECT_EQ(module()->classInfoById(600), nullptr);
    symbol(D).fail.insert("get_symTag", E_FAIL);
    EXPECT_EQ(module()->classInfoById(D), nullptr);
    symbol(D).fail.clear();
    symbol(D).fail.insert("get_name", E_FAIL);
    EXPECT_EQ(module()->classInfoById(D), nullptr);
    EXPECT_THAT(out.lines(),
                ElementsAre("error: could not get symbol 9999",
                            "error: symbol requested by id is no udt",
                            "error: could not get symtag", "error: could not get name of udt"));
    EXPECT_TRUE(m_dia->classInfos().isEmpty());
    EXPECT_TRUE(module()->classCache.isEmpty());
}

TEST_F(ClassRecords, UnknownSizeRegistersAnEmptyDescription)
{
    symbol(D).fail.insert("get_length", E_FAIL);
    open(0);
    CoutCapture out;
    ClassInfo *d = module()->classInfoById(D);
    EXPECT_THAT(out.lines(), ElementsAre("error: could not get size of udt"));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->size, 0u);
    EXPECT_EQ(d->id, 1u);
    EXPECT_TRUE(d->methodNames.isEmpty());
    EXPECT_TRUE(d->bases.isEmpty());
    EXPECT_TRUE(d->nestedUdts.isEmpty());
}

TEST_F(ClassRecords, ChildEnumerationFailures)
{
    symbol(D).fail.insert("findChildren", E_FAIL);
    open(0);
    CoutCapture out;
    ClassInfo *d = module()->classInfoById(D);
    ASSERT_NE(d, nullptr);
    EXPECT_THAT(out.lines(), ElementsAre("error: could not get udt children"));
    EXPECT_EQ(d->size, 64u);
    EXPECT_TRUE(d->dataNames.isEmpty());
}

TEST_F(ClassRecords, BrokenChildEnumeratorKeepsEarlierChildren)
{
    open(0);
    // Child enumerator of D: the first Next gives B, the second fails.
    FakeDia::script().nextFail.insert("symbols", qMakePair(1, E_FAIL));
    CoutCapture out;
    ClassInfo *d = module()->classInfoById(D);
    ASSERT_NE(d, nullptr);
    EXPECT_THAT(out.lines(), ElementsAre("error: could not traverse children"));
    EXPECT_THAT(keys(d->bases), ElementsAre(0));
    EXPECT_TRUE(d->virtualBases.isEmpty());
}

TEST_F(ClassRecords, EachFailingMemberCallIsReportedAndTheRestRecorded)
{
    struct Case
    {
        DWORD id;
        const char *method;
        const char *line;
    };
    const QList<Case> cases = {
        {BaseV, "get_virtualBaseClass", "error: could not determine whether base class is virtual"},
        {BaseV, "get_virtualBasePointerOffset",
         "error: could not resolve offset to virtual base-class"},
        {BaseB, "get_offset", "error: could not resolve offset to base-class"},
        {BaseB, "get_typeId", "error: could not get id of base class type"},
        {Run, "get_name", "error: could not resolve function diaFnName"},
        {Nums, "get_name", "error: could not resolve data name"},
        {Nums, "get_type", "error: could not resolve data type"},
        {Nums, "get_dataKind", "error: could not resolve data kind of nested data element"},
        {Grid, "get_offset", "error: could not resolve offset of nested data elementD grid"},
        {TGrid, "get_symTag", "error: could not resolve symTag of data type"},
        {T, "get_symIndexId", "error: could not resolve symIndexId of nested udt"},
        {TGrid, "get_count", "error: could not resolve array element count"},
        {TRow, "get_length", "error: could not resolve length of array"},
        {TRow, "get_type", "error: could not resolve child type of array"},
        {BaseV, "get_symTag", "error: could not get child symTag"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.method);
        FakeDia::reset();
        buildImage(image());
        symbol(c.id).fail.insert(c.method, E_FAIL);
        open(0);
        CoutCapture out;
        ClassInfo *d = module()->classInfoById(D);
        ASSERT_NE(d, nullptr);
        EXPECT_THAT(out.lines(), ElementsAre(c.line));
        // Still registered, with what could be read.
        EXPECT_NE(d->id, 0u);
        EXPECT_EQ(d->dataNames.contains("count"), true);
        EXPECT_EQ(d->methodNames.contains("helper"), true);
        m_dia.reset();
        EXPECT_EQ(FakeDia::liveObjects(), m_baseline);
    }
}

TEST_F(ClassRecords, MemberFailuresLeaveOutOnlyTheirPart)
{
    symbol(Nums).fail.insert("get_dataKind", E_FAIL);
    symbol(Grid).fail.insert("get_offset", E_FAIL);
    symbol(Run).fail.insert("get_name", E_FAIL);
    symbol(BaseV).fail.insert("get_virtualBasePointerOffset", E_FAIL);
    open(0);
    CoutCapture out;
    ClassInfo *d = module()->classInfoById(D);
    ASSERT_NE(d, nullptr);
    // The name of a member is kept even when its kind is not known.
    EXPECT_TRUE(d->dataNames.contains("nums"));
    EXPECT_EQ(d->methodNames, QSet<QString>{"helper"});
    EXPECT_TRUE(d->virtualBases.isEmpty());
    EXPECT_THAT(keys(d->bases), ElementsAre(0));
    // A member whose offset is unknown still has its type looked at, from offset 0.
    EXPECT_THAT(keys(d->nestedUdts), ElementsAre(0, 4, 8, 12, 16, 20));
}

TEST_F(ClassRecords, ArraysThatCannotBeSplitRecordNothing)
{
    symbol(TRow).length = 13; // not a whole multiple of the count
    open(0);
    ClassInfo *d = module()->classInfoById(D);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->nestedUdts.isEmpty());
    EXPECT_EQ(m_dia->classInfos().size(), 3); // B, V, D: T was never reached

    m_dia.reset();
    FakeDia::reset();
    buildImage(image());
    symbol(TGrid).count = 0;
    open(0);
    EXPECT_TRUE(module()->classInfoById(D)->nestedUdts.isEmpty());
}

TEST_F(ClassRecords, HugeScalarArraysCostNothing)
{
    // int nums[0x40000000]: nothing to record, and no list of a billion offsets either.
    symbol(IntArray).count = 0x40000000;
    symbol(IntArray).length = 0x100000000ull;
    // A class array claiming more elements than any real object holds is not believed.
    symbol(TGrid).count = 0x10000000;
    symbol(TGrid).length = 0x10000000ull * 12;
    open(0);
    ClassInfo *d = module()->classInfoById(D);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->nestedUdts.isEmpty());
}

TEST_F(ClassRecords, SelfReferenceThroughASharedNameEnds)
{
    // Two distinct types that carry one name, the second embedded in the first: the name is
    // met again while the first is still being read.
    FakeDia::Image &img = image();
    FakeDia::Symbol &outer = FakeDia::addSymbol(img, 700, SymTagUDT, "<unnamed-tag>");
    outer.length = 8;
    outer.children << 701;
    member(img, 701, "inner", 702, DataIsMember, 4);
    FakeDia::Symbol &inner = FakeDia::addSymbol(img, 702, SymTagUDT, "<unnamed-tag>");
    inner.length = 4;
    inner.children << 703;
    member(img, 703, "x", Int, DataIsMember, 0);
    open(0);
    ClassInfo *c = module()->classInfoById(700);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->size, 8u);
    EXPECT_TRUE(c->dataNames.contains("inner"));
    EXPECT_TRUE(c->nestedUdts.isEmpty());
    EXPECT_EQ(module()->classInfoById(702), c); // by name, as the cache goes
    EXPECT_EQ(m_dia->classInfos().size(), 1);
}

TEST(ClassInfoRegistry, IdsFromOneInRegistrationOrder)
{
    ClassInfoRegistry registry;
    EXPECT_EQ(registry.nextId, 1u);
    ClassInfo *a = new ClassInfo;
    a->name = "A";
    ClassInfo *b = new ClassInfo;
    b->name = "B";
    registry.takeOwnershipAndSetId(&a);
    registry.takeOwnershipAndSetId(&b);
    EXPECT_EQ(a->id, 1u);
    EXPECT_EQ(b->id, 2u);
    EXPECT_EQ(registry.nextId, 3u);
    EXPECT_EQ(registry.byId.value(1), a);
    EXPECT_EQ(registry.byId.value(2), b);

    // An equal description is replaced by the registered one.
    ClassInfo *a2 = new ClassInfo;
    a2->name = "A";
    registry.takeOwnershipAndSetId(&a2);
    EXPECT_EQ(a2, a);
    EXPECT_EQ(registry.nextId, 3u);

    // Handing in a registered one again changes nothing.
    ClassInfo *same = a;
    registry.takeOwnershipAndSetId(&same);
    EXPECT_EQ(same, a);
    EXPECT_EQ(registry.byId.size(), 2);

    // Same name, other content: a second entry under the name.
    ClassInfo *a3 = new ClassInfo;
    a3->name = "A";
    a3->size = 4;
    registry.takeOwnershipAndSetId(&a3);
    EXPECT_NE(a3, a);
    EXPECT_EQ(a3->id, 3u);
    EXPECT_EQ(registry.byName.value("A"), (QList<ClassInfo *>{a, a3}));
}

TEST(ClassInfoRegistry, NullIsReportedAndChangesNothing)
{
    ClassInfoRegistry registry;
    CoutCapture out;
    ClassInfo *none = nullptr;
    registry.takeOwnershipAndSetId(&none);
    registry.takeOwnershipAndSetId(nullptr);
    EXPECT_THAT(
        out.lines(),
        ElementsAre("error in ClassInfoRegistry::takeOwnershipAndSetId: classInfo is NULL",
                    "error in ClassInfoRegistry::takeOwnershipAndSetId: classInfo is NULL"));
    EXPECT_EQ(registry.nextId, 1u);
    EXPECT_TRUE(registry.byName.isEmpty());
}

TEST(ClassInfoEquality, RegisteredCompareByIdOthersByContent)
{
    ClassInfo x;
    x.name = "X";
    ClassInfo y;
    y.name = "Y";
    x.id = 5;
    y.id = 5;
    EXPECT_TRUE(x == y);
    y.id = 6;
    EXPECT_FALSE(x == y);

    ClassInfo p;
    ClassInfo q;
    p.name = q.name = "P";
    p.size = q.size = 8;
    p.methodNames = q.methodNames = {"run"};
    p.dataNames = q.dataNames = {"m"};
    q.id = 9; // one side unregistered: content decides
    EXPECT_TRUE(p == q);
    q.dataNames.insert("n");
    EXPECT_FALSE(p == q);
    q.dataNames = p.dataNames;
    q.methodNames.insert("stop");
    EXPECT_FALSE(p == q);
    q.methodNames = p.methodNames;
    q.size = 9;
    EXPECT_FALSE(p == q);
}

TEST(ClassInfoEquality, OffsetMapsAndListsIgnoreOrderButNotContent)
{
    ClassInfo a, b, c;
    a.name = "A";
    a.id = 1;
    b.name = "B";
    b.id = 2;
    c.name = "A";
    c.id = 3;

    ClassInfo left, right;
    left.name = right.name = "L";
    left.nestedUdts[0] = {&a, &b};
    right.nestedUdts[0] = {&b, &a};
    EXPECT_TRUE(left == right);

    right.nestedUdts[0] = {&b, &c}; // same names, other description under "A"
    EXPECT_FALSE(left == right);

    right.nestedUdts.clear();
    right.nestedUdts[4] = {&a, &b}; // other offset
    EXPECT_FALSE(left == right);

    right.nestedUdts.clear();
    right.nestedUdts[0] = {&a, &b, &b}; // other length
    EXPECT_FALSE(left == right);

    // Indexed by name, the later one replacing the earlier: [c, a] equals [a, a].
    left.nestedUdts[0] = {&a, &a};
    right.nestedUdts[0] = {&c, &a};
    EXPECT_TRUE(left == right);

    right.nestedUdts[0] = {&a, &a};
    right.bases[0] = {&b};
    EXPECT_FALSE(left == right);
    right.bases.clear();
    right.virtualBases[0] = {&b};
    EXPECT_FALSE(left == right);
}

TEST(ClassInfoEquality, SelfContainingDescriptionsCompareInFiniteTime)
{
    ClassInfo a, b;
    a.name = b.name = "S";
    a.nestedUdts[0] = {&a};
    b.nestedUdts[0] = {&b};
    EXPECT_TRUE(a == b);
    b.dataNames.insert("x");
    EXPECT_FALSE(a == b);
}
