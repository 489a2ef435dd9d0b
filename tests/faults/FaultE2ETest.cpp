// The built tool under faults and on malformed inputs: a clear message, exit code 0 or 1 and
// never a signal, and the image and the database as they were wherever a run fails.
#include "TestSupport.h"

#include <QRandomGenerator>
#include <QtEndian>

#include <cstring>
#include <sys/stat.h>

using namespace TestSupport;

namespace {

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

RunOutput runWrapped(Scratch &s, const QStringList &wrapper, const QStringList &args)
{
    s.wrapper = wrapper;
    const RunOutput r = s.run(args);
    s.wrapper.clear();
    return r;
}

// As an unprivileged user, so that file permissions apply (root ignores them).
RunOutput runAsNobody(Scratch &s, const QStringList &args)
{
    if (!runningAsRoot())
        return runWrapped(s, {"/bin/sh", "-c", "exec \"$0\" \"$@\""}, args);
    // The scratch must be reachable by that user; the folders the tool writes, writable.
    ::chmod(QFile::encodeName(s.path()).constData(), 0755);
    for (const char *dir : {"home", "config", "appdata", "tracing", "cwd"})
        ::chmod(QFile::encodeName(s.path(dir)).constData(), 0777);
    return runWrapped(s, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, args);
}

quint32 le32(const QByteArray &b, int at)
{
    return qFromLittleEndian<quint32>(b.constData() + at);
}
quint16 le16(const QByteArray &b, int at)
{
    return qFromLittleEndian<quint16>(b.constData() + at);
}

// Makes the copied image name its program database by file name alone, so that the one beside
// the copy is read and not the build's original.
bool useDatabaseBesideCopy(const QString &exe, const QByteArray &pdbName)
{
    QByteArray image = readFile(exe);
    const int rsds = image.indexOf("RSDS");
    if (rsds < 0 || rsds + 24 + pdbName.size() + 1 > image.size())
        return false;
    image.replace(rsds + 24, pdbName.size() + 1, pdbName + '\0');
    return writeFile(exe, image);
}

class FaultE2ETest : public ::testing::Test
{
protected:
    QString db() const { return s.path("project.db"); }
    RunOutput clean(const QString &exe, const QString &dbPath = QString())
    {
        s.lastDb = dbPath.isEmpty() ? db() : dbPath;
        return s.run({exe, s.lastDb, VsCommon});
    }
    // A database holding the entries of a clean of the sample image.
    QString cleanedDatabase()
    {
        const QString exe = s.copyImage("sample");
        const QByteArray linked = readFile(exe);
        EXPECT_EQ(clean(exe).exitCode, 0);
        EXPECT_TRUE(setNames(db(), "earlier_", "earlier.cpp"));
        EXPECT_TRUE(writeFile(exe, linked)); // linked again: the next clean rewrites everything
        return exe;
    }

    Scratch s;
};

} // namespace

TEST_F(FaultE2ETest, DatabaseLockedLongerThanTheBusyTimeout)
{
    const QString exe = cleanedDatabase();
    const QByteArray linked = readFile(exe);
    const QByteArray dbBefore = readFile(db());

    sqlite3 *holder = nullptr;
    ASSERT_EQ(sqlite3_open(db().toUtf8().constData(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    QElapsedTimer timer;
    timer.start();
    const RunOutput r = clean(exe);
    const qint64 waited = timer.elapsed();
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);

    EXPECT_EQ(r.exitCode, 1) << r.out.toStdString();
    EXPECT_GE(waited, 30000) << "gave up before the busy timeout";
    EXPECT_TRUE(r.out.contains(db()) && r.out.contains("locked")) << r.out.toStdString();
    EXPECT_EQ(readFile(exe), linked);
    EXPECT_EQ(readFile(db()), dbBefore);
}

TEST_F(FaultE2ETest, ReadOnlyDatabaseFolderAndReadOnlyImage)
{
    const QString exe = cleanedDatabase();
    const QByteArray linked = readFile(exe);

    // The database in a folder that cannot be written: a new database cannot be created there.
    QDir(s.path()).mkdir("locked");
    const QString lockedDb = s.path("locked/project.db");
    ::chmod(QFile::encodeName(s.path("locked")).constData(), 0555);
    ::chmod(QFile::encodeName(exe).constData(), 0666);
    RunOutput r = runAsNobody(s, {exe, lockedDb, VsCommon});
    EXPECT_EQ(r.exitCode, 1) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(lockedDb)) << r.out.toStdString();
    EXPECT_FALSE(QFileInfo::exists(lockedDb));
    EXPECT_EQ(readFile(exe), linked);

    // An image that cannot be opened for writing: the retries, then the rewriter's error.
    const QString writableDb = s.path("cwd/project.db");
    ASSERT_TRUE(QFile::copy(db(), writableDb));
    ::chmod(QFile::encodeName(writableDb).constData(), 0666);
    const QByteArray dbBefore = readFile(writableDb);
    ::chmod(QFile::encodeName(exe).constData(), 0444);
    r = runAsNobody(s, {exe, writableDb, VsCommon});
    EXPECT_EQ(r.exitCode, 1) << r.out.toStdString();
    EXPECT_EQ(r.out.count("Failed to open " + exe), 2) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("Error opening \"" + exe + "\" for patching"))
        << r.out.toStdString();
    EXPECT_EQ(readFile(exe), linked);
    EXPECT_EQ(readFile(writableDb), dbBefore);
}

