#include "SqliteProjectDb.h"

#include "ProjectDbException.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVector>

#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace TQ::EXTRACTORS::CPP::COMMON {

namespace {

const char TimestampKey[] = "executable_timestamp";
const char UnframedTableSql[] = "CREATE TABLE IF NOT EXISTS unframed ("
                                " address INTEGER PRIMARY KEY,"
                                " old_bytes INTEGER NOT NULL)";
constexpr quint64 OldBytesLimit = quint64(1) << 40;

// Resets a statement when the scope that stepped it ends, so that no read lock outlives a call.
class StmtReset
{
public:
    explicit StmtReset(sqlite3_stmt *stmt) : m_stmt(stmt) {}
    ~StmtReset()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    StmtReset(const StmtReset &) = delete;
    StmtReset &operator=(const StmtReset &) = delete;

private:
    sqlite3_stmt *m_stmt;
};

QString columnText(sqlite3_stmt *stmt, int column)
{
    const unsigned char *text = sqlite3_column_text(stmt, column);
    const int bytes = sqlite3_column_bytes(stmt, column);
    if (!text || bytes <= 0)
        return QString();
    return QString::fromUtf8(reinterpret_cast<const char *>(text), bytes);
}

// True when the UTF-8 bytes spell text; only ASCII is compared, anything else counts as
// different, which merely costs a fresh string.
bool sameAsciiText(const QString &text, const unsigned char *bytes, int size)
{
    if (text.size() != size)
        return false;
    const ushort *units = text.utf16();
    for (int i = 0; i < size; ++i)
        if (bytes[i] >= 0x80 || units[i] != bytes[i])
            return false;
    return true;
}

// UTF-8, the file's own encoding: handing SQLite UTF-8 spares it a conversion per value.
void encode(const QString &text, std::string &buffer)
{
    const int size = text.size();
    const ushort *units = text.utf16();
    buffer.resize(size_t(size));
    int i = 0;
    for (; i < size && units[i] < 0x80; ++i)
        buffer[size_t(i)] = char(units[i]);
    if (i < size) {
        const QByteArray utf8 = text.toUtf8();
        buffer.assign(utf8.constData(), size_t(utf8.size()));
    }
}

// The bytes go into a buffer kept across rows and are bound without a copy (the statement is
// reset before the buffer changes), so a row costs no allocation. The same string as last time
// (neighbouring entries share their source file) is in the buffer already; the copy held in
// encoded keeps its storage from being reused by another string meanwhile.
void bindText(sqlite3_stmt *stmt, int index, const QString &text, std::string &buffer,
              QString &encoded)
{
    if (!text.isSharedWith(encoded)) {
        encode(text, buffer);
        encoded = text;
    }
    sqlite3_bind_text(stmt, index, buffer.data(), int(buffer.size()), SQLITE_STATIC);
}

// Leaves text as it is when the column holds the same, else reads the column into it.
void reuseOrRead(sqlite3_stmt *stmt, int column, QString &text)
{
    const unsigned char *bytes = sqlite3_column_text(stmt, column);
    const int size = sqlite3_column_bytes(stmt, column);
    if (bytes && size > 0 && sameAsciiText(text, bytes, size))
        return;
    text = columnText(stmt, column);
}

bool startsWithSqliteHeader(const QString &path)
{
    static const char header[] = "SQLite format 3"; // 16 bytes with the terminating NUL
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    char buffer[sizeof header];
    return file.read(buffer, sizeof buffer) == qint64(sizeof buffer) &&
           std::memcmp(buffer, header, sizeof header) == 0;
}

} // namespace

void SqliteProjectDb::DbCloser::operator()(sqlite3 *db) const
{
    sqlite3_close(db);
}

void SqliteProjectDb::StmtFinalizer::operator()(sqlite3_stmt *stmt) const
{
    sqlite3_finalize(stmt);
}

