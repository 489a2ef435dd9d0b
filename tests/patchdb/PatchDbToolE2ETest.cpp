// tqt_patchdb.exe as a process on images cleaned by tqt_patchclean.exe, and both tools installed.
#include "TestSupport.h"

#include <PeHeaders.h>

using namespace TestSupport;
using TQ::PLATFORM::PE::PeHeaders;

namespace {

const QString PatchDb = QStringLiteral(TQT_BIN_DIR "/tqt_patchdb.exe");

PeHeaders headersOf(const QByteArray &image)
{
    PeHeaders pe;
    EXPECT_EQ(pe.read(reinterpret_cast<const uint8_t *>(image.constData()), image.size()),
              PeHeaders::Status::Ok);
    return pe;
}

int fileOffset(const QString &exe, quint32 rva)
{
    const QByteArray image = readFile(exe);
    return int(headersOf(image).fileOffset(rva, 5));
}

// The checksum the image carries, and whether it is the image's own.
std::pair<quint32, bool> checkSum(const QByteArray &image)
{
    const PeHeaders pe = headersOf(image);
    const auto *bytes = reinterpret_cast<const uint8_t *>(image.constData());
    return {pe.checkSum(),
            pe.checkSum() == PeHeaders::computeCheckSum(bytes, image.size(), pe.checkSumOffset())};
}

QString sqlite(const QString &db, const QString &sql)
{
    return runProgram("sqlite3", {"-separator", "\t", db, sql}).out;
}

const char OldBytesSql[] = "printf('%02x %02x %02x %02x %02x', old_bytes & 255, (old_bytes >> 8) "
                           "& 255, (old_bytes >> 16) & 255, (old_bytes >> 24) & 255, old_bytes "
                           ">> 32)";
const QString SitesSql = "(SELECT * FROM functions UNION ALL SELECT address, 'unframed', '', "
                         "old_bytes FROM unframed ORDER BY address)";

class PatchDbToolE2ETest : public ::testing::Test
{
protected:
    RunOutput clean(const QString &exe) { return s.run({exe, db(), VsCommon}); }
    QString db() const { return s.path("project.db"); }
    QString tables() const
    {
        return sqlite(db(), "PRAGMA user_version; " + SitesSql.mid(1).chopped(1));
    }

    Scratch s;
};

} // namespace

TEST_F(PatchDbToolE2ETest, CleanVerifyRestoreVerifyCleanGivesTheSameImageAndDatabase)
{
    const struct
    {
        const char *image, *suffix;
        bool foreign; // somebody else's code at _framedAdd: never cleaned or recorded, kept
        bool twice;   // cleaned before: every site's old bytes carried over from the database
    } cases[] = {{"sample", ".exe", false, false},  {"unframed", ".exe", false, false},
                 {"folded", ".exe", false, false},  {"sampledll", ".dll", false, false},
                 {"release", ".exe", false, false}, {"unframed", ".exe", true, false},
                 {"unframed", ".exe", false, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.image) + (c.foreign ? " foreign" : c.twice ? " twice" : ""));
        for (const char *ext : {".db", ".pdb", ".map", c.suffix})
            QFile::remove(s.path(c.image + QString(ext)));
        QFile::remove(db());
        const QString exe = s.copyImage(c.image, c.suffix);
        QByteArray linked = readFile(exe);
        ASSERT_TRUE(!c.foreign || writeFile(exe, linked.replace(fileOffset(exe, 0x1000), 5,
                                                                "\x90\x90\x90\x90\xAB")));
        ASSERT_TRUE(!c.twice || clean(exe).exitCode == 0);
        const RunOutput first = clean(exe);
        ASSERT_EQ(first.exitCode, 0);
        EXPECT_EQ(first.out.contains("Warning: 1 functions begin with four NOPs and a fifth byte "
                                     "that is not one; no clean leaves that, so they were left as "
                                     "they are and are not recorded\n"),
                  c.foreign)
            << first.out.toStdString();
        const QByteArray cleaned = readFile(exe);
        const QString cleanTables = tables();
        // The linker's checksum, when there is one, stays the image's own; none stays none.
        const auto linkedSum = checkSum(linked), cleanedSum = checkSum(cleaned);
        EXPECT_EQ(linkedSum.first != 0, c.image == QString("release"));
        EXPECT_EQ(cleanedSum.first != 0, linkedSum.first != 0);
        EXPECT_TRUE(linkedSum.second == (linkedSum.first != 0) &&
                    cleanedSum.second == (cleanedSum.first != 0) &&
                    (!linkedSum.first || cleanedSum != linkedSum));
        const int sites = sqlite(db(), QString("SELECT count(*) FROM ") + SitesSql).toInt();
        ASSERT_GT(sites, 2);
        if (c.foreign) {
            EXPECT_EQ(sqlite(db(), "SELECT count(*) FROM " + SitesSql + " WHERE address = 4096"),
                      "0\n");
        }

        RunOutput r = runProgram(PatchDb, {"verify", exe, db()});
        EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
        r = runProgram(PatchDb, {"restore", exe, db()});
        EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
        EXPECT_TRUE(readFile(exe) == linked) << "restore did not give back the linker's image";

        // Every site holds its call again: twenty named, the rest counted, and the likely cause.
        const QString more = QString("... and %1 more (%2 of %2 recorded sites do not match)\n")
                                 .arg(sites - 20)
                                 .arg(sites);
        r = runProgram(PatchDb, {"verify", exe, db()});
        EXPECT_TRUE(r.exitCode == 1 && r.out.count(" instead of five NOPs\n") == qMin(sites, 20) &&
                    r.out.contains((sites > 20 ? more : "") + "The image holds calls"))
            << r.out.toStdString();

        ASSERT_EQ(clean(exe).exitCode, 0);
        EXPECT_TRUE(readFile(exe) == cleaned);
        EXPECT_EQ(tables(), cleanTables);

        // As a resolve run leaves it, with a name the shell and the tool must both keep intact.
        ASSERT_TRUE(setNames(db(), QString::fromUtf8("f\xc3\xbc_"), "c:\\src\\a b.cpp"));
        r = runProgram(PatchDb, {"list", db()});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out,
                  sqlite(db(), QString("SELECT printf('%08x', address), %1, name, source_file FROM "
                                       "functions ORDER BY address")
                                   .arg(OldBytesSql)));
    }
}

