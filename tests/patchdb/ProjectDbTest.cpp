// The project patch database: content and the files it refuses (uncommitted writes, other
// writers, killed writers and unusable files are met end to end).
#include "ProjectDb.h"
#include "DbFactory.h"
#include "TestSupport.h"

#include <functional>
#include <memory>

using namespace TestSupport;
using TQ::EXTRACTORS::CPP::COMMON::DbFactory;
using TQ::EXTRACTORS::CPP::COMMON::PatchedFunction;
using TQ::EXTRACTORS::CPP::COMMON::ProjectDb;

namespace {

using Entries = QMap<quint32, Entry>;

std::unique_ptr<ProjectDb> openDb(const QString &path)
{
    return std::unique_ptr<ProjectDb>(DbFactory::createProjectDb(path));
}

// The entries as the database object hands them out.
Entries entriesOf(ProjectDb &db)
{
    Entries entries;
    for (const PatchedFunction &f : db.functions())
        entries.insert(f.address, {f.address, f.name, f.sourceFile, f.oldBytes});
    return entries;
}

void add(ProjectDb &db, const Entries &entries)
{
    for (const Entry &e : entries)
        db.addFunction(PatchedFunction(e.address, e.name, e.sourceFile, e.oldBytes));
}

// Commits the entries as the whole content of the file.
void fill(const QString &path, const Entries &entries)
{
    auto db = openDb(path);
    db->clearFunctions();
    add(*db, entries);
    db->commit();
}

Entries placeholder(quint32 a)
{
    return {{a, {a, QString("f%1").arg(a), NotResolved, 0x55EC + a}}};
}

// Calls fn, which must throw a std::exception whose text names path and holds reason.
void expectFailure(const std::function<void()> &fn, const QString &path, const QString &reason)
{
    try {
        fn();
        ADD_FAILURE() << "no exception for " << path.toStdString() << ": " << reason.toStdString();
    } catch (const std::exception &e) {
        EXPECT_TRUE(QString(e.what()).contains(path) && QString(e.what()).contains(reason))
            << e.what();
    }
}

class ProjectDbTest : public ::testing::Test
{
protected:
    QString file(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
    const QString path = file("project.db");
};

} // namespace

TEST_F(ProjectDbTest, EntriesComeBackExactly)
{
    // Neighbouring rows share texts in practice; each row must still get its own value when
    // the texts differ by one character, by case, by a non-ASCII letter of the same length,
    // or are new strings built in a loop (whose storage may land where the last one was).
    const QString shared = "c:\\src\\a.cpp", umlaut = QString::fromUtf8("c:\\src\\\xc3\xa4.cpp");
    const QStringList texts = {shared,           shared,    "c:\\src\\b.cpp",
                               "C:\\src\\b.cpp", umlaut,    umlaut,
                               QString(),        QString(), "x",
                               QString(),        shared};
    Entries written = {{0xfffffff0u, {0xfffffff0u, NotResolved, NotResolved, (1ULL << 40) - 1}},
                       {0, {0, QString::fromUtf8("Gr\xc3\xbc\xc3\x9f::\xe6\xbc\xa2"), "", 1}}};
    for (int i = 0; i < texts.size(); ++i)
        written.insert(0x1000 + i, {0x1000u + i, texts[i], texts[texts.size() - 1 - i], 7});
    for (quint32 i = 0; i < 200; ++i) {
        const QString name = QString("f%1").arg(i, 4, 10, QLatin1Char('0'));
        written.insert(0x2000 + i, {0x2000 + i, name, name.toUpper(), 0});
    }
    writeFile(path, QByteArray()); // an empty file is an empty database
    {
        auto db = openDb(path);
        EXPECT_TRUE(db->functions().isEmpty() && db->executableTimestamp().isEmpty());
        add(*db, written);
        // A second entry for an address keeps the first, as a set does.
        db->addFunction(PatchedFunction(0x1000, "second", "b.cpp", 2));
        expectFailure([&] { db->addFunction(PatchedFunction(7, "n", "s", 1ULL << 40)); }, path,
                      "40 bits");
        db->commit();
        db->setExecutableTimestamp("Sat Dec 6 19:00:00 2025");
    }
    EXPECT_EQ(entriesOf(*openDb(path)), written);
    // Other readers (the tracing engine, scripts) see the documented layout, in UTF-8.
    EXPECT_EQ(readEntries(path), written);
    EXPECT_EQ(readTimestamp(path), "Sat Dec 6 19:00:00 2025");
    EXPECT_EQ(query(path, "PRAGMA user_version").value(0).value(0), "1");

    // A clear keeps the timestamp: the resolve run rewrites the entries and nothing else.
    auto db = openDb(path);
    db->clearFunctions();
    db->commit();
    EXPECT_EQ(db->functionCount(), 0);
    EXPECT_EQ(db->executableTimestamp(), "Sat Dec 6 19:00:00 2025");
}

TEST_F(ProjectDbTest, UnframedSitesAreWrittenWithTheEntriesAndKeptByAnotherRewrite)
{
    fill(path, placeholder(1));
    // A file of the first layout lacks the table: a write adds it.
    ASSERT_TRUE(execSql(path, "DROP TABLE unframed"));
    const QHash<quint32, quint64> sites{{0x1020, 0xfbe8}, {0xfffffff0u, 0xffffffffffULL}};
    auto db = openDb(path);
    db->setUnframedSites(sites);
    db->commit();
    fill(path, placeholder(2)); // as the resolve run rewrites the entries
    std::unique_ptr<ProjectDb> reader(DbFactory::openProjectDbForReading(path));
    EXPECT_EQ(reader->unframedSites(), sites);
    EXPECT_EQ(reader->functionCount(), 1);
}

TEST_F(ProjectDbTest, OtherKindsOfFileCorruptRowsAndUnusableLocationsAreRefusedUntouched)
{
    // (Files that are no SQLite database at all are refused end to end.) The rows that insert go
    // into a database of this kind.
    const QString tables = "CREATE TABLE functions (address INTEGER PRIMARY KEY, name TEXT NOT "
                           "NULL, source_file TEXT NOT NULL, old_bytes INTEGER NOT NULL);"
                           "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);";
    const QString cases[][2] = {
        {tables + "PRAGMA user_version = 2;", "newer version"},
        {"CREATE TABLE songs (title TEXT);", "not a project patch database"},
        {"CREATE TABLE functions (address INTEGER, name TEXT); PRAGMA user_version = 1;",
         "source_file"},
        {tables + "CREATE TABLE unframed (address INTEGER); PRAGMA user_version = 1;",
         "unframed or its column old_bytes"},
        {"INSERT INTO functions VALUES (-5, 'n', 's', 0)", "32-bit RVA"},
        {"INSERT INTO functions VALUES (4294967296, 'n', 's', 0)", "32-bit RVA"},
        {"INSERT INTO functions VALUES (9, 'n', 's', 'text')", "not numbers"},
        {"INSERT INTO functions VALUES (9, 'n', 's', 1099511627776)", "beyond 40 bits"},
        {"INSERT INTO unframed VALUES (9, -1)", "unframed site at 0x9 with old bytes -1"},
    };
    for (const auto &c : cases) {
        QFile::remove(path);
        if (c[0].startsWith("INSERT"))
            fill(path, placeholder(1));
        ASSERT_TRUE(execSql(path, c[0]));
        const QByteArray before = readFile(path);
        const auto readAll = [&] {
            auto db = openDb(path);
            db->functions();
            db->unframedSites();
        };
        expectFailure(readAll, path, c[1]);
        EXPECT_EQ(readFile(path), before);
        EXPECT_FALSE(QFileInfo::exists(path + "-journal"));
    }

    ASSERT_TRUE(writeFile(file("plain"), "x") && QDir(dir.path()).mkdir("sub"));
    const char *const places[][2] = {{"plain/project.db", "does not exist"},
                                     {"sub", "folder"},
                                     {"/proc/tqt_patchdb_test.db", "cannot"}};
    for (const auto &place : places) {
        const QString where = place[0][0] == '/' ? QString(place[0]) : file(place[0]);
        expectFailure([&] { openDb(where); }, where, place[1]);
        EXPECT_FALSE(QFileInfo::exists(where) && !QFileInfo(where).isDir());
    }
}
