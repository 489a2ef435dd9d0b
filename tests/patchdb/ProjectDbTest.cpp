// The database on one process: content, transactions and the files it refuses.
#include "PatchDbTestSupport.h"

#include <QDir>
#include <QFileInfo>

#include <exception>
#include <functional>

#include <sys/wait.h>
#include <unistd.h>

using namespace patchdbtest;

namespace {

// Calls fn, which must throw a std::exception whose text names path and holds reason.
void expectFailureNaming(const std::function<void()> &fn, const QString &path, const char *reason)
{
    try {
        fn();
    } catch (const std::exception &e) {
        const QString text = QString::fromUtf8(e.what());
        EXPECT_TRUE(text.contains(QDir::toNativeSeparators(path))) << e.what();
        EXPECT_TRUE(text.contains(QLatin1String(reason))) << e.what();
        return;
    }
    ADD_FAILURE() << "no exception for " << path.toStdString();
}

} // namespace

TEST_F(PatchDbTest, EntriesAndTimestampSurviveReopen)
{
    const QString path = file("project.db");
    const PatchedFunction a(0x1000, "int __cdecl main(void)", "c:\\src\\main.cpp", 0x00000000e8);
    const PatchedFunction b(0xfffffff0u, "not resolved yet", "not resolved yet", 0xffffffffffULL);
    const PatchedFunction c(0, QString::fromUtf8("Gr\xc3\xbc\xc3\x9f::\xe6\xbc\xa2"), "", 1);
    {
        auto db = openDb(path);
        EXPECT_EQ(db->path(), QFileInfo(path).absoluteFilePath());
        EXPECT_TRUE(db->executableTimestamp().isEmpty());
        EXPECT_FALSE(db->inTransaction());
        EXPECT_TRUE(db->functions().isEmpty());
        EXPECT_TRUE(db->inTransaction());
        db->clearFunctions();
        db->addFunction(a);
        db->addFunction(b);
        db->addFunction(c);
        db->commit();
        EXPECT_FALSE(db->inTransaction());
        db->setExecutableTimestamp("Sat Dec 6 19:00:00 2025");
        EXPECT_FALSE(db->inTransaction());
    }
    auto db = openDb(path);
    EXPECT_EQ(db->executableTimestamp(), "Sat Dec 6 19:00:00 2025");
    EXPECT_EQ(db->functionCount(), 3);
    const QSet<PatchedFunction> all = db->functions();
    ASSERT_EQ(all.size(), 3);
    for (const PatchedFunction &expected : {a, b, c}) {
        auto it = all.find(PatchedFunction(expected.address));
        ASSERT_NE(it, all.end()) << expected.address;
        EXPECT_EQ(it->name, expected.name);
        EXPECT_EQ(it->sourceFile, expected.sourceFile);
        EXPECT_EQ(it->oldBytes, expected.oldBytes);
    }
    PatchedFunction one;
    ASSERT_TRUE(db->function(0xfffffff0u, &one));
    EXPECT_EQ(one.oldBytes, 0xffffffffffULL);
    EXPECT_TRUE(db->containsFunction(0));
    EXPECT_FALSE(db->containsFunction(0x1001));
    EXPECT_FALSE(db->function(0x1001, &one));
    db.reset();

    // Other readers (the tracing engine, scripts) see the documented layout.
    EXPECT_EQ(rawQueryInt(path, "PRAGMA user_version"), 1);
    EXPECT_EQ(rawQueryInt(path, "SELECT old_bytes FROM functions WHERE address = 4294967280"),
              0xffffffffffLL);
    EXPECT_EQ(rawQueryInt(path, "SELECT count(*) FROM meta WHERE key = 'executable_timestamp'"), 1);
}

