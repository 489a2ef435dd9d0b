// Queries on a session over this folder's classes image, checked against what its source says.
// (Publics and lines against llvm-pdbutil: SharedImagesTest, for this image too.)
#include "TestImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

using namespace dstest;

namespace {

class Session : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_dia = new Dia;
        ASSERT_TRUE(openImage(imagePath("dsclasses.exe"), *s_dia));
    }
    static void TearDownTestSuite()
    {
        delete s_dia;
        s_dia = nullptr;
    }

    IDiaSession *session() const { return s_dia->session.get(); }
    IDiaSymbol *global() const { return s_dia->global.get(); }

    ComPtr<IDiaSymbol> function(const char *name) const
    {
        auto found = children(global(), SymTagFunction, name, nsRegularExpression);
        EXPECT_EQ(found.size(), 1u) << name;
        return found.empty() ? ComPtr<IDiaSymbol>() : found.front();
    }

    ComPtr<IDiaSymbol> byId(DWORD id) const
    {
        ComPtr<IDiaSymbol> s;
        EXPECT_EQ(session()->symbolById(id, s.receive()), S_OK) << std::hex << id;
        return s;
    }

    ComPtr<IDiaSymbol> typeOf(IDiaSymbol *symbol) const
    {
        ComPtr<IDiaSymbol> t;
        EXPECT_EQ(symbol->get_type(t.receive()), S_OK);
        return t;
    }

    // The class of a member function, reached as the reader reaches it: through the id.
    ComPtr<IDiaSymbol> classOf(const char *method) const
    {
        ComPtr<IDiaSymbol> type = typeOf(function(method).get());
        DWORD id = 0;
        EXPECT_EQ(type->get_classParentId(&id), S_OK);
        return byId(id);
    }

    std::map<std::string, ComPtr<IDiaSymbol>> members(IDiaSymbol *udt, SymTagEnum tag) const
    {
        std::map<std::string, ComPtr<IDiaSymbol>> out;
        for (auto &c : children(udt, tag, nullptr, nsNone))
            out.emplace(nameOf(c.get()), c);
        return out;
    }

    static Dia *s_dia;
};

Dia *Session::s_dia = nullptr;

TEST_F(Session, PenterIsFoundExactlyOnceAndOnlyByItsName)
{
    auto penter = children(global(), SymTagPublicSymbol, "__penter", nsRegularExpression);
    ASSERT_EQ(penter.size(), 1u);
    EXPECT_EQ(nameOf(penter[0].get()), "__penter");
    EXPECT_EQ(rvaOf(penter[0].get()), rvaOf(function("penterHook").get()));

    // Publics carry decorated names; the public search does not see function names.
    EXPECT_TRUE(children(global(), SymTagPublicSymbol, "D::run", nsRegularExpression).empty());
    EXPECT_EQ(children(global(), SymTagPublicSymbol, "?run@D@@*", nsRegularExpression).size(), 2u);
}

TEST_F(Session, FunctionsOfAllModulesAreEnumeratedByName)
{
    std::multiset<std::string> names;
    for (auto &f : children(global(), SymTagFunction, "*", nsRegularExpression)) {
        EXPECT_EQ(tagOf(f.get()), DWORD(SymTagFunction));
        names.insert(nameOf(f.get()));
    }
    for (const char *n : {"penterHook", "B::hello", "D::get", "D::count", "freeFn", "localFn",
                          "stdFn", "main", "other", "Outer::Inner<int>::go", "D::D"})
        EXPECT_EQ(names.count(n), 1u) << n;
    EXPECT_EQ(names.count("D::run"), 2u);
    EXPECT_EQ(children(global(), SymTagFunction, "D::*", nsRegularExpression).size(), 5u);
    EXPECT_EQ(children(global(), SymTagFunction, "?????", nsRegularExpression).size(), 2u)
        << "stdFn and other";
    EXPECT_TRUE(children(global(), SymTagFunction, "d::run", nsRegularExpression).empty());
    // A null name is every function; a tag of no global children gives an empty list.
    EXPECT_EQ(children(global(), SymTagFunction, nullptr, nsNone).size(),
              children(global(), SymTagFunction, "*", nsRegularExpression).size());
    EXPECT_TRUE(children(global(), SymTagBlock, nullptr, nsNone).empty());
}