TEST_F(FaultE2ETest, FilesThatCannotGrow)
{
    // A new database whose first pages do not fit (before anything is patched); the journal of
    // 3,000 sites (54 KiB) that does not fit in 32 KiB; the database's commit that does not fit in
    // 80 KiB after the image was written, so that the tool has to put the old bytes back.
    struct Row
    {
        const char *image;
        int blocks; // of 512 bytes
        bool emptyDatabase;
        QString named;
    };
    const QString journal = s.path("synth3000.exe.patch-journal");
    const Row rows[] = {{"sample", 2, false, db()},
                        {"synth3000", 64, true, journal},
                        {"synth3000", 160, true, db()}};
    for (const Row &row : rows) {
        QFile::remove(db());
        const QString exe = s.copyImage(row.image);
        const QByteArray linked = readFile(exe);
        if (row.emptyDatabase) {
            ASSERT_TRUE(execSql(db(), "CREATE TABLE functions (address INTEGER PRIMARY KEY, name "
                                      "TEXT NOT NULL, source_file TEXT NOT NULL, old_bytes "
                                      "INTEGER NOT NULL); CREATE TABLE meta (key TEXT PRIMARY "
                                      "KEY, value TEXT NOT NULL); PRAGMA user_version = 1;"));
        }
        const QByteArray dbBefore = readFile(db());
        const QString limit = QString("ulimit -f %1; exec \"$0\" \"$@\"").arg(row.blocks);
        const RunOutput r = runWrapped(s, {"/bin/sh", "-c", limit}, {exe, db(), VsCommon});
        EXPECT_EQ(r.exitCode, 1) << r.out.toStdString();
        EXPECT_TRUE(r.out.contains(row.named)) << r.out.toStdString();
        EXPECT_EQ(readFile(exe), linked) << row.blocks;
        EXPECT_EQ(readFile(db()), dbBefore) << row.blocks;
        EXPECT_FALSE(QFileInfo::exists(journal));
    }
}

TEST_F(FaultE2ETest, SecondCleanOfThousandsCarriesOverExactlyTheEarlierEntriesThatExist)
{
    // Thousands of functions, with earlier entries missing here and there: each function found
    // clean gets its own earlier entry or none, never a neighbour's, and those with none are
    // counted once at the end.
    const QString exe = s.copyImage("synth3000");
    ASSERT_EQ(clean(exe).exitCode, 0);
    const QMap<quint32, Entry> first = readEntries(db());
    ASSERT_GT(first.size(), 2900);
    ASSERT_TRUE(setNames(db(), "earlier_", "earlier.cpp"));
    ASSERT_TRUE(execSql(db(), "DELETE FROM functions WHERE address % 7 = 3 OR "
                              "address IN (SELECT address FROM functions ORDER BY address "
                              "LIMIT 20 OFFSET 100)"));
    const QMap<quint32, Entry> kept = readEntries(db());
    ASSERT_LT(kept.size(), first.size() - 100);

    const RunOutput r = clean(exe);
    ASSERT_EQ(r.exitCode, 0) << r.out.toStdString();
    const QMap<quint32, Entry> again = readEntries(db());
    EXPECT_EQ(again.keys(), kept.keys());
    for (const Entry &e : again) {
        EXPECT_EQ(e.name, "earlier_" + QString::number(e.address, 16));
        EXPECT_EQ(e.oldBytes, first.value(e.address).oldBytes);
    }
    EXPECT_TRUE(
        r.out.contains(QString(" ms. \nWarning: %1 functions were found cleaned already with "
                               "no entry from an earlier run; their old bytes are "
                               "unknown, so they are not recorded\nProcessRunner")
                           .arg(first.size() - kept.size())))
        << r.out.toStdString();
}

