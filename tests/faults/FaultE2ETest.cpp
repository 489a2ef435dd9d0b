// The built tool under faults and on malformed inputs: a clear message, exit code 0 or 1 and
// never a signal, and the image and the database as they were wherever a run fails.
#include "TestSupport.h"

#include <QRegularExpression>
#include <QtEndian>

#include <functional>
#include <sys/stat.h>

using namespace TestSupport;

namespace {

void chmod(const QString &path, mode_t mode)
{
    ::chmod(QFile::encodeName(path).constData(), mode);
}

// What a row sets up in its scratch before the run.
struct Ctx
{
    Scratch &s;
    QString exe, db, map;

    // As an unprivileged user, so that file permissions apply (root ignores them).
    void asNobody()
    {
        if (::geteuid() != 0)
            return;
        for (const char *dir : {"", "home", "config", "appdata", "tracing", "cwd"})
            chmod(s.path(dir), 0777);
        chmod(db, 0666);
        s.wrapper = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    void limitFileSize(int blocks)
    {
        s.wrapper =
            QStringList{"/bin/sh", "-c", QString("ulimit -f %1; exec \"$0\" \"$@\"").arg(blocks)};
    }
};

// What another process holds while the tool runs.
enum Held { Nothing, ImageLock, DatabaseTransaction };

struct Row
{
    const char *what;
    const char *image;
    bool earlier; // on the database of an earlier clean of the image, linked again since
    std::function<QString(Ctx &)> prepare; // gives the expected output, as a pattern
    int exitCode = 1;
    int atLeastMs = 0;
    Held held = Nothing;
};

} // namespace

TEST(FaultE2ETest, FailedRunsLeaveImageAndDatabaseAsTheyWere)
{
    const auto esc = [](const QString &text) { return QRegularExpression::escape(text); };
    const QString noHook = esc("Error: symbol __penter() was not found in executable\n");
    const QByteArray sample = readFile(builtImageDir("sample") + "/sample.exe");
    const QByteArray sampleMap = readFile(builtImageDir("sample") + "/sample.map");
    ASSERT_GT(sample.size(), 0x400);
    const int nt = qFromLittleEndian<qint32>(sample.constData() + 0x3C);
    const QByteArray lfanewPastEnd = sample.left(0x200).replace(0x3C, 4, "\xf0\xff\xff\x7f");
    const char notPe[] = "Error: %1 is not a PE image\n";

    // Each load failure is named on the line before the hook's: `why` with %1 for the image and
    // %2 for its folder.
    const auto image = [&](const QByteArray &bytes, const char *why) { // null: no image
        return [=](Ctx &c) {
            EXPECT_TRUE(bytes.isNull() ? QFile::remove(c.exe) : writeFile(c.exe, bytes));
            return esc(QString(why).arg(c.exe)) + noHook;
        };
    };
    // Makes the image name its program database by a path relative to it, x/sample.pdb, where
    // none is, so that the one beside the copy is read, not the build's original; that one is
    // replaced by `bytes` (null: none). `age` is added to the age the image expects.
    const auto programDatabase = [&](const QByteArray &bytes, const char *why, char age = 0) {
        return [=](Ctx &c) {
            QByteArray image = readFile(c.exe);
            const int rsds = image.indexOf("RSDS");
            const QByteArray g = image.mid(rsds + 4, 16);
            const QString guid = QString::asprintf(
                "{%08X-%04X-%04X-%s-%s}", qFromLittleEndian<quint32>(g.data()),
                qFromLittleEndian<quint16>(g.data() + 4), qFromLittleEndian<quint16>(g.data() + 6),
                g.mid(8, 2).toHex().toUpper().constData(), g.mid(10).toHex().toUpper().constData());
            const quint32 found = qFromLittleEndian<quint32>(image.constData() + rsds + 20);
            image[rsds + 20] = char(image[rsds + 20] + age);
            image.replace(rsds + 24, 13, QByteArray("x/sample.pdb", 13));
            writeFile(c.exe, image);
            QFile::remove(c.s.path("sample.pdb"));
            EXPECT_TRUE(bytes.isNull() || writeFile(c.s.path("sample.pdb"), bytes));
            return esc(QString(why)
                           .replace("%1", c.exe)
                           .replace("%2", c.s.path())
                           .replace("%3", guid)
                           .replace("%4", QString::number(found + age))
                           .replace("%5", QString::number(found))) +
                   noHook;
        };
    };
    const auto map = [&](const QByteArray &bytes) { // null: a folder of the map's name
        return [=](Ctx &c) {
            QFile::remove(c.map);
            EXPECT_TRUE(bytes.isNull() ? QDir().mkdir(c.map) : writeFile(c.map, bytes));
            return esc("Map file " + c.map + " lists no function. Can't patchclean...\n");
        };
    };
    const auto database = [&](const QString &name, const QByteArray &bytes) {
        return [=](Ctx &c) {
            c.db = c.s.path(name);
            EXPECT_TRUE(bytes.isNull() || writeFile(c.db, bytes));
            return ".*" + esc(c.db) + ".*";
        };
    };
    const auto retries = [&](Ctx &c) {
        const QString retry = "Failed to open " + c.exe + "; waiting 333 ms and trying again...\n";
        return "Patching executable for \\d+ functions\\.\\.\\. " + esc(retry + retry) +
               "Error opening \"" + esc(c.exe) + "\" for patching.*";
    };
    const auto limited = [&](int blocks, bool emptyDatabase, const QString &named) {
        return [=](Ctx &c) {
            c.limitFileSize(blocks);
            EXPECT_TRUE(!emptyDatabase ||
                        execSql(c.db, "CREATE TABLE functions (address INTEGER PRIMARY KEY, "
                                      "name TEXT NOT NULL, source_file TEXT NOT NULL, old_bytes "
                                      "INTEGER NOT NULL); CREATE TABLE meta (key TEXT PRIMARY "
                                      "KEY, value TEXT NOT NULL); PRAGMA user_version = 1;"));
            return ".*" + esc(named == "journal" ? c.exe + ".patch-journal" : c.db) + ".*";
        };
    };
    const Row rows[] = {
        {"no hook function", "nopenter", false, [&](Ctx &) { return noHook; }},
        {"no image", "sample", false, image(QByteArray(), "Error: the image %1 does not exist\n")},
        {"no debug directory", "sample", false,
         image(QByteArray(sample).replace(nt + 24 + 96 + 6 * 8, 8, QByteArray(8, 0)),
               "Error: %1 has no debug directory record of a program database; was it linked "
               "without /DEBUG?\n")},
        {"no program database", "sample", false,
         programDatabase(QByteArray(), "Error: no program database was found for %1; looked at "
                                       "%2/x/sample.pdb, %2/sample.pdb\n")},
        {"a program database of another build", "sample", false,
         programDatabase(readFile(builtImageDir("sample") + "/sample.pdb"),
                         "Error: the program database %2/sample.pdb belongs to another build of "
                         "%1: expected GUID %3 age %4, found GUID %3 age %5\n",
                         1)},
        {"noise for a program database", "sample", false,
         programDatabase(noise(1 << 20, 5), "Error: the program database %2/sample.pdb is "
                                            "damaged\n")},
        {"no map", "sample", false,
         [&](Ctx &c) {
             QFile::remove(c.map);
             return esc("Map file " + c.map + " does not exist. Can't patchclean...\n");
         },
         0},
        {"empty map", "sample", true, map(""), 0},
        {"a folder for a map", "sample", true, map(QByteArray()), 0},
        {"a map of one line of 10 MB", "sample", true, map(QByteArray(10 << 20, 'x') + ".obj\r\n"),
         0},
        {"a map of noise", "sample", true, map(noise(1 << 16, 11).replace('\n', ' ')), 0},
        {"a map of carriage returns only", "sample", true,
         map(QByteArray(sampleMap).replace('\n', "")), 0},
        {"empty image", "sample", false, image("", notPe)},
        {"image of 63 bytes", "sample", false, image(sample.left(63), notPe)},
        {"e_lfanew past the end", "sample", false, image(lfanewPastEnd, notPe)},
        {"section table past the end", "sample", false,
         image(sample.left(nt + 24 + qFromLittleEndian<quint16>(sample.constData() + nt + 20) + 8),
               notPe)},
        {"database of noise", "sample", false, database("noise.db", noise(1 << 20, 5))},
        {"database of another image", "sample", false,
         [&](Ctx &c) {
             EXPECT_EQ(c.s.run({c.s.copyImage("unframed"), c.db, VsCommon}).exitCode, 0);
             return esc("Error: the project patch database " + c.db +
                        " describes the image unframed.exe, not sample.exe; nothing was changed. "
                        "Give each image a database of its own.\n");
         }},
        // A journal that cannot be read may hold the only copy of old bytes: it stays.
        {"journal that cannot be read", "sample", true,
         [&](Ctx &c) {
             EXPECT_TRUE(QDir().mkdir(c.exe + ".patch-journal"));
             return ".*" + esc("Error: the journal " + c.exe + ".patch-journal") +
                    ".*cannot be read.*";
         }},
        {"database in no folder", "sample", false, database("no/such/p.db", QByteArray())},
        {"database folder read-only", "sample", true,
         [&](Ctx &c) {
             QDir().mkdir(c.s.path("locked"));
             chmod(c.s.path("locked"), 0555);
             c.db = c.s.path("locked/project.db");
             c.asNobody();
             return ".*" + esc(c.db) + ".*";
         }},
        {"image read-only", "sample", true,
         [&](Ctx &c) {
             c.asNobody();
             chmod(c.exe, 0444);
             return retries(c);
         }},
        // Two waits of 333 ms between the three attempts.
        {"image locked", "sample", true, retries, 1, 666, ImageLock},
        {"database locked longer than the busy timeout", "sample", true,
         [&](Ctx &c) { return ".*" + esc(c.db) + ".*locked.*"; }, 1, 30000, DatabaseTransaction},
        // A new database whose first pages do not fit (before anything is patched); the journal
        // of 3,000 sites (54 KiB) that does not fit in 32 KiB; the database's commit that does
        // not fit in 80 KiB after the image was written, so the old bytes have to go back.
        {"new database cannot grow", "sample", false, limited(2, false, "db")},
        {"journal cannot grow", "synth3000", false, limited(64, true, "journal")},
        {"database cannot grow at its commit", "synth3000", false, limited(160, true, "db")},
    };
    for (const Row &row : rows) {
        Scratch s;
        Ctx c{s, s.copyImage(row.image), s.path("project.db"), s.path(QString(row.image) + ".map")};
        ASSERT_TRUE(!row.earlier || cleanEarlier(s, c.exe, c.db)) << row.what;
        const QString pattern = row.prepare(c);
        const QRegularExpression expected(QRegularExpression::anchoredPattern(pattern),
                                          QRegularExpression::DotMatchesEverythingOption);
        const QByteArray imageBefore = readFile(c.exe);
        const bool hadJournal = QFileInfo::exists(c.exe + ".patch-journal");
        const bool hadDb = QFileInfo(c.db).isFile();
        const QByteArray dbBefore = readFile(c.db);
        QDir(s.path("appdata/Corvane")).removeRecursively();
        // Taken after the reads above: closing any descriptor of a file drops the locks this
        // process holds on it.
        std::optional<FileLock> imageLock;
        if (row.held == ImageLock)
            imageLock.emplace(c.exe);
        sqlite3 *holder = nullptr;
        if (row.held == DatabaseTransaction) {
            ASSERT_EQ(sqlite3_open(c.db.toUtf8().constData(), &holder), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), 0);
        }
        QElapsedTimer timer;
        timer.start();
        const RunOutput r = s.run({c.exe, c.db, VsCommon});
        sqlite3_close(holder);
        EXPECT_GE(timer.elapsed(), row.atLeastMs) << row.what;
        EXPECT_EQ(r.exitCode, row.exitCode) << row.what << ": " << r.out.left(2000).toStdString();
        EXPECT_TRUE(expected.match(r.out).hasMatch())
            << row.what << ": " << r.out.left(2000).toStdString();
        EXPECT_TRUE(readFile(c.exe) == imageBefore) << row.what;
        EXPECT_EQ(QFileInfo(c.db).isFile(), hadDb) << row.what;
        EXPECT_TRUE(readFile(c.db) == dbBefore) << row.what;
        EXPECT_EQ(QFileInfo::exists(c.exe + ".patch-journal"), hadJournal) << row.what;
        // Nothing is read from the map before the hook function and the map are found.
        if (pattern == noHook || (!row.earlier && row.exitCode == 0)) {
            EXPECT_FALSE(QFileInfo::exists(s.path("cwd/") + row.image + "_tq.map")) << row.what;
        }
        // The settings are saved also after a reported error.
        EXPECT_TRUE(QFileInfo::exists(s.path("appdata/Corvane/Velmora/tq_velmora.ini")))
            << row.what;
    }
}