SqliteProjectDb::SqliteProjectDb(const QString &path, int busyTimeoutMs, Access access)
    : m_path(path.isEmpty() ? path : QFileInfo(path).absoluteFilePath()),
      m_busyTimeoutMs(busyTimeoutMs < 0 ? 0 : busyTimeoutMs), m_access(access)
{
    if (m_path.isEmpty())
        fail(QStringLiteral("no file name given"));

    const QFileInfo info(m_path);
    const bool existed = info.exists();
    if (existed) {
        if (info.isDir())
            fail(QStringLiteral("is a folder, not a database file"));
        // SQLite would take some short non-database files for empty databases and write a schema
        // over them; a file of ours always begins with SQLite's header.
        if (info.size() > 0 && !startsWithSqliteHeader(m_path))
            fail(QStringLiteral("is not an SQLite database file"));
    } else if (m_access == Access::ReadOnly) {
        fail(QStringLiteral("does not exist"));
    } else {
        const QFileInfo folder(info.absolutePath());
        if (!folder.isDir())
            fail(QStringLiteral("cannot be created: the folder %1 does not exist")
                     .arg(QDir::toNativeSeparators(folder.absoluteFilePath())));
    }

    try {
        open(existed);
        checkSchema();
    } catch (...) {
        m_insert.reset();
        m_selectAll.reset();
        m_selectOne.reset();
        m_count.reset();
        m_setMeta.reset();
        m_getMeta.reset();
        m_selectUnframed.reset();
        m_insertUnframed.reset();
        m_db.reset();
        // Opening creates the file; a failed open must leave nothing behind.
        if (!existed && QFileInfo(m_path).exists() && QFileInfo(m_path).size() == 0)
            QFile::remove(m_path);
        throw;
    }
}

