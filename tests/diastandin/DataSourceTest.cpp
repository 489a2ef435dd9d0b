// Loading: where the PDB is found, and what is refused or read past.
#include "DiaApi.h"
#include "DiaInterfaces.h"
#include "PdbIndex.h"
#include "PeHeaders.h"
#include "TestSupport.h"

#include <QtEndian>

using namespace TQ::EXTRACTORS::CPP::DIA;
using namespace TQ::PLATFORM::PDB;

namespace {

const QByteArray Image = TestSupport::readFile(TestSupport::builtImageDir("classes/classes.exe"));
const QByteArray Pdb = TestSupport::readFile(TestSupport::builtImageDir("classes/classes.pdb"));

quint32 le(const QByteArray &bytes, qint64 at)
{
    return qFromLittleEndian<quint32>(bytes.mid(at, 4).leftJustified(4, '\0').constData());
}

QByteArray with(QByteArray bytes, qint64 at, quint32 value, int width = 4)
{
    for (int i = 0; i < width && at + i < bytes.size(); ++i)
        bytes[int(at + i)] = char(value >> (8 * i));
    return bytes;
}

const qint64 Rsds = Image.indexOf("RSDS");
// The CodeView entry of the debug directory, the one whose data lies at the record; the
// optional header.
const qint64 Entry = [] {
    QByteArray pointer(4, '\0');
    qToLittleEndian(quint32(Rsds), pointer.data());
    return Image.indexOf(pointer) - 24;
}();
const qint64 Optional = le(Image, 0x3C) + 24;

TEST(PeHeaders, TheCodeViewPathEndsWhereTheRecordEndsWhateverFollows)
{
    ASSERT_EQ(le(Image, Entry + 12), 2u);
    namespace PE = TQ::PLATFORM::PE;
    PE::CodeViewRecord r;
    const QByteArray cut = with(Image, Entry + 16, 24 + 3);
    ASSERT_EQ(PE::readCodeViewRecord(reinterpret_cast<const uint8_t *>(cut.constData()),
                                     size_t(cut.size()), r),
              PE::CodeViewResult::Ok);
    EXPECT_EQ(r.pdbPath, Image.mid(Rsds + 24, 3).toStdString());
}

TEST(PdbLookup, CandidatesFollowTheRecordThenTheImageFolder)
{
    using C = std::vector<std::string>;
    const std::pair<const char *, C> cases[] = {
        {"C:\\build\\out\\prog.pdb", {"C:/build/out/prog.pdb", "/img/prog.pdb"}},
        {"/abs/dir/prog.pdb", {"/abs/dir/prog.pdb", "/img/prog.pdb"}},
        // Relative to the image, never to the working folder.
        {"prog.pdb", {"/img/prog.pdb"}},
        {"sub\\prog.pdb", {"/img/sub/prog.pdb", "/img/prog.pdb"}},
        {"", {}},
    };
    for (const auto &[recorded, expected] : cases)
        EXPECT_EQ(PdbIndex::pdbCandidates("/img/prog.exe", recorded), expected) << recorded;
}

// An image in dir's i/, its record (when it is the classes image's) rewritten to name r/p.pdb.
QString placed(const QTemporaryDir &dir, QByteArray image)
{
    const QByteArray recorded = QFile::encodeName(dir.filePath("r/p.pdb"));
    EXPECT_GT(Image.indexOf('\0', Rsds + 24) - Rsds - 24, recorded.size());
    if (image.size() == Image.size())
        image.replace(int(Rsds + 24), recorded.size() + 1, recorded + '\0');
    TestSupport::writeFile(dir.filePath("i/p.exe"), image);
    return dir.filePath("i/p.exe");
}

// What lies at the recorded place and beside the image decides the load: the first PDB of the
// image's build is taken, missing, unreadable and foreign ones are passed over, and damage that
// cannot be read past is refused.
TEST(DataSource, LoadsThePdbOfTheImagesBuildWhereverItLiesAndRefusesTheRest)
{
    ASSERT_GT(Pdb.size(), 8192);
    const QByteArray other = TestSupport::readFile(TestSupport::builtImageDir("sample/sample.pdb"));
    using P = std::optional<QByteArray>;
    using L = LoadResult;
    const P none;
    // The info stream (stream 1, one block long) through the first block of the directory, and
    // its name map's present bits: their count kept, the last one moved to bit 31.
    const quint32 block = le(Pdb, 32), dir = le(Pdb, le(Pdb, 52) * block) * block;
    const qint64 info =
        qint64(block) *
        le(Pdb, dir + 4 * (1 + le(Pdb, dir) + (le(Pdb, dir + 4) + block - 1) / block));
    ASSERT_EQ(le(Pdb, info), 20000404u);
    const qint64 presentAt = info + 32 + le(Pdb, info + 28) + 12;
    const quint32 present = le(Pdb, presentAt);
    const quint32 moved = (present & ~(0x80000000u >> __builtin_clz(present))) | 0x80000000u;
    const struct
    {
        const char *what;
        QByteArray image;
        P recorded, beside;
        L expected;
    } cases[] = {
        {"recorded", Image, Pdb, none, L::Ok},
        {"beside", Image, none, Pdb, L::Ok},
        {"another build recorded", Image, other, Pdb, L::Ok},
        {"another build beside", Image, Pdb, other, L::Ok},
        {"damaged recorded", Image, Pdb.left(4096), Pdb, L::Ok},
        {"only another build", Image, other, none, L::Mismatch},
        {"damaged and another build", Image, Pdb.left(4096), other, L::Mismatch},
        {"only damaged", Image, Pdb.left(4096), none, L::Corrupt},
        {"none", Image, none, none, L::NoPdb},
        {"older age", with(Image, Rsds + 20, le(Image, Rsds + 20) + 1), Pdb, none, L::Mismatch},
        {"other GUID", with(Image, Rsds + 9, ~le(Image, Rsds + 9), 1), Pdb, none, L::Mismatch},
        {"text", "this is not a portable executable\n", none, none, L::NotPe},
        {"empty", "", none, none, L::NotPe},
        {"cut in the section table", Image.left(Optional + 0x100), none, none, L::NotPe},
        {"header offset past the end", with(Image, 0x3C, 0xFFFFFFF0u), none, none, L::NotPe},
        {"optional header of another kind", with(Image, Optional, 0x1234, 2), none, none, L::NotPe},
        {"no debug directory", with(Image, Optional + 96 + 48, 0), none, none, L::NoDebugInfo},
        {"six data directories", with(Image, Optional + 92, 6), none, none, L::NoDebugInfo},
        {"debug directory outside sections", with(Image, Optional + 96 + 48, 0x7FFF0000), none,
         none, L::NoDebugInfo},
        {"record too large", with(Image, Entry + 16, 0x7FFFFFFF), none, none, L::NoDebugInfo},
        {"entry not CodeView", with(Image, Entry + 12, 4), none, none, L::NoDebugInfo},
        {"old CodeView format", QByteArray(Image).replace(Rsds, 4, "NB10"), none, none,
         L::NoDebugInfo},
        {"empty PDB", Image, none, "", L::Corrupt},
        {"half a PDB", Image, none, Pdb.left(Pdb.size() / 2), L::Corrupt},
        {"garbage", Image, none, QByteArray(Pdb.size(), '\x5A'), L::Corrupt},
        {"directory out of file", Image, none, with(Pdb, 52, 0xFFFF, 2), L::Corrupt},
        // Read only where something needs it, and checked before it is.
        {"name map bit past capacity", Image, none, with(Pdb, presentAt, moved), L::Corrupt},
    };
    // The publics and main, through the reader, as the load gave them.
    const auto found = [](const QString &exe) {
        TestSupport::CoutCapture quiet;
        const std::unique_ptr<DiaApi> reader(createDia({ModInfo(0, exe)}));
        return qMakePair(reader->findSymbols({"*"}, SymTagPublicSymbol).size(),
                         reader->findSymbols({"main"}, SymTagFunction).size());
    };
    const int intact = found(TestSupport::builtImageDir("classes/classes.exe")).first;
    ASSERT_GT(intact, 40);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir("/tmp/ds-XXXXXX");
        const QString exe = placed(dir, c.image);
        if (c.recorded)
            TestSupport::writeFile(dir.filePath("r/p.pdb"), *c.recorded);
        if (c.beside)
            TestSupport::writeFile(dir.filePath("i/p.pdb"), *c.beside);
        std::unique_ptr<PdbIndex> index;
        EXPECT_EQ(PdbIndex::load(exe.toStdString(), index), c.expected);
        const bool ok = c.expected == LoadResult::Ok;
        EXPECT_EQ(found(exe), qMakePair(ok ? intact : 0, ok ? 1 : 0));
    }
    std::unique_ptr<PdbIndex> index;
    for (const QString &path : {QString("/nothing/here.exe"), QString("/tmp")})
        EXPECT_EQ(PdbIndex::load(path.toStdString(), index), LoadResult::NoImage);
}

} // namespace
