// The data source on this folder's image and those of the test-image builder: what every image
// must answer as llvm-pdbutil reads it, and the lines of folded functions. An image whose
// program database has Microsoft's shapes, which llvm-pdbutil cannot always read, is compared
// with its twin: the same image with lld-link's database.
#include "TestImage.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

using namespace dstest;

namespace {

std::vector<std::string> sharedImages()
{
    std::vector<std::string> out;
    std::istringstream in(DS_SHARED_IMAGES);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty())
            out.push_back(item);
    return out;
}

std::string baseName(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    const std::string file = path.substr(slash + 1);
    return file.substr(0, file.find('.'));
}

std::string imageNamed(const std::string &name)
{
    for (const std::string &entry : sharedImages()) {
        const std::string path = entry.substr(0, entry.find('='));
        if (baseName(path) == name)
            return path;
    }
    return std::string();
}

// An entry is the image's path, or "path=twin's PDB".
class SharedImage : public ::testing::TestWithParam<std::string>
{
protected:
    void SetUp() override
    {
        const std::string entry = GetParam();
        const size_t twin = entry.find('=');
        m_path = entry.substr(0, twin);
        m_pdb = twin == std::string::npos ? m_path.substr(0, m_path.size() - 4) + ".pdb"
                                          : entry.substr(twin + 1);
        ASSERT_TRUE(openImage(m_path, m_dia)) << m_path;
    }

    std::string m_path;
    std::string m_pdb; // what llvm-pdbutil reads
    Dia m_dia;
};

TEST_P(SharedImage, PublicsMatchThePdb)
{
    if (!haveTool())
        GTEST_SKIP() << "llvm-pdbutil not available";
    std::multimap<std::string, DWORD> want, got;
    std::set<std::pair<std::string, DWORD>> listed;
    for (const ToolPublic &p : toolPublics(m_pdb)) {
        want.emplace(p.name, p.rva);
        listed.emplace(p.name, p.rva);
    }
    for (auto &p : children(m_dia.global.get(), SymTagPublicSymbol, "*", nsRegularExpression))
        got.emplace(nameOf(p.get()), rvaOf(p.get()));
    EXPECT_FALSE(got.empty());
    EXPECT_EQ(got, want);
    // By address: a public at it, else the nearest below; stale records lie 16 to 48 bytes
    // after live ones.
    for (const auto &[name, rva] : want)
        for (DWORD at : {rva, rva + 16, rva + 32, rva + 48}) {
            ComPtr<IDiaSymbol> found;
            ASSERT_EQ(m_dia.session->findSymbolByRVA(at, SymTagPublicSymbol, found.receive()),
                      S_OK);
            const DWORD foundRva = rvaOf(found.get());
            EXPECT_TRUE(listed.count({nameOf(found.get()), foundRva}) && foundRva >= rva &&
                        foundRva <= at)
                << name << " + " << at - rva << " gave " << nameOf(found.get());
        }

    const size_t penters =
        children(m_dia.global.get(), SymTagPublicSymbol, "__penter", nsRegularExpression).size();
    EXPECT_EQ(penters, baseName(m_path) == "nopenter" ? 0u : 1u);
}

TEST_P(SharedImage, EveryFunctionStartHasThePdbsLineAndIsFoundByRva)
{
    if (!haveTool())
        GTEST_SKIP() << "llvm-pdbutil not available";
    std::map<DWORD, ToolLine> lines;
    for (const ToolLine &l : toolLines(m_pdb))
        lines.emplace(l.rva, l);

    auto functions = children(m_dia.global.get(), SymTagFunction, "*", nsRegularExpression);
    ASSERT_FALSE(functions.empty());
    for (auto &f : functions) {
        const DWORD start = rvaOf(f.get());
        const DWORD length = DWORD(lengthOf(f.get()));
        SCOPED_TRACE(nameOf(f.get()));
        for (DWORD rva : {start, start + length - 1}) {
            ComPtr<IDiaSymbol> found;
            ASSERT_EQ(m_dia.session->findSymbolByRVA(rva, SymTagFunction, found.receive()), S_OK);
            EXPECT_EQ(rvaOf(found.get()), start);
        }
        // The byte after the end belongs to the next function or to padding.
        ComPtr<IDiaSymbol> after;
        if (m_dia.session->findSymbolByRVA(start + length, SymTagFunction, after.receive()) ==
            S_OK) {
            EXPECT_NE(rvaOf(after.get()), start);
        }
        auto want = lines.find(start);
        if (want == lines.end())
            continue; // a function without line records (none in these images so far)
        ComPtr<IDiaEnumLineNumbers> records;
        ASSERT_EQ(m_dia.session->findLinesByRVA(start, 1, records.receive()), S_OK);
        IDiaLineNumber *raw = nullptr;
        ULONG fetched = 0;
        ASSERT_EQ(records->Next(1, &raw, &fetched), S_OK);
        ComPtr<IDiaLineNumber> line(raw);
        DWORD number = 0;
        line->get_lineNumber(&number);
        EXPECT_EQ(number, want->second.line);
        ComPtr<IDiaSourceFile> file;
        BStr name;
        ASSERT_EQ(line->get_sourceFile(file.receive()), S_OK);
        ASSERT_EQ(file->get_fileName(name.receive()), S_OK);
        EXPECT_EQ(narrow(name.get()), want->second.file);
    }
}