TEST_F(Session, FunctionPropertiesMatchThePublicsAndTheDemangler)
{
    ComPtr<IDiaSymbol> freeFn = function("freeFn");
    auto pub = children(global(), SymTagPublicSymbol, "?freeFn@@YAHH@Z", nsRegularExpression);
    ASSERT_EQ(pub.size(), 1u);
    EXPECT_EQ(rvaOf(freeFn.get()), rvaOf(pub[0].get()));
    EXPECT_GT(lengthOf(freeFn.get()), 5u);

    BStr undecorated;
    ASSERT_EQ(freeFn->get_undecoratedName(undecorated.receive()), S_OK);
    EXPECT_EQ(narrow(undecorated.get()), "freeFn");
    ASSERT_EQ(pub[0]->get_undecoratedName(undecorated.receive()), S_OK);
    EXPECT_EQ(narrow(undecorated.get()), "int __cdecl freeFn(int)");
    EXPECT_EQ(lengthOf(pub[0].get()), ~0ull) << "publics have no length";
}

TEST_F(Session, FindSymbolByRvaTakesTheFunctionOrTheNearestPublicBelow)
{
    auto shared = children(global(), SymTagPublicSymbol, "?shared@D@@2HA", nsRegularExpression);
    ASSERT_EQ(shared.size(), 1u);
    const DWORD rva = rvaOf(shared[0].get());
    ComPtr<IDiaSymbol> found;
    ASSERT_EQ(session()->findSymbolByRVA(rva, SymTagPublicSymbol, found.receive()), S_OK);
    EXPECT_EQ(nameOf(found.get()), "?shared@D@@2HA");
    // Data is not a function: the function search finds nothing, the untyped one the public.
    EXPECT_EQ(session()->findSymbolByRVA(rva, SymTagFunction, found.receive()), S_FALSE);
    ASSERT_EQ(session()->findSymbolByRVA(rva, SymTagNull, found.receive()), S_OK);
    EXPECT_EQ(tagOf(found.get()), DWORD(SymTagPublicSymbol));
    // At code the untyped search prefers the function.
    const DWORD code = rvaOf(function("freeFn").get());
    ASSERT_EQ(session()->findSymbolByRVA(code + 1, SymTagNull, found.receive()), S_OK);
    EXPECT_EQ(tagOf(found.get()), DWORD(SymTagFunction));
    EXPECT_EQ(nameOf(found.get()), "freeFn");
    EXPECT_EQ(session()->findSymbolByRVA(code, SymTagUDT, found.receive()), S_FALSE);
    EXPECT_EQ(session()->findSymbolByRVA(0, SymTagPublicSymbol, found.receive()), S_FALSE);
    // Outside every function: nothing.
    ComPtr<IDiaSymbol> none;
    EXPECT_EQ(session()->findSymbolByRVA(0x10, SymTagFunction, none.receive()), S_FALSE);
    EXPECT_FALSE(none);
    EXPECT_EQ(session()->findSymbolByRVA(0x7FFFFFFF, SymTagFunction, none.receive()), S_FALSE);
}

TEST_F(Session, PublicsCanBeSearchedByUndecoratedName)
{
    auto found = children(global(), SymTagPublicSymbol, "int __cdecl freeFn(int)",
                          nsfUndecoratedName | nsfCaseSensitive);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(nameOf(found[0].get()), "?freeFn@@YAHH@Z");
    EXPECT_EQ(children(global(), SymTagPublicSymbol, "*D::run(*",
                       nsfUndecoratedName | nsRegularExpression)
                  .size(),
              2u);
}