TEST_F(PatchDbTest, TextsThatRecurOrNearlyRecurFromRowToRowComeBackExactly)
{
    // Neighbouring rows share texts in practice; each row must still get its own value when
    // the texts differ by one character, by case, by a non-ASCII letter of the same length,
    // or are new strings built in a loop (whose storage may land where the last one was).
    const QString path = file("project.db");
    const QString shared = QStringLiteral("c:\\src\\a.cpp");
    const QStringList texts = {shared,
                               shared,
                               QStringLiteral("c:\\src\\b.cpp"),
                               QStringLiteral("C:\\src\\b.cpp"),
                               QString::fromUtf8("c:\\src\\\xc3\xa4.cpp"),
                               QString::fromUtf8("c:\\src\\\xc3\xa4.cpp"),
                               QString(),
                               QString(),
                               QStringLiteral("x"),
                               QString(),
                               shared};
    QList<PatchedFunction> written;
    {
        auto db = openDb(path);
        db->clearFunctions();
        for (int i = 0; i < texts.size(); ++i) {
            written.append(PatchedFunction(quint32(0x1000 + i), texts[i],
                                           texts[texts.size() - 1 - i], quint64(i)));
            db->addFunction(written.last());
        }
        for (int i = 0; i < 200; ++i) {
            QString name = QStringLiteral("f%1").arg(i, 4, 10, QLatin1Char('0'));
            written.append(PatchedFunction(quint32(0x2000 + i), name, name.toUpper(), 0));
            db->addFunction(written.last());
        }
        db->commit();
    }
    auto db = openDb(path);
    const QSet<PatchedFunction> all = db->functions();
    ASSERT_EQ(all.size(), written.size());
    for (const PatchedFunction &expected : written) {
        auto it = all.find(PatchedFunction(expected.address));
        ASSERT_NE(it, all.end()) << expected.address;
        EXPECT_EQ(it->name, expected.name) << expected.address;
        EXPECT_EQ(it->sourceFile, expected.sourceFile) << expected.address;
    }
    // What other readers of the file see is UTF-8.
    EXPECT_EQ(rawQueryInt(path, "SELECT count(*) FROM functions WHERE name = "
                                "'c:\\src\\\xc3\xa4.cpp'"),
              2);
}

TEST_F(PatchDbTest, RewriteWithoutCommitLeavesFileAsItWas)
{
    const QString path = file("project.db");
    fillDb(path, {entry(0x10), entry(0x20)});
    const QByteArray before = fileBytes(path);
    ASSERT_FALSE(before.isEmpty());
    {
        auto db = openDb(path);
        EXPECT_EQ(db->functions().size(), 2);
        db->clearFunctions();
        EXPECT_EQ(db->functionCount(), 0);
        for (quint32 a = 0x100; a < 0x2100; ++a)
            db->addFunction(entry(a));
        db->setExecutableTimestamp("inside the transaction");
    }
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_FALSE(QFileInfo::exists(path + "-journal"));
    auto db = openDb(path);
    const QSet<PatchedFunction> all = db->functions();
    EXPECT_EQ(all.size(), 2);
    EXPECT_TRUE(all.contains(PatchedFunction(0x10)));
    EXPECT_TRUE(db->executableTimestamp().isEmpty());
}

TEST_F(PatchDbTest, ExplicitRollbackRestoresContentAndEndsTransaction)
{
    const QString path = file("project.db");
    fillDb(path, {entry(0x10)});
    auto db = openDb(path);
    db->clearFunctions();
    db->addFunction(entry(0x30));
    db->rollback();
    EXPECT_FALSE(db->inTransaction());
    EXPECT_TRUE(db->containsFunction(0x10));
    EXPECT_FALSE(db->containsFunction(0x30));
    // The object stays usable for a new transaction.
    db->clearFunctions();
    db->addFunction(entry(0x40));
    db->commit();
    EXPECT_EQ(openDb(path)->functions(), QSet<PatchedFunction>{PatchedFunction(0x40)});
}

TEST_F(PatchDbTest, SecondEntryForAnAddressKeepsTheFirst)
{
    const QString path = file("project.db");
    {
        auto db = openDb(path);
        db->clearFunctions();
        db->addFunction(PatchedFunction(0x50, "first", "a.cpp", 1));
        db->addFunction(PatchedFunction(0x50, "second", "b.cpp", 2));
        db->commit();
    }
    PatchedFunction got;
    ASSERT_TRUE(openDb(path)->function(0x50, &got));
    EXPECT_EQ(got.name, "first");
    EXPECT_EQ(got.sourceFile, "a.cpp");
    EXPECT_EQ(got.oldBytes, 1u);

    // Without a clear, an entry already stored is kept too.
    {
        auto db = openDb(path);
        db->addFunction(PatchedFunction(0x50, "third", "c.cpp", 3));
        db->addFunction(PatchedFunction(0x60, "new", "d.cpp", 4));
        db->commit();
    }
    auto db = openDb(path);
    ASSERT_TRUE(db->function(0x50, &got));
    EXPECT_EQ(got.name, "first");
    EXPECT_TRUE(db->containsFunction(0x60));
}

