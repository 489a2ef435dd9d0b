// Loading: where the PDB is found, and every way a load can fail without taking the process down.
#include "PdbIndex.h"
#include "TestImage.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace dstest;
using TQ::PLATFORM::PDB::LoadResult;
using TQ::PLATFORM::PDB::PdbIndex;

namespace {

LoadResult loadResult(const std::string &path)
{
    std::unique_ptr<PdbIndex> index;
    return PdbIndex::load(path, index);
}

size_t findRsds(const std::string &image)
{
    const size_t at = image.find("RSDS");
    return at == std::string::npos ? 0 : at;
}

// The test image copied into a fresh folder, with a PDB of our choosing beside it.
struct CopiedImage
{
    TempDir dir;
    std::string exe = dir.path("dsclasses.exe");
    std::string pdb = dir.path("dsclasses.pdb");

    explicit CopiedImage(const std::string &pdbBytes)
    {
        copyFile(imagePath("dsclasses.exe"), exe);
        writeFile(pdb, pdbBytes);
    }
};

TEST(DataSource, ClassIsRegisteredBeforeMain)
{
    ASSERT_TRUE(newDataSource());
    ComPtr<IClassFactory> factory;
    CoInitialize(nullptr);
    ASSERT_EQ(CoGetClassObject(CLSID_DiaSource, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void **>(factory.receive())),
              S_OK);
    void *object = &object;
    EXPECT_EQ(factory->CreateInstance(factory.get(), IID_IDiaDataSource, &object),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
}

TEST(DataSource, FindsThePdbByEveryRecordedForm)
{
    for (const char *image : {"dsclasses.exe", "abs/dsabs.exe", "win/dswin.exe"}) {
        SCOPED_TRACE(image);
        Dia dia;
        EXPECT_TRUE(openImage(imagePath(image), dia));
    }
    // The absolute record still finds the PDB when the image is moved.
    TempDir dir;
    copyFile(imagePath("abs/dsabs.exe"), dir.path("moved.exe"));
    EXPECT_EQ(loadImage(dir.path("moved.exe")), S_OK);
    // A file-name-only record is looked up beside the image, not in the working folder.
    copyFile(imagePath("dsclasses.exe"), dir.path("alone.exe"));
    EXPECT_EQ(loadResult(dir.path("alone.exe")), LoadResult::NoPdb);
}

TEST(DataSource, MissingOrForeignInputsFail)
{
    TempDir dir;
    writeFile(dir.path("text.exe"), "this is not a portable executable\n");
    writeFile(dir.path("empty.exe"), "");
    EXPECT_EQ(loadResult(dir.path("nothing-here.exe")), LoadResult::NoImage);
    EXPECT_EQ(loadResult(dir.path("")), LoadResult::NoImage); // a folder
    EXPECT_EQ(loadResult(dir.path("text.exe")), LoadResult::NotPe);
    EXPECT_EQ(loadResult(dir.path("empty.exe")), LoadResult::NotPe);
    EXPECT_EQ(loadResult(imagePath("nodebug/dsnodebug.exe")), LoadResult::NoDebugInfo);

    for (const std::string &path :
         {dir.path("nothing-here.exe"), dir.path("text.exe"), imagePath("nodebug/dsnodebug.exe")})
        EXPECT_TRUE(FAILED(loadImage(path))) << path;

    ComPtr<IDiaDataSource> source = newDataSource();
    ASSERT_TRUE(source);
    EXPECT_TRUE(FAILED(source->loadDataForExe(nullptr, nullptr, nullptr)));
    const char16_t empty[] = u"";
    EXPECT_TRUE(FAILED(source->loadDataForExe(empty, nullptr, nullptr)));
    ComPtr<IDiaSession> session;
    EXPECT_TRUE(FAILED(source->openSession(session.receive())));
    EXPECT_FALSE(session);
    EXPECT_EQ(source->openSession(nullptr), E_POINTER);
}

TEST(DataSource, PdbOfAnotherBuildIsRefused)
{
    CopiedImage copy(readFile(imagePath("variant/dsclasses.pdb")));
    EXPECT_EQ(loadResult(copy.exe), LoadResult::Mismatch);
    EXPECT_TRUE(FAILED(loadImage(copy.exe)));
}

TEST(DataSource, AgeOrGuidChangedInTheImageIsRefused)
{
    const std::string original = readFile(imagePath("dsclasses.exe"));
    const size_t rsds = findRsds(original);
    ASSERT_NE(rsds, 0u);
    {
        CopiedImage copy(readFile(imagePath("dsclasses.pdb")));
        ASSERT_EQ(loadResult(copy.exe), LoadResult::Ok);
        std::string older = original;
        older[rsds + 20] = char(older[rsds + 20] + 1);
        writeFile(copy.exe, older);
        EXPECT_EQ(loadResult(copy.exe), LoadResult::Mismatch);
        std::string otherGuid = original;
        otherGuid[rsds + 9] = char(~otherGuid[rsds + 9]);
        writeFile(copy.exe, otherGuid);
        EXPECT_EQ(loadResult(copy.exe), LoadResult::Mismatch);
    }
}

TEST(DataSource, DamagedPdbFailsCleanly)
{
    const std::string pdb = readFile(imagePath("dsclasses.pdb"));
    ASSERT_GT(pdb.size(), 8192u);
    struct Case
    {
        const char *what;
        std::string bytes;
    };
    std::string garbage(pdb.size(), '\0');
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = char((i * 7919u + 13u) >> 3);
    std::string wrongDirectory = pdb;
    // Superblock: the directory's block-map address at offset 52; point it past the file.
    wrongDirectory[52] = '\xFF';
    wrongDirectory[53] = '\xFF';
    std::string hugeStreams = pdb;
    hugeStreams[44] = '\xFF'; // number of directory bytes
    hugeStreams[45] = '\xFF';
    hugeStreams[46] = '\xFF';
    const Case cases[] = {
        {"empty", std::string()},
        {"header only", pdb.substr(0, 32)},
        {"first block", pdb.substr(0, 4096)},
        {"half", pdb.substr(0, pdb.size() / 2)},
        {"all but one block", pdb.substr(0, pdb.size() - 4096)},
        {"garbage", garbage},
        {"directory out of file", wrongDirectory},
        {"directory too large", hugeStreams},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        CopiedImage copy(c.bytes);
        const LoadResult result = loadResult(copy.exe);
        EXPECT_NE(result, LoadResult::Ok);
        EXPECT_TRUE(result == LoadResult::Corrupt || result == LoadResult::Mismatch);
        EXPECT_TRUE(FAILED(loadImage(copy.exe)));
    }
}

TEST(DataSource, SessionsOfOneSourceShareTheIndex)
{
    Dia dia;
    ASSERT_TRUE(openImage(imagePath("dsclasses.exe"), dia));
    ComPtr<IDiaSession> second;
    ASSERT_EQ(dia.source->openSession(second.receive()), S_OK);
    ComPtr<IDiaSymbol> a, b;
    ASSERT_EQ(
        dia.session->findSymbolByRVA(
            rvaOf(
                children(dia.global.get(), SymTagFunction, "freeFn", nsRegularExpression)[0].get()),
            SymTagFunction, a.receive()),
        S_OK);
    ASSERT_EQ(second->symbolById(idOf(a.get()), b.receive()), S_OK);
    EXPECT_EQ(nameOf(b.get()), "freeFn");
    EXPECT_EQ(dia.session->put_loadAddress(0x400000), S_OK);
    EXPECT_EQ(dia.session->get_globalScope(nullptr), E_POINTER);
}

} // namespace

namespace {

// Walks everything a caller can reach from the global scope; returns the functions seen.
size_t walk(Dia &dia)
{
    size_t functions = 0;
    for (auto &f : children(dia.global.get(), SymTagFunction, "*", nsRegularExpression)) {
        ++functions;
        const DWORD start = rvaOf(f.get());
        const ULONGLONG length = lengthOf(f.get());
        if (length > 0 && length < 0x100000) {
            ComPtr<IDiaSymbol> again;
            EXPECT_EQ(dia.session->findSymbolByRVA(start, SymTagFunction, again.receive()), S_OK);
            if (again) {
                EXPECT_EQ(rvaOf(again.get()), start);
            }
        }
        ComPtr<IDiaEnumLineNumbers> lines;
        if (dia.session->findLinesByRVA(start, DWORD(length), lines.receive()) == S_OK) {
            IDiaLineNumber *raw = nullptr;
            ULONG fetched = 0;
            while (lines->Next(1, &raw, &fetched) == S_OK && fetched == 1) {
                ComPtr<IDiaLineNumber> line(raw);
                ComPtr<IDiaSourceFile> file;
                BStr name;
                if (line->get_sourceFile(file.receive()) == S_OK)
                    file->get_fileName(name.receive());
            }
        }
        ComPtr<IDiaSymbol> type;
        if (f->get_type(type.receive()) != S_OK)
            continue;
        DWORD classId = 0;
        ComPtr<IDiaSymbol> udt;
        if (type->get_classParentId(&classId) != S_OK ||
            dia.session->symbolById(classId, udt.receive()) != S_OK)
            continue;
        for (auto &c : children(udt.get(), SymTagNull, nullptr, nsNone)) {
            ComPtr<IDiaSymbol> t;
            for (int depth = 0; depth < 8 && c->get_type(t.receive()) == S_OK; ++depth) {
                DWORD count = 0;
                t->get_count(&count);
                lengthOf(t.get());
                c = t;
            }
        }
    }
    for (auto &p : children(dia.global.get(), SymTagPublicSymbol, nullptr, nsNone))
        nameOf(p.get());
    return functions;
}

TEST(DataSource, DamagedBytesAnywhereInThePdbNeverBreakTheCaller)
{
    const std::string pdb = readFile(imagePath("dsclasses.pdb"));
    ASSERT_FALSE(pdb.empty());
    {
        Dia intact;
        ASSERT_TRUE(openImage(imagePath("dsclasses.exe"), intact));
        EXPECT_GE(walk(intact), 12u);
    }
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    CopiedImage copy(pdb);
    int refused = 0, opened = 0;
    for (int round = 0; round < 400; ++round) {
        std::string damaged = pdb;
        const int flips = 1 + int(next() % 16);
        for (int i = 0; i < flips; ++i)
            damaged[next() % damaged.size()] = char(next());
        writeFile(copy.pdb, damaged);
        Dia dia;
        if (openImage(copy.exe, dia)) {
            ++opened;
            walk(dia);
        } else {
            ++refused;
        }
    }
    EXPECT_EQ(refused + opened, 400);
    EXPECT_GT(opened, 0) << "most bytes are data that a reader gets past";
}

} // namespace