TEST_F(Session, LinesOfARangeComeInAddressOrderAndCoverIt)
{
    ComPtr<IDiaSymbol> freeFn = function("freeFn");
    const DWORD start = rvaOf(freeFn.get());
    const DWORD length = DWORD(lengthOf(freeFn.get()));
    ComPtr<IDiaEnumLineNumbers> lines;
    ASSERT_EQ(session()->findLinesByRVA(start, length, lines.receive()), S_OK);
    LONG count = 0;
    ASSERT_EQ(lines->get_Count(&count), S_OK);
    ASSERT_GE(count, 3) << "freeFn spans several lines";
    std::vector<ComPtr<IDiaLineNumber>> records;
    IDiaLineNumber *batch[8] = {};
    ULONG fetched = 0;
    EXPECT_EQ(lines->Next(8, batch, &fetched), S_FALSE) << "fewer than asked";
    ASSERT_EQ(fetched, ULONG(count));
    for (ULONG i = 0; i < fetched; ++i)
        records.emplace_back(batch[i]);
    EXPECT_EQ(lines->Next(1, batch, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);

    DWORD expectedRva = start, previousLine = 0;
    for (auto &r : records) {
        DWORD rva = 0, len = 0, line = 0;
        r->get_relativeVirtualAddress(&rva);
        r->get_length(&len);
        r->get_lineNumber(&line);
        EXPECT_EQ(rva, expectedRva) << "records are contiguous";
        EXPECT_GT(len, 0u);
        EXPECT_GT(line, previousLine);
        expectedRva = rva + len;
        previousLine = line;
    }
    EXPECT_EQ(expectedRva, start + length);

    // An inner address gets the record that holds it; a range inside one record gets one.
    ComPtr<IDiaEnumLineNumbers> inner;
    ASSERT_EQ(session()->findLinesByRVA(start + length - 1, 1, inner.receive()), S_OK);
    ASSERT_EQ(inner->get_Count(&count), S_OK);
    EXPECT_EQ(count, 1);
    // Nothing far away.
    ComPtr<IDiaEnumLineNumbers> nothing;
    ASSERT_EQ(session()->findLinesByRVA(0x7FFF0000, 16, nothing.receive()), S_OK);
    ASSERT_EQ(nothing->get_Count(&count), S_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(nothing->Next(1, batch, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(nothing->Next(2, batch, nullptr), E_POINTER);
}

TEST_F(Session, FunctionTypesTellConventionClassAndThisAdjust)
{
    struct Want
    {
        const char *name;
        DWORD convention;
        bool hasClass;
    };
    for (const Want &w :
         {Want{"D::get", CV_CALL_THISCALL, true}, Want{"B::hello", CV_CALL_THISCALL, true},
          Want{"D::count", CV_CALL_NEAR_C, true}, Want{"freeFn", CV_CALL_NEAR_C, false},
          Want{"stdFn", CV_CALL_NEAR_STD, false}}) {
        SCOPED_TRACE(w.name);
        ComPtr<IDiaSymbol> type = typeOf(function(w.name).get());
        ASSERT_TRUE(type);
        EXPECT_EQ(tagOf(type.get()), DWORD(SymTagFunctionType));
        DWORD convention = 99, classId = 0;
        EXPECT_EQ(type->get_callingConvention(&convention), S_OK);
        EXPECT_EQ(convention, w.convention);
        LONG adjust = 99;
        if (w.hasClass) {
            ASSERT_EQ(type->get_classParentId(&classId), S_OK);
            EXPECT_EQ(tagOf(byId(classId).get()), DWORD(SymTagUDT));
            EXPECT_EQ(type->get_thisAdjust(&adjust), S_OK);
            EXPECT_EQ(adjust, 0);
        } else {
            EXPECT_EQ(type->get_classParentId(&classId), S_FALSE);
            EXPECT_EQ(type->get_thisAdjust(&adjust), S_FALSE);
        }
    }
    EXPECT_EQ(nameOf(classOf("D::get").get()), "D");
    EXPECT_EQ(nameOf(classOf("B::hello").get()), "B");
    EXPECT_EQ(nameOf(classOf("Outer::Inner<int>::go").get()), "Outer::Inner<int>");
}

TEST_F(Session, ClassReachedThroughAForwardReferenceIsItsDefinition)
{
    ComPtr<IDiaSymbol> d = classOf("D::get");
    ASSERT_TRUE(d);
    EXPECT_EQ(idOf(d.get()), idOf(classOf("D::count").get()));
    EXPECT_EQ(idOf(d.get()), idOf(classOf("D::D").get()));
    // Defined with size and members, not the empty forward declaration.
    EXPECT_GT(lengthOf(d.get()), 40u);
    EXPECT_FALSE(children(d.get(), SymTagNull, nullptr, nsNone).empty());

    // Fwd is only declared in the first module and defined in the second.
    auto data = members(d.get(), SymTagData);
    ASSERT_TRUE(data.count("link"));
    ComPtr<IDiaSymbol> pointer = typeOf(data["link"].get());
    EXPECT_EQ(tagOf(pointer.get()), DWORD(SymTagPointerType));
    EXPECT_EQ(lengthOf(pointer.get()), 4u);
    ComPtr<IDiaSymbol> fwd = typeOf(pointer.get());
    EXPECT_EQ(tagOf(fwd.get()), DWORD(SymTagUDT));
    EXPECT_EQ(nameOf(fwd.get()), "Fwd");
    EXPECT_EQ(lengthOf(fwd.get()), 24u);
    EXPECT_EQ(members(fwd.get(), SymTagData).size(), 3u);
}

TEST_F(Session, ClassChildrenAreMethodsDataAndBases)
{
    ComPtr<IDiaSymbol> d = classOf("D::get");
    ASSERT_TRUE(d);

    std::multiset<std::string> methods;
    for (auto &m : children(d.get(), SymTagFunction, nullptr, nsNone)) {
        EXPECT_EQ(tagOf(m.get()), DWORD(SymTagFunction));
        methods.insert(nameOf(m.get()));
        DWORD parent = 0;
        EXPECT_EQ(m->get_classParentId(&parent), S_OK);
        EXPECT_EQ(parent, idOf(d.get()));
    }
    EXPECT_EQ(methods.count("run"), 2u) << "both overloads";
    EXPECT_EQ(methods.count("get"), 1u);
    EXPECT_EQ(methods.count("count"), 1u);
    EXPECT_EQ(methods.count("D"), 1u);

    auto data = members(d.get(), SymTagData);
    for (const char *n : {"x", "arr", "one", "constOne", "link", "numbers", "shared"})
        EXPECT_TRUE(data.count(n)) << n;
    DWORD kind = 0;
    LONG offset = -1;
    ASSERT_EQ(data["x"]->get_dataKind(&kind), S_OK);
    EXPECT_EQ(kind, DWORD(DataIsMember));
    ASSERT_EQ(data["x"]->get_offset(&offset), S_OK);
    EXPECT_GE(offset, 4) << "after the base and the vbptr";
    ASSERT_EQ(data["shared"]->get_dataKind(&kind), S_OK);
    EXPECT_EQ(kind, DWORD(DataIsStaticMember));
    EXPECT_EQ(data["shared"]->get_offset(&offset), S_FALSE);

    // A const member shows its class, as DIA shows a modified type.
    EXPECT_EQ(tagOf(typeOf(data["constOne"].get()).get()), DWORD(SymTagUDT));
    EXPECT_EQ(idOf(typeOf(data["constOne"].get()).get()), idOf(typeOf(data["one"].get()).get()));

    // Filters by name and by tag.
    EXPECT_EQ(children(d.get(), SymTagData, "x", nsNone).size(), 1u);
    EXPECT_EQ(children(d.get(), SymTagNull, "run", nsNone).size(), 2u);
    EXPECT_EQ(children(d.get(), SymTagNull, "c*", nsRegularExpression).size(), 2u)
        << "count and constOne";
    EXPECT_TRUE(children(d.get(), SymTagData, "run", nsNone).empty());
}

TEST_F(Session, NestedTypesAreChildrenWithTheTypesOwnId)
{
    ComPtr<IDiaSymbol> d = classOf("D::get");
    auto nested = children(d.get(), SymTagUDT, nullptr, nsNone);
    ASSERT_EQ(nested.size(), 1u);
    EXPECT_EQ(nameOf(nested[0].get()), "D::Node");
    EXPECT_EQ(lengthOf(nested[0].get()), 4u);
    EXPECT_EQ(children(d.get(), SymTagNull, "D::Node", nsNone).size(), 1u);
    auto data = members(d.get(), SymTagData);
    ASSERT_TRUE(data.count("node"));
    EXPECT_EQ(idOf(typeOf(data["node"].get()).get()), idOf(nested[0].get()));
}

TEST_F(Session, BaseClassesTellOffsetOrVirtualBasePointerOffset)
{
    ComPtr<IDiaSymbol> d = classOf("D::get");
    ASSERT_TRUE(d);
    auto bases = members(d.get(), SymTagBaseClass);
    ASSERT_EQ(bases.size(), 2u);
    ASSERT_TRUE(bases.count("B") && bases.count("V"));

    BOOL isVirtual = 5;
    LONG offset = -1;
    ASSERT_EQ(bases["B"]->get_virtualBaseClass(&isVirtual), S_OK);
    EXPECT_EQ(isVirtual, 0);
    ASSERT_EQ(bases["B"]->get_offset(&offset), S_OK);
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(bases["B"]->get_virtualBasePointerOffset(&offset), S_FALSE);

    ASSERT_EQ(bases["V"]->get_virtualBaseClass(&isVirtual), S_OK);
    EXPECT_EQ(isVirtual, 1);
    ASSERT_EQ(bases["V"]->get_virtualBasePointerOffset(&offset), S_OK);
    EXPECT_EQ(offset, 4) << "the vbptr follows B's int";
    EXPECT_EQ(bases["V"]->get_offset(&offset), S_FALSE);

    for (const char *name : {"B", "V"}) {
        DWORD typeId = 0;
        ASSERT_EQ(bases[name]->get_typeId(&typeId), S_OK);
        ComPtr<IDiaSymbol> base = byId(typeId);
        EXPECT_EQ(tagOf(base.get()), DWORD(SymTagUDT));
        EXPECT_EQ(nameOf(base.get()), name);
        EXPECT_EQ(lengthOf(base.get()), 4u);
    }
    EXPECT_EQ(bases["B"]->get_typeId(nullptr), E_POINTER);
}

TEST_F(Session, ArraysTellCountLengthAndElementType)
{
    auto data = members(classOf("D::get").get(), SymTagData);
    ComPtr<IDiaSymbol> outer = typeOf(data["arr"].get());
    ASSERT_TRUE(outer);
    EXPECT_EQ(tagOf(outer.get()), DWORD(SymTagArrayType));
    DWORD count = 0;
    ASSERT_EQ(outer->get_count(&count), S_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(lengthOf(outer.get()), 2u * 3u * 4u);

    ComPtr<IDiaSymbol> inner = typeOf(outer.get());
    EXPECT_EQ(tagOf(inner.get()), DWORD(SymTagArrayType));
    ASSERT_EQ(inner->get_count(&count), S_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(lengthOf(inner.get()), 12u);

    ComPtr<IDiaSymbol> element = typeOf(inner.get());
    EXPECT_EQ(tagOf(element.get()), DWORD(SymTagUDT));
    EXPECT_EQ(nameOf(element.get()), "E");
    EXPECT_EQ(lengthOf(element.get()), 4u);

    ComPtr<IDiaSymbol> numbers = typeOf(data["numbers"].get());
    ASSERT_EQ(numbers->get_count(&count), S_OK);
    EXPECT_EQ(count, 4u);
    ComPtr<IDiaSymbol> integer = typeOf(numbers.get());
    EXPECT_EQ(tagOf(integer.get()), DWORD(SymTagBaseType));
    EXPECT_EQ(lengthOf(integer.get()), 4u);
    EXPECT_EQ(integer->get_count(&count), S_FALSE);
    EXPECT_TRUE(children(integer.get(), SymTagNull, nullptr, nsNone).empty());
}

TEST_F(Session, IdsAreStableAndNameEqualSymbols)
{
    std::set<DWORD> seen;
    for (auto &f : children(global(), SymTagFunction, "*", nsRegularExpression)) {
        const DWORD id = idOf(f.get());
        EXPECT_TRUE(seen.insert(id).second) << "ids are unique";
        ComPtr<IDiaSymbol> again = byId(id);
        EXPECT_EQ(idOf(again.get()), id);
        EXPECT_EQ(nameOf(again.get()), nameOf(f.get()));
        EXPECT_EQ(rvaOf(again.get()), rvaOf(f.get()));
    }
    ComPtr<IDiaSymbol> d = classOf("D::get");
    for (auto &c : children(d.get(), SymTagNull, nullptr, nsNone)) {
        const DWORD id = idOf(c.get());
        EXPECT_TRUE(seen.insert(id).second);
        ComPtr<IDiaSymbol> again = byId(id);
        EXPECT_EQ(tagOf(again.get()), tagOf(c.get()));
        EXPECT_EQ(nameOf(again.get()), nameOf(c.get()));
    }
    // The same children, in the same order, the second time.
    auto first = children(d.get(), SymTagNull, nullptr, nsNone);
    auto second = children(d.get(), SymTagNull, nullptr, nsNone);
    ASSERT_EQ(first.size(), second.size());
    for (size_t i = 0; i < first.size(); ++i)
        EXPECT_EQ(idOf(first[i].get()), idOf(second[i].get()));

    // The global list of classes names the same symbol as the member function's class.
    auto listed = children(global(), SymTagUDT, "D", nsNone);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(idOf(listed[0].get()), idOf(d.get()));
    EXPECT_EQ(children(global(), SymTagUDT, "Outer::Inner<*>", nsRegularExpression).size(), 1u);

    DWORD globalId = 0;
    ASSERT_EQ(global()->get_symIndexId(&globalId), S_OK);
    EXPECT_EQ(tagOf(byId(globalId).get()), DWORD(SymTagExe));

    ComPtr<IDiaSymbol> bad;
    EXPECT_TRUE(FAILED(session()->symbolById(0, bad.receive())));
    EXPECT_TRUE(FAILED(session()->symbolById(0x1FFFFFFF, bad.receive())));
    EXPECT_TRUE(FAILED(session()->symbolById(0x4FFFFFFF, bad.receive())));
    EXPECT_TRUE(FAILED(session()->symbolById(0xF0000001, bad.receive())));
    EXPECT_FALSE(bad);
}

TEST_F(Session, PropertiesThatDoNotApplyAnswerFalse)
{
    ComPtr<IDiaSymbol> fn = function("freeFn");
    DWORD dw = 0;
    LONG l = 0;
    BOOL b = 0;
    EXPECT_EQ(fn->get_dataKind(&dw), S_FALSE);
    EXPECT_EQ(fn->get_offset(&l), S_FALSE);
    EXPECT_EQ(fn->get_count(&dw), S_FALSE);
    EXPECT_EQ(fn->get_virtualBaseClass(&b), S_FALSE);
    EXPECT_EQ(fn->get_classParentId(&dw), S_FALSE);
    ComPtr<IDiaSymbol> method = function("D::get");
    ASSERT_EQ(method->get_classParentId(&dw), S_OK);
    EXPECT_EQ(dw, idOf(classOf("D::get").get()));

    auto pub = children(global(), SymTagPublicSymbol, "__penter", nsRegularExpression);
    ASSERT_EQ(pub.size(), 1u);
    ComPtr<IDiaSymbol> none;
    EXPECT_EQ(pub[0]->get_type(none.receive()), S_FALSE);
    EXPECT_FALSE(none);
}

} // namespace
