// Queries on a session over the builder's classes image, checked against what its source says.
#include "DiaSupport.h"

using namespace DiaTest;

namespace {

class Session : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(dia.open(TestSupport::builtImageDir("classes/classes.exe")));
    }
    static void TearDownTestSuite() { dia = Dia(); }

    struct Row
    {
        const char *function, *path, *expected;
    };

    static Symbol only(std::vector<Symbol> found)
    {
        return found.size() == 1 ? found[0] : Symbol();
    }

    // From a function, follows steps ("type", "class": a function type's class, else the name
    // of a child) to a symbol and answers its property, the last word. Every step passes
    // through the symbol's id, which must name the same symbol again.
    static QString ask(Dia &dia, const char *function, const QString &path)
    {
        Symbol s = only(children(dia.global.get(), SymTagFunction, function, nsRegularExpression));
        QStringList steps = path.split(' ');
        const QString property = steps.takeLast();
        for (const QString &step : steps) {
            Symbol next, again;
            DWORD id = 0;
            if (s && step == "type")
                s->get_type(next.receive());
            else if (s && step == "class" && s->get_classParentId(&id) == S_OK)
                dia.session->symbolById(id, next.receive());
            else if (s)
                next = only(children(s.get(), SymTagNull, qPrintable(step)));
            if (next)
                dia.session->symbolById(value(next.get(), &IDiaSymbol::get_symIndexId).toUInt(),
                                        again.receive());
            EXPECT_EQ(nameOf(again.get()), nameOf(next.get())) << step.toStdString();
            s = again;
        }
        using S = IDiaSymbol;
        const std::map<QString, std::function<QString(S *)>> properties = {
            {"name", nameOf},
            {"n", [](S *s) { return QString::number(s ? children(s, SymTagNull).size() : 0); }},
            {"tag", [](S *s) { return value(s, &S::get_symTag); }},
            {"len", [](S *s) { return value<ULONGLONG>(s, &S::get_length); }},
            {"count", [](S *s) { return value(s, &S::get_count); }},
            {"conv", [](S *s) { return value(s, &S::get_callingConvention); }},
            {"adjust", [](S *s) { return value(s, &S::get_thisAdjust); }},
            {"parent", [](S *s) { return value(s, &S::get_classParentId); }},
            {"kind", [](S *s) { return value(s, &S::get_dataKind); }},
            {"offset", [](S *s) { return value(s, &S::get_offset); }},
            {"virtual", [](S *s) { return value(s, &S::get_virtualBaseClass); }},
            {"vbptr", [](S *s) { return value(s, &S::get_virtualBasePointerOffset); }},
        };
        return properties.at(property)(s.get());
    }

    static Dia dia;
};

Dia Session::dia;

TEST_F(Session, FunctionsClassesAndMembersAnswerAsTheSourceDeclaresThem)
{
    const Row rows[] = {
        // Function types: convention, class, this adjustment (to V, to Second); a free
        // function's has neither class nor adjustment.
        {"D::value", "type conv", "11"},
        {"D::value", "type adjust", "84"},
        {"Multi::second", "type adjust", "8"},
        {"D::make", "type conv", "0"},
        {"D::make", "type class name", "D"},
        {"D::value", "class name", "D"},
        {"Outer::Inner<int>::get", "type class name", "Outer::Inner<int>"},
        {"main", "type tag", "13"},
        {"main", "type adjust", "-"},
        {"main", "type parent", "-"},
        // The class reached through a method's forward reference is the definition: methods,
        // data, static data, bases, each child knowing its class.
        {"D::make", "type class len", "92"},
        {"D::make", "type class make class name", "D"},
        {"D::make", "type class d kind", "7"},
        {"D::make", "type class d offset", "72"},
        {"B::sum", "type class y offset", "4"},
        {"B::sum", "type class count kind", "8"},
        {"B::sum", "type class count offset", "-"},
        {"D::make", "type class B virtual", "0"},
        {"D::make", "type class B offset", "0"},
        {"D::make", "type class B vbptr", "-"},
        {"D::make", "type class V virtual", "1"},
        {"D::make", "type class V vbptr", "68"},
        {"D::make", "type class V offset", "-"},
        {"D::make", "type class V type len", "8"},
        {"Multi::second", "type class Second offset", "8"},
        // Arrays of arrays, arrays of pointers, and a const pointee seen as its type.
        {"B::sum", "type class grid type count", "2"},
        {"B::sum", "type class grid type len", "24"},
        {"B::sum", "type class grid type type count", "3"},
        {"B::sum", "type class grid type type type tag", "16"},
        {"B::sum", "type class grid type type type n", "0"},
        {"B::sum", "type class pointers type type tag", "14"},
        {"V::value", "type class label type type tag", "16"},
        // Two classes of one name, one per translation unit, of other sizes and members; a
        // virtual base inherited rather than named is a virtual base of the class that inherits it.
        {"*Same::first", "type class len", "4"},
        {"*Same::third", "type class len", "40"},
        {"*Same::second", "type class len", "40"},
        {"*Same::first", "type class a kind", "7"},
        {"*Same::third", "type class weights kind", "7"},
        {"E::last", "type class D virtual", "0"},
        {"E::last", "type class V virtual", "1"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(ask(dia, row.function, row.path), row.expected)
            << row.function << ": " << row.path;
}

// Patterns as the reader passes them: a plain name is itself alone, case-sensitive.
TEST_F(Session, NameSearchesFindWhatTheirPatternsSay)
{
    const struct
    {
        SymTagEnum tag;
        const char *pattern;
        size_t expected;
    } rows[] = {
        {SymTagFunction, "D::~D", 3},        {SymTagFunction, "D::*", 6},
        {SymTagFunction, "?::~?", 9},        {SymTagFunction, "d::make", 0},
        {SymTagFunction, "*", 49},           {SymTagPublicSymbol, "__penter", 1},
        {SymTagPublicSymbol, "D::value", 0}, {SymTagPublicSymbol, "?value@D@@*", 3},
    };
    for (const auto &row : rows)
        EXPECT_EQ(children(dia.global.get(), row.tag, row.pattern, nsRegularExpression).size(),
                  row.expected)
            << row.pattern;
    for (DWORD id : {0u, 0x1FFFFFFFu, 0x4FFFFFFFu, 0xF0000001u}) {
        Symbol bad;
        EXPECT_TRUE(FAILED(dia.session->symbolById(id, bad.receive())) && !bad) << id;
    }
}

} // namespace