TEST_F(FaultE2ETest, TwoCleansAtOnceOnOneImageAndDatabase)
{
    const QString exe = s.copyImage("sample");
    const QByteArray linked = readFile(exe);
    {
        Scratch reference;
        const QString refExe = reference.copyImage("sample");
        reference.lastDb = reference.path("p.db");
        ASSERT_EQ(reference.run({refExe, reference.lastDb, VsCommon}).exitCode, 0);
        const QMap<quint32, Entry> expected = readEntries(reference.lastDb);

        QProcess first, second;
        s.lastDb = db();
        s.start(first, {exe, db(), VsCommon});
        s.start(second, {exe, db(), VsCommon});
        ASSERT_TRUE(first.waitForFinished(60000));
        ASSERT_TRUE(second.waitForFinished(60000));
        EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(first.exitCode(), 0) << first.readAll().constData();
        EXPECT_EQ(second.exitCode(), 0) << second.readAll().constData();
        // Whichever came second found the image clean and kept the first one's entries.
        const QMap<quint32, Entry> entries = readEntries(db());
        ASSERT_EQ(entries.keys(), expected.keys());
        for (const Entry &e : entries)
            EXPECT_EQ(e.oldBytes, expected.value(e.address).oldBytes);
        EXPECT_EQ(readFile(exe), readFile(refExe));
    }
    EXPECT_NE(readFile(exe), linked);
}

TEST_F(FaultE2ETest, MalformedImages)
{
    const QByteArray sample = readFile(QStringLiteral(TQT_TEST_IMAGES_DIR "/sample/sample.exe"));
    ASSERT_GT(sample.size(), 0x400);
    const int nt = int(le32(sample, 0x3C));

    QByteArray lfanewPastEnd = sample.left(0x200);
    const quint32 farAway = 0x7FFFFFF0u;
    lfanewPastEnd.replace(0x3C, 4, QByteArray(reinterpret_cast<const char *>(&farAway), 4));
    QByteArray tablePastEnd = sample.left(nt + 24 + le16(sample, nt + 20) + 8);

    const struct
    {
        const char *what;
        QByteArray bytes;
    } cases[] = {
        {"empty", QByteArray()},
        {"63 bytes", sample.left(63)},
        {"e_lfanew past the end", lfanewPastEnd},
        {"section table past the end", tablePastEnd},
    };
    for (const auto &c : cases) {
        Scratch scratch;
        const QString exe = scratch.copyImage("sample");
        ASSERT_TRUE(writeFile(exe, c.bytes));
        scratch.lastDb = scratch.path("p.db");
        const RunOutput r = scratch.run({exe, scratch.lastDb, VsCommon});
        EXPECT_EQ(r.exitCode, 1) << c.what << ": " << r.out.toStdString();
        EXPECT_TRUE(r.out.contains("Error: symbol __penter() was not found in executable"))
            << c.what << ": " << r.out.toStdString();
        EXPECT_EQ(readFile(exe), c.bytes) << c.what;
        EXPECT_FALSE(QFileInfo::exists(scratch.lastDb)) << c.what;
    }
}