INSTANTIATE_TEST_SUITE_P(Images, SharedImage, ::testing::ValuesIn(sharedImages()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             return baseName(info.param.substr(0, info.param.find('=')));
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SharedImage);

TEST(FoldedImage, SeveralNamesAtOneAddress)
{
    if (imageNamed("folded").empty())
        GTEST_SKIP() << "the folded image is not built here";
    Dia dia;
    ASSERT_TRUE(openImage(imageNamed("folded"), dia));
    std::set<DWORD> rvas;
    for (const char *name : {"?addSeven@@YAHH@Z", "?plusSeven@@YAHH@Z", "_sevenMore"}) {
        auto p = children(dia.global.get(), SymTagPublicSymbol, name, nsRegularExpression);
        ASSERT_EQ(p.size(), 1u) << name;
        rvas.insert(rvaOf(p[0].get()));
    }
    ASSERT_EQ(rvas.size(), 1u);
    const DWORD rva = *rvas.begin();
    ComPtr<IDiaSymbol> found;
    ASSERT_EQ(dia.session->findSymbolByRVA(rva + 1, SymTagFunction, found.receive()), S_OK);
    EXPECT_EQ(rvaOf(found.get()), rva);
    const std::string name = nameOf(found.get());
    EXPECT_TRUE(name == "addSeven" || name == "plusSeven" || name == "sevenMore") << name;
    // The line record there is that of the function found, not of another of the names.
    const std::map<std::string, DWORD> lineOf = {
        {"addSeven", 3}, {"plusSeven", 8}, {"sevenMore", 13}};
    ComPtr<IDiaEnumLineNumbers> lines;
    ASSERT_EQ(dia.session->findLinesByRVA(rva, 1, lines.receive()), S_OK);
    LONG count = 0;
    ASSERT_EQ(lines->get_Count(&count), S_OK);
    EXPECT_EQ(count, 1);
    IDiaLineNumber *raw = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(lines->Next(1, &raw, &fetched), S_OK);
    ComPtr<IDiaLineNumber> line(raw);
    DWORD number = 0;
    ASSERT_EQ(line->get_lineNumber(&number), S_OK);
    EXPECT_EQ(number, lineOf.at(name));
    // The same answer every time.
    ComPtr<IDiaSymbol> again;
    ASSERT_EQ(dia.session->findSymbolByRVA(rva, SymTagFunction, again.receive()), S_OK);
    EXPECT_EQ(idOf(again.get()), idOf(found.get()));
}

// Two classes of one name, one per translation unit, and a virtual base inherited rather than
// named: each definition is a class of its own, reached as such from its own methods, and the
// inherited base is a virtual base of the class that inherits it.
TEST(SameNameImage, EachDefinitionIsAClassOfItsOwnAndInheritedVirtualBasesAreListed)
{
    if (imageNamed("samename").empty())
        GTEST_SKIP() << "the samename image is not built here";
    Dia dia;
    ASSERT_TRUE(openImage(imageNamed("samename"), dia));
    const auto classOf = [&](const char *method) {
        const auto f = children(dia.global.get(), SymTagFunction, method, nsRegularExpression);
        ComPtr<IDiaSymbol> type, udt;
        DWORD id = 0;
        if (f.size() != 1 || f[0]->get_type(type.receive()) != S_OK ||
            type->get_classParentId(&id) != S_OK ||
            dia.session->symbolById(id, udt.receive()) != S_OK)
            ADD_FAILURE() << "no class for " << method;
        return udt;
    };
    const ComPtr<IDiaSymbol> a = classOf("*Same::first"), b = classOf("*Same::third");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(nameOf(a.get()), nameOf(b.get()));
    EXPECT_NE(idOf(a.get()), idOf(b.get()));
    EXPECT_EQ(idOf(classOf("*Same::second").get()), idOf(b.get()));
    EXPECT_EQ(lengthOf(a.get()), 4u);
    EXPECT_EQ(lengthOf(b.get()), 40u);
    EXPECT_EQ(children(a.get(), SymTagData, "a", nsNone).size(), 1u);
    EXPECT_EQ(children(b.get(), SymTagData, "weights", nsNone).size(), 1u);

    std::map<std::string, BOOL> bases;
    for (auto &base : children(classOf("E::last").get(), SymTagBaseClass, nullptr, nsNone))
        EXPECT_EQ(base->get_virtualBaseClass(&bases[nameOf(base.get())]), S_OK);
    EXPECT_EQ(bases, (std::map<std::string, BOOL>{{"D", 0}, {"V", 1}}));
}

// Both runs of the built tool, end to end, on the sample with its database in Microsoft's
// shapes: what they record is what the sample with lld-link's database gives.
TEST(MsvcShapedImage, BothRunsRecordWhatTheUsualDatabaseGives)
{
    if (imageNamed("msvcfast").empty())
        GTEST_SKIP() << "the reshaped images are not built here";
    const std::string usual = cleanAndResolve("sample");
    ASSERT_NE(usual.find("|_main|"), std::string::npos) << usual;
    ASSERT_NE(usual.find("/examples/sample/main.cpp|"), std::string::npos) << usual;
    for (const char *shaped : {"msvcinc", "msvcfast"}) {
        SCOPED_TRACE(shaped);
        EXPECT_EQ(cleanAndResolve(shaped), usual);
        // A fast-link database's type indexes name the object files' records: no type is
        // taken from it.
        Dia dia;
        ASSERT_TRUE(openImage(imageNamed(shaped), dia));
        const auto main = children(dia.global.get(), SymTagFunction, "main", nsNone);
        ASSERT_EQ(main.size(), 1u);
        ComPtr<IDiaSymbol> type;
        EXPECT_EQ(main[0]->get_type(type.receive()),
                  std::string(shaped) == "msvcfast" ? S_FALSE : S_OK);
    }
}

} // namespace
