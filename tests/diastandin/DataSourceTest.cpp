// Loading: where the PDB is found, and every way a load can fail without taking the process down.
#include "PdbIndex.h"
#include "TestImage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

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
}

// The image's record names the PDB by absolute path; the image lies in another folder. The
// recorded path is tried first, then the image's folder: the first PDB of the image's build is
// taken wherever it lies, whatever lies at the other place.
TEST(DataSource, MatchingPdbIsFoundWhereverItLiesAmongTheCandidates)
{
    const std::string match = readFile(imagePath("abs/dsabs.pdb"));
    const std::string other = readFile(imagePath("variant/dsclasses.pdb"));
    const std::string broken = match.substr(0, 4096);
    struct Case
    {
        const std::string *recorded, *beside;
        LoadResult expected;
    };
    const Case cases[] = {
        {&match, nullptr, LoadResult::Ok},       {nullptr, &match, LoadResult::Ok},
        {&other, &match, LoadResult::Ok},        {&match, &other, LoadResult::Ok},
        {&broken, &match, LoadResult::Ok},       {&other, nullptr, LoadResult::Mismatch},
        {nullptr, &other, LoadResult::Mismatch}, {&broken, &other, LoadResult::Mismatch},
        {&broken, nullptr, LoadResult::Corrupt}, {nullptr, nullptr, LoadResult::NoPdb},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case &c = cases[i];
        TempDir dir;
        ASSERT_EQ(mkdir(dir.path("r").c_str(), 0700), 0);
        ASSERT_EQ(mkdir(dir.path("i").c_str(), 0700), 0);
        std::string image = readFile(imagePath("abs/dsabs.exe"));
        const size_t path = findRsds(image) + 24;
        const std::string recorded = dir.path("r/p.pdb");
        ASSERT_GE(image.find('\0', path) - path, recorded.size());
        image.replace(path, recorded.size() + 1, recorded.c_str(), recorded.size() + 1);
        writeFile(dir.path("i/p.exe"), image);
        if (c.recorded)
            writeFile(recorded, *c.recorded);
        if (c.beside)
            writeFile(dir.path("i/p.pdb"), *c.beside);
        EXPECT_EQ(loadResult(dir.path("i/p.exe")), c.expected) << "case " << i;
    }
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

// Where each stream of an MSF file lies, so that a test can damage one structure inside a
// stream that is scattered over several blocks.
class MsfLayout
{
public:
    explicit MsfLayout(const std::string &file)
    {
        m_blockSize = read32(file, 32);
        const uint32_t directoryBytes = read32(file, 44);
        const size_t blockMap = size_t(read32(file, 52)) * m_blockSize;
        std::string directory;
        for (uint32_t i = 0; uint64_t(i) * m_blockSize < directoryBytes; ++i)
            directory +=
                file.substr(size_t(read32(file, blockMap + 4 * i)) * m_blockSize, m_blockSize);
        const uint32_t count = read32(directory, 0);
        size_t at = 4 + 4 * size_t(count);
        for (uint32_t s = 0; s < count; ++s) {
            const uint32_t size = read32(directory, 4 + 4 * size_t(s));
            const uint32_t blocks = size == ~0u ? 0 : (size + m_blockSize - 1) / m_blockSize;
            m_blocks.emplace_back();
            for (uint32_t b = 0; b < blocks; ++b, at += 4)
                m_blocks.back().push_back(read32(directory, at));
        }
    }

    uint32_t get(const std::string &file, uint32_t stream, uint32_t offset) const
    {
        uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = value << 8 | uint8_t(file.at(position(stream, offset + uint32_t(i))));
        return value;
    }
    void put(std::string &file, uint32_t stream, uint32_t offset, uint32_t value) const
    {
        for (uint32_t i = 0; i < 4; ++i)
            file.at(position(stream, offset + i)) = char(value >> (8 * i));
    }

private:
    static uint32_t read32(const std::string &bytes, size_t at)
    {
        uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = value << 8 | uint8_t(bytes.at(at + size_t(i)));
        return value;
    }
    size_t position(uint32_t stream, uint32_t offset) const
    {
        return size_t(m_blocks.at(stream).at(offset / m_blockSize)) * m_blockSize +
               offset % m_blockSize;
    }

    uint32_t m_blockSize = 0;
    std::vector<std::vector<uint32_t>> m_blocks;
};

constexpr uint32_t kInfoStream = 1, kTypeStream = 2, kDbiStream = 3, kIdStream = 4;

// A hash table as the PDB stores it: size, capacity, one word of present bits, no deleted
// bits, then one key and value per present bit. Written over the start of the type or id
// stream's hash stream and named as that stream's hash-adjuster table.
std::string withHashAdjusters(const std::string &pdb, uint32_t stream, uint32_t presentBits)
{
    const MsfLayout layout(pdb);
    std::string out = pdb;
    const uint32_t hashStream = layout.get(pdb, stream, 20) & 0xFFFF;
    EXPECT_NE(hashStream, 0xFFFFu);
    const uint32_t table[] = {1, 1, 1, presentBits, 0, 0x1234, 0x5678};
    for (uint32_t i = 0; i < 7; ++i)
        layout.put(out, hashStream, 4 * i, table[i]);
    layout.put(out, stream, 48, 0);            // offset of the table in the hash stream
    layout.put(out, stream, 52, sizeof table); // its length
    return out;
}

// Tables are read only where something needs them, and checked before they are. LLVM stores
// each entry of the info stream's name map at the bucket its present bit names, unchecked: such
// a map must be refused before LLVM reads it. The type and id streams' hash tables are never
// read. The publics hash is read here, for any bucket count.
TEST(DataSource, DamagedTablesAreRefusedOrPassedOver)
{
    const std::string pdb = readFile(imagePath("dsclasses.pdb"));
    ASSERT_GT(pdb.size(), 8192u);
    const MsfLayout layout(pdb);
    const auto with = [&](uint32_t stream, uint32_t offset, uint32_t value) {
        std::string out = pdb;
        layout.put(out, stream, offset, value);
        return out;
    };

    // The info stream's name map: keep the count of present bits, move the last one to bit 31.
    const uint32_t table = 32 + layout.get(pdb, kInfoStream, 28);
    const uint32_t present = layout.get(pdb, kInfoStream, table + 12);
    ASSERT_LT(layout.get(pdb, kInfoStream, table + 4), 31u);
    ASSERT_NE(present, 0u);
    const uint32_t moved = (present & ~(0x80000000u >> __builtin_clz(present))) | 0x80000000u;
    const uint32_t publics = layout.get(pdb, kDbiStream, 16) & 0xFFFF;

    struct Case
    {
        const char *what;
        std::string bytes;
        LoadResult expected;
        size_t publicsLost = 0;
    };
    const Case cases[] = {
        {"intact", pdb, LoadResult::Ok},
        {"name map bit past capacity", with(kInfoStream, table + 12, moved), LoadResult::Corrupt},
        {"type hash bit past capacity", withHashAdjusters(pdb, kTypeStream, 1u << 31),
         LoadResult::Ok},
        {"id hash bit past capacity", withHashAdjusters(pdb, kIdStream, 1u << 31), LoadResult::Ok},
        {"type stream of another version", with(kTypeStream, 0, 1), LoadResult::Ok},
        {"publics hash of another version", with(publics, 32, 0), LoadResult::Corrupt},
        {"hash records past the hash", with(publics, 36, 0x7FFFFFF8), LoadResult::Corrupt},
        {"a hash record naming no record", with(publics, 44, 0x7FFFFFF0), LoadResult::Ok, 1},
    };
    size_t intactPublics = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        CopiedImage copy(c.bytes);
        EXPECT_EQ(loadResult(copy.exe), c.expected);
        Dia dia;
        EXPECT_EQ(openImage(copy.exe, dia), c.expected == LoadResult::Ok);
        if (c.expected != LoadResult::Ok)
            continue;
        EXPECT_FALSE(
            children(dia.global.get(), SymTagFunction, "freeFn", nsRegularExpression).empty());
        const size_t count = children(dia.global.get(), SymTagPublicSymbol, nullptr, nsNone).size();
        if (!intactPublics)
            intactPublics = count;
        EXPECT_EQ(count + c.publicsLost, intactPublics);
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
    // The step beyond DIA that builds the line index ahead of the lookups.
    ComPtr<ILineIndex> lineIndex;
    ASSERT_EQ(
        second->QueryInterface(IID_ILineIndex, reinterpret_cast<void **>(lineIndex.receive())),
        S_OK);
    EXPECT_EQ(lineIndex->buildLineIndex(), S_OK);
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