TEST(FaultE2ETest, SecondCleanOfThousandsCarriesOverExactlyTheEarlierEntriesThatExist)
{
    // Thousands of functions, with earlier entries missing here and there: each function found
    // clean gets its own earlier entry or none, never a neighbour's, and those with none are
    // counted once at the end.
    Scratch s;
    const QString exe = s.copyImage("synth3000"), db = s.path("project.db");
    ASSERT_TRUE(cleanEarlier(s, exe, db, false));
    const QMap<quint32, Entry> first = readEntries(db);
    ASSERT_GT(first.size(), 2900);
    ASSERT_TRUE(execSql(db, "DELETE FROM functions WHERE address % 7 = 3 OR address IN (SELECT "
                            "address FROM functions ORDER BY address LIMIT 20 OFFSET 100)"));
    const QMap<quint32, Entry> kept = readEntries(db);
    ASSERT_LT(kept.size(), first.size() - 100);

    const RunOutput r = s.run({exe, db, VsCommon});
    ASSERT_EQ(r.exitCode, 0) << r.out.toStdString();
    EXPECT_TRUE(readEntries(db) == kept);
    EXPECT_TRUE(
        r.out.contains(QString(" ms. \nWarning: %1 functions were found cleaned already with "
                               "no entry from an earlier run; their old bytes are "
                               "unknown, so they are not recorded\nProcessRunner")
                           .arg(first.size() - kept.size())))
        << r.out.toStdString();
}