TEST_F(PatchDbTest, ClearAndCommitEmptiesButKeepsTimestamp)
{
    // An empty file is an empty database and gets the tables.
    const QString path = file("project.db");
    writeFile(path, QByteArray());
    fillDb(path, {entry(1), entry(2)});
    openDb(path)->setExecutableTimestamp("t1");
    {
        auto db = openDb(path);
        db->clearFunctions();
        db->commit();
    }
    auto db = openDb(path);
    EXPECT_EQ(db->functionCount(), 0);
    EXPECT_EQ(db->executableTimestamp(), "t1");
    db->setExecutableTimestamp("t2");
    EXPECT_EQ(openDb(path)->executableTimestamp(), "t2");
}

TEST_F(PatchDbTest, UnframedSitesAreWrittenWithTheEntriesAndKeptByAnotherRewrite)
{
    const QString path = file("project.db");
    fillDb(path, {entry(1)});
    // A file of the first layout lacks the table: it reads as empty, and a write adds it.
    rawExec(path, "DROP TABLE unframed");
    const QHash<quint32, quint64> sites{{0x1020, 0xfbe8}, {0xfffffff0u, 0xffffffffffULL}};
    {
        auto db = openDb(path);
        EXPECT_TRUE(db->unframedSites().isEmpty());
        db->setUnframedSites(sites);
        EXPECT_EQ(db->unframedSites(), sites);
    }
    EXPECT_EQ(rawQueryInt(path, "SELECT count(*) FROM sqlite_master WHERE name = 'unframed'"), 0);
    {
        auto db = openDb(path);
        db->setUnframedSites(sites);
        db->commit();
    }
    fillDb(path, {entry(2)}); // as the resolve run rewrites the entries
    std::unique_ptr<ProjectDb> reader(DbFactory::openProjectDbForReading(path));
    EXPECT_EQ(reader->unframedSites(), sites);
    EXPECT_EQ(reader->functionCount(), 1);
    EXPECT_EQ(rawQueryInt(path, "PRAGMA user_version"), 1);
}

TEST_F(PatchDbTest, OldBytesBeyondFortyBitsAreRefused)
{
    const QString path = file("project.db");
    auto db = openDb(path);
    db->clearFunctions();
    expectFailureNaming([&] { db->addFunction(PatchedFunction(7, "n", "s", 1ULL << 40)); }, path,
                        "40 bits");
    db->addFunction(PatchedFunction(8, "n", "s", (1ULL << 40) - 1));
    db->commit();
    EXPECT_EQ(openDb(path)->functionCount(), 1);
}

TEST_F(PatchDbTest, CorruptRowsAreReportedNotHandedOut)
{
    const char *const rows[][2] = {
        {"INSERT INTO functions VALUES (-5, 'n', 's', 0)", "32-bit RVA"},
        {"INSERT INTO functions VALUES (4294967296, 'n', 's', 0)", "32-bit RVA"},
        {"INSERT INTO functions VALUES (9, 'n', 's', 'text')", "not numbers"},
        {"INSERT INTO functions VALUES (9, 'n', 's', 1099511627776)", "beyond 40 bits"},
        {"INSERT INTO unframed VALUES (9, -1)", "unframed site at 0x9 with old bytes -1"},
    };
    int i = 0;
    for (const auto &row : rows) {
        const QString path = file(QString("corrupt%1.db").arg(i++));
        fillDb(path, {entry(1)});
        rawExec(path, row[0]);
        const auto readAll = [&] {
            auto db = openDb(path);
            db->functions();
            db->unframedSites();
        };
        expectFailureNaming(readAll, path, row[1]);
    }
}