SqliteProjectDb::~SqliteProjectDb()
{
    // An object deleted without commit leaves the file as it was.
    if (m_db && !sqlite3_get_autocommit(m_db.get()))
        sqlite3_exec(m_db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void SqliteProjectDb::open(bool fileExisted)
{
    sqlite3 *raw = nullptr;
    const int mode = m_access == Access::ReadOnly ? SQLITE_OPEN_READONLY
                                                  : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    const int rc =
        sqlite3_open_v2(m_path.toUtf8().constData(), &raw, mode | SQLITE_OPEN_NOMUTEX, nullptr);
    m_db.reset(raw);
    if (rc != SQLITE_OK) {
        if (!raw)
            fail(QStringLiteral("cannot be opened: out of memory"));
        failSqlite(fileExisted ? "cannot be opened" : "cannot be created");
    }
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, m_busyTimeoutMs);
    // SQLite falls back to read-only without a word when the file is write-protected.
    if (m_access == Access::ReadWrite && sqlite3_db_readonly(raw, "main") == 1)
        fail(QStringLiteral("cannot be written"));
    // Connection settings only; nothing is written to the file here. The rollback journal stays
    // on so that a run killed before commit leaves the file as it was. The page cache holds a
    // whole database of a million resolved entries (about 140 MiB): a run reads every page,
    // clears and rewrites them all, and with a smaller cache it reads them from the file again
    // and spills the rewrite into the file before the commit. Pages are only taken as used.
    exec("PRAGMA cache_size = -262144", "cannot be configured");
    exec("PRAGMA temp_store = MEMORY", "cannot be configured");
}

bool SqliteProjectDb::schemaIsEmpty(int *userVersion)
{
    StmtPtr version;
    {
        sqlite3_stmt *stmt = prepared(version, "PRAGMA user_version");
        StmtReset reset(stmt);
        if (sqlite3_step(stmt) != SQLITE_ROW)
            failSqlite("cannot be read");
        *userVersion = sqlite3_column_int(stmt, 0);
    }
    StmtPtr objects;
    sqlite3_stmt *stmt = prepared(objects, "SELECT count(*) FROM sqlite_master");
    StmtReset reset(stmt);
    if (sqlite3_step(stmt) != SQLITE_ROW)
        failSqlite("cannot be read");
    return *userVersion == 0 && sqlite3_column_int64(stmt, 0) == 0;
}

void SqliteProjectDb::checkSchema()
{
    int version = 0;
    if (schemaIsEmpty(&version)) {
        if (m_access == Access::ReadOnly)
            fail(QStringLiteral("is empty: no clean has written to it"));
        createSchema();
        return;
    }
    if (version > SchemaVersion)
        fail(QStringLiteral("was written by a newer version of the project patch database "
                            "(schema version %1; this version reads %2)")
                 .arg(version)
                 .arg(SchemaVersion));
    if (version != SchemaVersion)
        fail(QStringLiteral("is not a project patch database (schema version %1, tables of "
                            "another application)")
                 .arg(version));

    struct Table
    {
        const char *name;
        const char *columns[4];
        bool optional; // files written before the table existed lack it
    };
    static const Table tables[] = {
        {"functions", {"address", "name", "source_file", "old_bytes"}, false},
        {"meta", {"key", "value", nullptr, nullptr}, false},
        {"unframed", {"address", "old_bytes", nullptr, nullptr}, true},
    };
    for (const Table &table : tables) {
        if (table.optional && !hasTable(table.name))
            continue;
        StmtPtr info;
        sqlite3_stmt *stmt =
            prepared(info, "SELECT count(*) FROM pragma_table_info(?1) WHERE name = ?2");
        for (const char *column : table.columns) {
            if (!column)
                break;
            StmtReset reset(stmt);
            sqlite3_bind_text(stmt, 1, table.name, -1, SQLITE_STATIC);
            sqlite3_bind_text(stmt, 2, column, -1, SQLITE_STATIC);
            if (sqlite3_step(stmt) != SQLITE_ROW)
                failSqlite("cannot be read");
            if (sqlite3_column_int(stmt, 0) != 1)
                fail(QStringLiteral("is not a project patch database: table %1 or its column %2 "
                                    "is missing")
                         .arg(QLatin1String(table.name), QLatin1String(column)));
        }
    }
}

void SqliteProjectDb::createSchema()
{
    beginWrite();
    try {
        // Another process may have created the schema while this one waited for the lock.
        int version = 0;
        if (!schemaIsEmpty(&version)) {
            exec("ROLLBACK", "cannot be read");
            m_writing = false;
            checkSchema();
            return;
        }
        exec("CREATE TABLE functions ("
             " address INTEGER PRIMARY KEY,"
             " name TEXT NOT NULL,"
             " source_file TEXT NOT NULL,"
             " old_bytes INTEGER NOT NULL);"
             "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
             "PRAGMA user_version = 1;",
             "cannot be given its tables");
        exec(UnframedTableSql, "cannot be given its tables");
        exec("COMMIT", "cannot be given its tables");
        m_writing = false;
    } catch (...) {
        if (!sqlite3_get_autocommit(m_db.get()))
            sqlite3_exec(m_db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        m_writing = false;
        throw;
    }
}

bool SqliteProjectDb::hasTable(const char *name)
{
    StmtPtr query;
    sqlite3_stmt *stmt =
        prepared(query, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?1");
    StmtReset reset(stmt);
    sqlite3_bind_text(stmt, 1, name, -1, SQLITE_STATIC);
    if (sqlite3_step(stmt) != SQLITE_ROW)
        failSqlite("cannot be read");
    return sqlite3_column_int(stmt, 0) > 0;
}

void SqliteProjectDb::beginWrite()
{
    const char *begin = m_access == Access::ReadOnly ? "BEGIN" : "BEGIN IMMEDIATE";
    const int rc = sqlite3_exec(m_db.get(), begin, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        m_writing = true;
        return;
    }
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED)
        fail(QStringLiteral("is locked by another process; gave up waiting after %1 ms")
                 .arg(m_busyTimeoutMs));
    failSqlite("cannot be locked for writing");
}

void SqliteProjectDb::ensureWriteTransaction()
{
    if (m_writing) {
        if (sqlite3_get_autocommit(m_db.get()))
            fail(QStringLiteral("lost its open transaction after an earlier error; the changes "
                                "since it began were not written (call rollback to go on)"));
        return;
    }
    beginWrite();
}

void SqliteProjectDb::exec(const char *sql, const char *what)
{
    char *message = nullptr;
    const int rc = sqlite3_exec(m_db.get(), sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        const QString reason = QStringLiteral("%1: %2").arg(
            QLatin1String(what), QString::fromUtf8(message ? message : sqlite3_errstr(rc)));
        sqlite3_free(message);
        fail(reason);
    }
}

sqlite3_stmt *SqliteProjectDb::prepared(StmtPtr &slot, const char *sql)
{
    if (!slot) {
        sqlite3_stmt *stmt = nullptr;
        const int rc =
            sqlite3_prepare_v3(m_db.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
        slot.reset(stmt);
        if (rc != SQLITE_OK || !stmt)
            failSqlite("cannot be read");
    }
    return slot.get();
}

PatchedFunction SqliteProjectDb::readRow(sqlite3_stmt *stmt) const
{
    QString name, sourceFile;
    return readRow(stmt, name, sourceFile);
}

PatchedFunction SqliteProjectDb::readRow(sqlite3_stmt *stmt, QString &name,
                                         QString &sourceFile) const
{
    quint32 address = 0;
    quint64 oldBytes = 0;
    readSite(stmt, 0, 3, "entry", &address, &oldBytes);
    reuseOrRead(stmt, 1, name);
    reuseOrRead(stmt, 2, sourceFile);
    return PatchedFunction(address, name, sourceFile, oldBytes);
}

void SqliteProjectDb::readSite(sqlite3_stmt *stmt, int addressColumn, int bytesColumn,
                               const char *what, quint32 *address, quint64 *oldBytes) const
{
    const QLatin1String kind(what);
    if (sqlite3_column_type(stmt, addressColumn) != SQLITE_INTEGER ||
        sqlite3_column_type(stmt, bytesColumn) != SQLITE_INTEGER)
        fail(QStringLiteral("holds an %1 whose address or old bytes are not numbers").arg(kind));
    const sqlite3_int64 rawAddress = sqlite3_column_int64(stmt, addressColumn);
    const sqlite3_int64 rawBytes = sqlite3_column_int64(stmt, bytesColumn);
    if (rawAddress < 0 || rawAddress > sqlite3_int64(UINT_MAX))
        fail(QStringLiteral("holds an %1 with the address %2, which is not a 32-bit RVA")
                 .arg(kind)
                 .arg(rawAddress));
    if (rawBytes < 0 || quint64(rawBytes) >= OldBytesLimit)
        fail(QStringLiteral("holds the %1 at 0x%2 with old bytes %3 beyond 40 bits")
                 .arg(kind)
                 .arg(quint32(rawAddress), 0, 16)
                 .arg(rawBytes));
    *address = quint32(rawAddress);
    *oldBytes = quint64(rawBytes);
}

void SqliteProjectDb::fail(const QString &reason) const
{
    const QString file = QDir::toNativeSeparators(m_path);
    throw ProjectDbException(
        QStringLiteral("Project patch database %1: %2").arg(file, reason).toStdString());
}

void SqliteProjectDb::failSqlite(const char *what) const
{
    const char *detail = m_db ? sqlite3_errmsg(m_db.get()) : "unknown error";
    fail(QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromUtf8(detail)));
}

QString SqliteProjectDb::path() const
{
    return m_path;
}

QString SqliteProjectDb::executableTimestamp()
{
    return metaValue(QLatin1String(TimestampKey));
}

QString SqliteProjectDb::metaValue(const QString &key)
{
    sqlite3_stmt *stmt = prepared(m_getMeta, "SELECT value FROM meta WHERE key = ?1");
    StmtReset reset(stmt);
    const QByteArray utf8 = key.toUtf8();
    sqlite3_bind_text(stmt, 1, utf8.constData(), utf8.size(), SQLITE_STATIC);
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW)
        return columnText(stmt, 0);
    if (rc != SQLITE_DONE)
        failSqlite("cannot be read");
    return QString();
}

void SqliteProjectDb::setMetaValue(const QString &key, const QString &value)
{
    ensureWriteTransaction();
    sqlite3_stmt *stmt =
        prepared(m_setMeta, "INSERT OR REPLACE INTO meta (key, value) VALUES (?1, ?2)");
    StmtReset reset(stmt);
    const QByteArray utf8Key = key.toUtf8();
    sqlite3_bind_text(stmt, 1, utf8Key.constData(), utf8Key.size(), SQLITE_STATIC);
    bindText(stmt, 2, value, m_textBuffers[0], m_encodedTexts[0]);
    if (sqlite3_step(stmt) != SQLITE_DONE)
        failSqlite("cannot store what it records of the clean");
}

int SqliteProjectDb::functionCount()
{
    sqlite3_stmt *stmt = prepared(m_count, "SELECT count(*) FROM functions");
    StmtReset reset(stmt);
    if (sqlite3_step(stmt) != SQLITE_ROW)
        failSqlite("cannot be read");
    const sqlite3_int64 count = sqlite3_column_int64(stmt, 0);
    return count > INT_MAX ? INT_MAX : int(count);
}

bool SqliteProjectDb::function(quint32 address, PatchedFunction *out)
{
    sqlite3_stmt *stmt =
        prepared(m_selectOne,
                 "SELECT address, name, source_file, old_bytes FROM functions WHERE address = ?1");
    StmtReset reset(stmt);
    sqlite3_bind_int64(stmt, 1, sqlite3_int64(address));
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE)
        return false;
    if (rc != SQLITE_ROW)
        failSqlite("cannot be read");
    const PatchedFunction found = readRow(stmt);
    if (out)
        *out = found;
    return true;
}