TEST_F(PatchDbToolE2ETest, RefusalsNameTheReasonAndLeaveTheImageAsItWas)
{
    const QString exe = s.copyImage("unframed");
    const QByteArray linked = readFile(exe);
    ASSERT_EQ(clean(exe).exitCode, 0);
    const QByteArray cleaned = readFile(exe), cleanDb = readFile(db());
    ASSERT_TRUE(writeFile(s.path("empty.db"), ""));
    const struct
    {
        QStringList args;
        const char *says;
    } badInputs[] = {
        {{"lst", db()}, "Usage: "},
        {{"list", s.path("none.db")}, "none.db: does not exist"},
        {{"restore", exe, s.path("empty.db")}, "is empty"},
        {{"verify", s.path("unframed.map"), db()}, "unframed.map is not a PE image"},
        {{"restore", s.path("none.exe"), db()}, "none.exe does not exist"},
        {{"restore", s.copyImage("sample"), db()}, "describes the image unframed.exe, not sample"},
    };
    for (const auto &row : badInputs) {
        const RunOutput r = runProgram(PatchDb, row.args);
        EXPECT_EQ(r.exitCode, 2) << row.args.join(' ').toStdString();
        EXPECT_TRUE(r.out.contains(row.says)) << r.out.toStdString();
    }
    EXPECT_EQ(readFile(s.path("empty.db")), QByteArray());
    EXPECT_FALSE(QFileInfo::exists(s.path("none.db")));
    QByteArray tampered = cleaned; // _framedAdd at 1000
    tampered[fileOffset(exe, 0x1000)] = char(0xCC);
    const struct
    {
        QByteArray image;
        const char *sql, *says, *means;
    } mismatches[] = {
        {tampered, "", "00001000: holds cc 90 90 90 90 instead of five NOPs", "changed after"},
        {linked, "", "00001000: holds e8 1b 01 00 00 instead", "linked again"},
        {cleaned, "INSERT INTO unframed VALUES (12288, 232)",
         "00003000: lies in section .data, which holds no code", "another image"},
        {tampered, "INSERT INTO unframed VALUES (12288, 232)", // the most telling cause
         "00001000: holds cc 90 90 90 90 instead of five NOPs", "outside the image's code"},
        {cleaned, "UPDATE functions SET old_bytes = 144 WHERE address = 4096",
         "00001000: has old bytes 90 00 00 00 00, which are not a call", "does not know"},
    };
    for (const auto &row : mismatches) {
        SCOPED_TRACE(row.says);
        ASSERT_TRUE(writeFile(exe, row.image) && writeFile(db(), cleanDb) &&
                    execSql(db(), row.sql));
        RunOutput r = runProgram(PatchDb, {"verify", exe, db()});
        EXPECT_TRUE(r.exitCode == 1 && r.out.startsWith(row.says) &&
                    r.out.trimmed().split('\n').last().contains(row.means))
            << r.out.toStdString();
        r = runProgram(PatchDb, {"restore", exe, db()});
        EXPECT_TRUE(r.exitCode == 1 && r.out.startsWith(row.says) &&
                    r.out.contains("Nothing was restored"))
            << r.out.toStdString();
        EXPECT_TRUE(readFile(exe) == row.image);
    }
}

TEST_F(PatchDbToolE2ETest, InstalledToolsFindEachOtherAndTheDemangler)
{
    const QString prefix = s.path("prefix");
    RunOutput r = runProgram(TQT_CMAKE, {"--install", TQT_BUILD_DIR, "--prefix", prefix});
    ASSERT_EQ(r.exitCode, 0) << r.out.toStdString();
    s.env.insert("TQ_VELMORA", prefix + "/bin");
    const QString exe = s.copyImage("sample");
    r = runProgram(prefix + "/bin/tqt_patchclean.exe",
                   {exe, db(), prefix + "/" TQT_INSTALL_VS_COMMON}, true, s.env, s.path("cwd"));
    ASSERT_EQ(r.exitCode, 0) << r.out.toStdString();
    s.started = s.resolveAllowed = true;
    EXPECT_TRUE(s.waitForResolve(30000, db()));
    EXPECT_EQ(sqlite(db(), "SELECT count(*) FROM functions WHERE name = char(63, 63, 63)"), "0\n");
    r = runProgram(prefix + "/bin/tqt_patchdb.exe", {"verify", exe, db()});
    EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
}