TEST_F(PatchDbTest, FilesOfOtherKindsAreRefusedAndLeftUntouched)
{
    const char *const tables = "CREATE TABLE functions (address INTEGER PRIMARY KEY, name TEXT "
                               "NOT NULL, source_file TEXT NOT NULL, old_bytes INTEGER NOT NULL);"
                               "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);";
    QByteArray noise(8192, '\0');
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919 + 13) & 0xff);
    const struct
    {
        const char *name;
        QByteArray sql; // empty: the file holds the bytes instead
        QByteArray bytes;
        const char *reason;
    } cases[] = {
        {"newer.db", QByteArray(tables) + "PRAGMA user_version = 2;", {}, "newer version"},
        {"foreign.db", "CREATE TABLE songs (title TEXT);", {}, "not a project patch database"},
        {"foreign-v1.db",
         "CREATE TABLE functions (address INTEGER, name TEXT);"
         "PRAGMA user_version = 1;",
         {},
         "source_file"},
        {"other-unframed.db",
         QByteArray(tables) + "CREATE TABLE unframed (address INTEGER);"
                              "PRAGMA user_version = 1;",
         {},
         "unframed or its column old_bytes"},
        {"noise.db", {}, noise, "not an SQLite database"},
        {"short-noise.db", {}, "hello, world\n", "not an SQLite database"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = file(c.name);
        if (c.sql.isEmpty())
            writeFile(path, c.bytes);
        else
            rawExec(path, c.sql.constData());
        const QByteArray before = fileBytes(path);
        ASSERT_FALSE(before.isEmpty());
        expectFailureNaming([&] { openDb(path); }, path, c.reason);
        EXPECT_EQ(fileBytes(path), before);
        EXPECT_FALSE(QFileInfo::exists(path + "-journal"));
    }
}

TEST_F(PatchDbTest, UnusableLocationsAreRefusedAndNothingIsCreated)
{
    const QString missingFolder = file("no/such/folder/project.db");
    expectFailureNaming([&] { openDb(missingFolder); }, missingFolder, "does not exist");
    EXPECT_FALSE(QFileInfo::exists(file("no")));

    // A file where a folder should be.
    writeFile(file("plain"), "x");
    const QString underFile = file("plain/project.db");
    expectFailureNaming([&] { openDb(underFile); }, underFile, "does not exist");

    const QString folder = file("sub");
    ASSERT_TRUE(QDir().mkpath(folder));
    expectFailureNaming([&] { openDb(folder); }, folder, "folder");

    // Even root cannot create files in /proc.
    const QString proc = "/proc/tqt_patchdb_test.db";
    expectFailureNaming([&] { openDb(proc); }, proc, "cannot");
    EXPECT_FALSE(QFileInfo::exists(proc));
}

TEST_F(PatchDbTest, WriteProtectedFileIsRefusedUntouched)
{
    const QString path = file("project.db");
    fillDb(path, {entry(1)});
    const QByteArray before = fileBytes(path);
    const QString folder = file("locked");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString inLocked = folder + "/project.db";

    // Permissions do not bind root: then the checks run in a child that is an ordinary user.
    const auto check = [&] {
        expectFailureNaming([&] { openDb(path); }, path, "cannot be written");
        expectFailureNaming([&] { openDb(inLocked); }, inLocked, "cannot be created");
        EXPECT_EQ(std::unique_ptr<ProjectDb>(DbFactory::openProjectDbForReading(path))
                      ->functions()
                      .size(),
                  1);
    };
    const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther |
                                        QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    ASSERT_TRUE(QFile::setPermissions(path, readOnly & ~QFile::ExeOwner & ~QFile::ExeGroup &
                                                ~QFile::ExeOther));
    ASSERT_TRUE(QFile::setPermissions(folder, readOnly));
    if (geteuid() != 0) {
        check();
    } else {
        ASSERT_TRUE(QFile::setPermissions(m_dir.path(), readOnly | QFile::WriteOwner));
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(3);
            check();
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "the checks failed as an ordinary user";
    }
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_FALSE(QFileInfo::exists(inLocked));
    QFile::setPermissions(folder, readOnly | QFile::WriteOwner);
}

TEST(PatchedFunctionTest, EqualAndHashedByAddressAlone)
{
    const PatchedFunction a(0x401000, "a", "a.cpp", 1);
    const PatchedFunction b(0x401000, "b", "b.cpp", 2);
    const PatchedFunction c(0x401001, "a", "a.cpp", 1);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);
    EXPECT_FALSE(a == c);
    EXPECT_EQ(qHash(a), qHash(b));
    EXPECT_EQ(qHash(a), 0x401000u);
    QSet<PatchedFunction> set{a, b, c};
    EXPECT_EQ(set.size(), 2);
    EXPECT_TRUE(set.contains(PatchedFunction(0x401001)));
}