bool SqliteProjectDb::containsFunction(quint32 address)
{
    return function(address, nullptr);
}

void SqliteProjectDb::rollback()
{
    if (!sqlite3_get_autocommit(m_db.get()))
        exec("ROLLBACK", "cannot roll back");
    m_writing = false;
}

bool SqliteProjectDb::inTransaction() const
{
    return m_writing && !sqlite3_get_autocommit(m_db.get());
}

void SqliteProjectDb::setExecutableTimestamp(QString timestamp)
{
    const bool ownTransaction = !m_writing;
    try {
        setMetaValue(QLatin1String(TimestampKey), timestamp);
    } catch (...) {
        if (ownTransaction)
            rollback();
        throw;
    }
    if (ownTransaction)
        commit();
}

void SqliteProjectDb::clearFunctions()
{
    ensureWriteTransaction();
    exec("DELETE FROM functions", "cannot clear the entries");
}

void SqliteProjectDb::commit()
{
    if (!m_writing)
        return;
    ensureWriteTransaction(); // throws when the transaction was lost
    const int rc = sqlite3_exec(m_db.get(), "COMMIT", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        m_writing = false;
        return;
    }
    // A commit that cannot finish leaves the file as it was.
    const QString detail = QString::fromUtf8(sqlite3_errmsg(m_db.get()));
    rollback();
    if ((rc & 0xff) == SQLITE_BUSY)
        fail(QStringLiteral("cannot commit: readers of another process kept the file busy for "
                            "%1 ms; nothing was written")
                 .arg(m_busyTimeoutMs));
    fail(QStringLiteral("cannot commit: %1; nothing was written").arg(detail));
}

