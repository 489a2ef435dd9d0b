// Loading: where the PDB is found, and what is refused or read past.
#include "../imagebuilder/ImageFiles.h"
#include "DiaSupport.h"
#include "PdbIndex.h"
#include "PeCodeView.h"

using namespace DiaTest;
using ImageFiles::le;
using namespace TQ::PLATFORM::PDB;

namespace {

const QByteArray Image = TestSupport::readFile(TestSupport::builtImageDir("classes/classes.exe"));
const QByteArray Pdb = TestSupport::readFile(TestSupport::builtImageDir("classes/classes.pdb"));

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

TEST(PeCodeView, ThePathEndsWhereTheRecordEndsWhateverFollows)
{
    ASSERT_EQ(le(Image, Entry + 12), 2u);
    CodeViewRecord r;
    const QByteArray cut = with(Image, Entry + 16, 24 + 3);
    ASSERT_EQ(readCodeViewRecord(reinterpret_cast<const uint8_t *>(cut.constData()),
                                 size_t(cut.size()), r),
              PeReadResult::Ok);
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

// Where each stream of an MSF file lies, so that one structure inside a stream scattered over
// several blocks can be damaged.
struct MsfLayout
{
    explicit MsfLayout(const QByteArray &file) : blockSize(le(file, 32))
    {
        QByteArray dir;
        for (quint32 i = 0; i * blockSize < le(file, 44); ++i)
            dir +=
                file.mid(qint64(le(file, le(file, 52) * blockSize + 4 * i)) * blockSize, blockSize);
        qint64 at = 4 + 4 * qint64(le(dir, 0));
        for (quint32 s = 0; s < le(dir, 0); ++s) {
            blocks.emplace_back();
            const quint32 size = le(dir, 4 + 4 * s);
            for (quint32 b = 0; size != ~0u && b * blockSize < size; ++b, at += 4)
                blocks.back().push_back(le(dir, at));
        }
    }
    qint64 position(quint32 stream, quint32 offset) const
    {
        return qint64(blocks.at(stream).at(offset / blockSize)) * blockSize + offset % blockSize;
    }
    quint32 get(const QByteArray &file, quint32 stream, quint32 offset) const
    {
        return le(file, position(stream, offset));
    }
    QByteArray put(QByteArray file, quint32 stream, quint32 offset, quint32 value) const
    {
        return with(file, position(stream, offset), value);
    }

    quint32 blockSize;
    std::vector<std::vector<quint32>> blocks;
};

// A hash table of one present bit, no deleted bits, written over the start of the type or id
// stream's hash stream and named as its hash-adjuster table.
QByteArray withHashAdjusters(const MsfLayout &msf, quint32 stream, quint32 presentBits)
{
    const quint32 hashStream = msf.get(Pdb, stream, 20) & 0xFFFF;
    QByteArray out = msf.put(msf.put(Pdb, stream, 48, 0), stream, 52, 28);
    const quint32 table[] = {1, 1, 1, presentBits, 0, 0x1234, 0x5678};
    for (quint32 i = 0; i < 7; ++i)
        out = msf.put(out, hashStream, 4 * i, table[i]);
    return out;
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
    const MsfLayout msf(Pdb);
    // The info stream's name map: its count of present bits kept, the last one moved to bit 31.
    const quint32 map = 32 + msf.get(Pdb, 1, 28), present = msf.get(Pdb, 1, map + 12);
    const quint32 moved = (present & ~(0x80000000u >> __builtin_clz(present))) | 0x80000000u;
    const quint32 publics = msf.get(Pdb, 3, 16) & 0xFFFF;
    using P = std::optional<QByteArray>;
    using L = LoadResult;
    const P none;
    const struct
    {
        const char *what;
        QByteArray image;
        P recorded, beside;
        L expected;
        size_t publicsLost = 0;
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
        // Tables are read only where something needs them, and checked before they are.
        {"name map bit past capacity", Image, none, msf.put(Pdb, 1, map + 12, moved), L::Corrupt},
        {"type hash bit past capacity", Image, none, withHashAdjusters(msf, 2, 1u << 31), L::Ok},
        {"id hash bit past capacity", Image, none, withHashAdjusters(msf, 4, 1u << 31), L::Ok},
        {"type stream of another version", Image, none, msf.put(Pdb, 2, 0, 1), L::Ok},
        {"publics hash of another version", Image, none, msf.put(Pdb, publics, 32, 0), L::Corrupt},
        {"hash records past the hash", Image, none, msf.put(Pdb, publics, 36, 0x7FFFFFF8),
         L::Corrupt},
        {"a hash record naming none", Image, none, msf.put(Pdb, publics, 44, 0x7FFFFFF0), L::Ok, 1},
    };
    const size_t intact = [] {
        Dia dia;
        return dia.open(TestSupport::builtImageDir("classes/classes.exe"))
                   ? children(dia.global.get(), SymTagPublicSymbol).size()
                   : 0;
    }();
    ASSERT_GT(intact, 40u);
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
        Dia dia;
        ASSERT_EQ(dia.open(exe), c.expected == LoadResult::Ok);
        if (c.expected == LoadResult::Ok) {
            EXPECT_EQ(children(dia.global.get(), SymTagPublicSymbol).size() + c.publicsLost,
                      intact);
            EXPECT_EQ(children(dia.global.get(), SymTagFunction, "main").size(), 1u);
        }
    }
    std::unique_ptr<PdbIndex> index;
    for (const QString &path : {QString("/nothing/here.exe"), QString("/tmp")})
        EXPECT_EQ(PdbIndex::load(path.toStdString(), index), LoadResult::NoImage);
}

} // namespace