TEST_F(FaultE2ETest, MapsThatListNoFunction)
{
    // On the database of an earlier clean of an image linked again: a map from which no function
    // is read ends the run as a missing map does, and keeps every entry.
    const QString exe = s.copyImage("sample");
    const QByteArray linked = readFile(exe);
    ASSERT_EQ(clean(exe).exitCode, 0);
    ASSERT_TRUE(setNames(db(), "earlier_", "earlier.cpp"));
    ASSERT_TRUE(writeFile(exe, linked));
    const QByteArray dbBefore = readFile(db());
    const QString map = s.path("sample.map");
    const QByteArray crlf = readFile(map);

    QByteArray noise(1 << 16, Qt::Uninitialized);
    QRandomGenerator random(11);
    for (char &c : noise)
        c = char(random.bounded(256));
    noise.replace('\n', ' ');
    const struct
    {
        const char *what;
        QByteArray bytes; // null: a folder of the map's name
    } cases[] = {
        {"empty", QByteArray("")},
        {"a folder", QByteArray()},
        {"one line of 10 MB", QByteArray(10 << 20, 'x') + ".obj\r\n"},
        {"noise without line feeds", noise},
        {"carriage returns only", QByteArray(crlf).replace('\n', "")},
    };
    for (const auto &c : cases) {
        QFile::remove(map);
        ASSERT_TRUE(c.bytes.isNull() ? QDir(s.path()).mkdir("sample.map")
                                     : writeFile(map, c.bytes));
        const RunOutput r = clean(exe);
        EXPECT_EQ(r.exitCode, 0) << c.what;
        EXPECT_EQ(r.out, "Map file " + map + " lists no function. Can't patchclean...\n") << c.what;
        EXPECT_EQ(readFile(exe), linked) << c.what;
        EXPECT_EQ(readFile(db()), dbBefore) << c.what;
        QDir(s.path()).rmdir("sample.map");
    }

    // Lines ended by LF alone, as a checkout on Linux leaves them: the same clean as CR LF.
    ASSERT_TRUE(writeFile(map, QByteArray(crlf).replace("\r\n", "\n")));
    ASSERT_EQ(clean(exe).exitCode, 0);
    const QByteArray lfImage = readFile(exe);
    const QMap<quint32, Entry> lfEntries = readEntries(db());
    ASSERT_TRUE(writeFile(exe, linked));
    ASSERT_TRUE(writeFile(map, crlf));
    ASSERT_EQ(clean(exe).exitCode, 0);
    EXPECT_TRUE(readFile(exe) == lfImage);
    EXPECT_TRUE(readEntries(db()) == lfEntries);
    EXPECT_GT(lfEntries.size(), 10);
}

TEST_F(FaultE2ETest, UnusableProgramDatabaseOrDatabase)
{
    QByteArray noise(1 << 20, Qt::Uninitialized);
    QRandomGenerator random(5);
    for (char &c : noise)
        c = char(random.bounded(256));

    const QString exe = s.copyImage("sample");
    ASSERT_TRUE(useDatabaseBesideCopy(exe, "sample.pdb"));
    const QByteArray linked = readFile(exe);
    const QByteArray pdb = readFile(s.path("sample.pdb"));
    ASSERT_TRUE(writeFile(s.path("sample.pdb"), noise));
    RunOutput r = clean(exe);
    EXPECT_EQ(r.exitCode, 1) << r.out.left(2000).toStdString();
    EXPECT_TRUE(r.out.contains("Error: symbol __penter() was not found in executable"))
        << r.out.left(2000).toStdString();
    EXPECT_EQ(readFile(exe), linked);
    EXPECT_FALSE(QFileInfo::exists(db()));
    ASSERT_TRUE(writeFile(s.path("sample.pdb"), pdb));

    // Databases that cannot be used: a clear error naming the file, which stays as it was.
    ASSERT_TRUE(writeFile(s.path("noise.db"), noise));
    ASSERT_TRUE(writeFile(s.path("text.db"), "this is not a database\n"));
    for (const QString &bad : {s.path("noise.db"), s.path("text.db"), s.path("no/such/p.db")}) {
        const QByteArray before = readFile(bad);
        r = clean(exe, bad);
        EXPECT_EQ(r.exitCode, 1) << r.out.left(2000).toStdString();
        EXPECT_TRUE(r.out.contains(bad)) << r.out.left(2000).toStdString();
        EXPECT_EQ(readFile(bad), before);
        EXPECT_EQ(readFile(exe), linked);
    }
}
