// The project patch database as one SQLite file.
//
// The first functions(), clearFunctions() or addFunction() call opens a write transaction
// (BEGIN IMMEDIATE) that commit() ends, so that a read, clear and rewrite by one process is a
// unit that a second process on the same file waits for instead of overwriting. A read-only
// object opens a read transaction instead, so that its reads see one state of the file.
#pragma once

#include "ProjectDb.h"

#include <memory>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace TQ::EXTRACTORS::CPP::COMMON {

class SqliteProjectDb : public ProjectDb
{
public:
    static constexpr int SchemaVersion = 1;
    static constexpr int DefaultBusyTimeoutMs = 30000;

    enum class Access { ReadWrite, ReadOnly };

    // Opens or creates the file (ReadOnly: opens an existing one and never writes); throws
    // ProjectDbException when it cannot be used.
    SqliteProjectDb(const QString &path, int busyTimeoutMs, Access access = Access::ReadWrite);
    ~SqliteProjectDb() override;
    SqliteProjectDb(const SqliteProjectDb &) = delete;
    SqliteProjectDb &operator=(const SqliteProjectDb &) = delete;

    QString path() const override;
    QString executableTimestamp() override;
    int functionCount() override;
    bool function(quint32 address, PatchedFunction *out) override;
    bool containsFunction(quint32 address) override;
    void rollback() override;
    bool inTransaction() const override;

    void setExecutableTimestamp(QString timestamp) override;
    void clearFunctions() override;
    void commit() override;
    void addFunction(const PatchedFunction &function) override;
    QSet<PatchedFunction> functions() override;
    QHash<quint32, quint64> unframedSites() override;
    void setUnframedSites(const QHash<quint32, quint64> &sites) override;
    QString metaValue(const QString &key) override;
    void setMetaValue(const QString &key, const QString &value) override;

private:
    struct DbCloser
    {
        void operator()(sqlite3 *db) const;
    };
    struct StmtFinalizer
    {
        void operator()(sqlite3_stmt *stmt) const;
    };
    using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

    void open(bool fileExisted);
    void checkSchema();
    bool hasTable(const char *name);
    bool schemaIsEmpty(int *userVersion);
    void createSchema();
    void beginWrite();
    void ensureWriteTransaction();
    void exec(const char *sql, const char *what);
    sqlite3_stmt *prepared(StmtPtr &slot, const char *sql);
    PatchedFunction readRow(sqlite3_stmt *stmt) const;
    // name and sourceFile hold the previous row's texts and are kept when they recur.
    PatchedFunction readRow(sqlite3_stmt *stmt, QString &name, QString &sourceFile) const;
    // The address and old bytes in the given columns, checked; what names the row in errors.
    void readSite(sqlite3_stmt *stmt, int addressColumn, int bytesColumn, const char *what,
                  quint32 *address, quint64 *oldBytes) const;
    [[noreturn]] void fail(const QString &reason) const;
    [[noreturn]] void failSqlite(const char *what) const;

    QString m_path;
    int m_busyTimeoutMs;
    Access m_access;
    // Declared before the statements so that it is closed after they are finalized.
    std::unique_ptr<sqlite3, DbCloser> m_db;
    StmtPtr m_insert;
    StmtPtr m_selectAll;
    StmtPtr m_selectOne;
    StmtPtr m_count;
    StmtPtr m_setMeta;
    StmtPtr m_getMeta;
    StmtPtr m_selectUnframed;
    StmtPtr m_insertUnframed;
    std::string m_textBuffers[2]; // the UTF-8 of the name and source file last bound
    QString m_encodedTexts[2];    // the strings those bytes came from
    // True from BEGIN until COMMIT or ROLLBACK; SQLite may end a transaction on its own after an
    // I/O error, and writes must not then go on in autocommit mode.
    bool m_writing = false;
};

} // namespace TQ::EXTRACTORS::CPP::COMMON