void SqliteProjectDb::addFunction(const PatchedFunction &function)
{
    if (function.oldBytes >= OldBytesLimit)
        fail(QStringLiteral("cannot store the entry at 0x%1: old bytes beyond 40 bits")
                 .arg(function.address, 0, 16));
    ensureWriteTransaction();
    // OR IGNORE: a second entry for an address keeps the first, as a set does.
    sqlite3_stmt *stmt = prepared(m_insert, "INSERT OR IGNORE INTO functions "
                                            "(address, name, source_file, old_bytes) "
                                            "VALUES (?1, ?2, ?3, ?4)");
    StmtReset reset(stmt);
    sqlite3_bind_int64(stmt, 1, sqlite3_int64(function.address));
    bindText(stmt, 2, function.name, m_textBuffers[0], m_encodedTexts[0]);
    bindText(stmt, 3, function.sourceFile, m_textBuffers[1], m_encodedTexts[1]);
    sqlite3_bind_int64(stmt, 4, sqlite3_int64(function.oldBytes));
    if (sqlite3_step(stmt) != SQLITE_DONE)
        failSqlite("cannot add an entry");
}

QSet<PatchedFunction> SqliteProjectDb::functions()
{
    ensureWriteTransaction();
    QSet<PatchedFunction> result;
    const int count = functionCount();
    result.reserve(count);
    sqlite3_stmt *stmt =
        prepared(m_selectAll, "SELECT address, name, source_file, old_bytes FROM functions");
    StmtReset reset(stmt);
    // Texts repeat from row to row (the placeholder, one source file for neighbouring
    // functions): such a row shares the previous row's string instead of allocating its own.
    QString name, sourceFile;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
        result.insert(readRow(stmt, name, sourceFile));
    if (rc != SQLITE_DONE)
        failSqlite("cannot be read");
    return result;
}

QHash<quint32, quint64> SqliteProjectDb::unframedSites()
{
    ensureWriteTransaction();
    QHash<quint32, quint64> result;
    if (!hasTable("unframed"))
        return result;
    sqlite3_stmt *stmt = prepared(m_selectUnframed, "SELECT address, old_bytes FROM unframed");
    StmtReset reset(stmt);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        quint32 address = 0;
        quint64 oldBytes = 0;
        readSite(stmt, 0, 1, "unframed site", &address, &oldBytes);
        result.insert(address, oldBytes);
    }
    if (rc != SQLITE_DONE)
        failSqlite("cannot be read");
    return result;
}

void SqliteProjectDb::setUnframedSites(const QHash<quint32, quint64> &sites)
{
    ensureWriteTransaction();
    exec(UnframedTableSql, "cannot be given its unframed table");
    exec("DELETE FROM unframed", "cannot clear the unframed sites");
    // In address order, so that the table grows at its end.
    QVector<quint32> addresses = sites.keys().toVector();
    std::sort(addresses.begin(), addresses.end());
    sqlite3_stmt *stmt =
        prepared(m_insertUnframed, "INSERT INTO unframed (address, old_bytes) VALUES (?1, ?2)");
    for (const quint32 address : addresses) {
        const quint64 oldBytes = sites.value(address);
        if (oldBytes >= OldBytesLimit)
            fail(QStringLiteral("cannot store the unframed site at 0x%1: old bytes beyond 40 bits")
                     .arg(address, 0, 16));
        StmtReset reset(stmt);
        sqlite3_bind_int64(stmt, 1, sqlite3_int64(address));
        sqlite3_bind_int64(stmt, 2, sqlite3_int64(oldBytes));
        if (sqlite3_step(stmt) != SQLITE_DONE)
            failSqlite("cannot add an unframed site");
    }
}

} // namespace TQ::EXTRACTORS::CPP::COMMON
