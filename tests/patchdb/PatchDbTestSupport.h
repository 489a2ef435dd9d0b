// Helpers for the database tests: a temporary folder, raw access to the file, file snapshots.
#pragma once

#include "DbFactory.h"
#include "ProjectDb.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace patchdbtest {

using TQ::EXTRACTORS::CPP::COMMON::DbFactory;
using TQ::EXTRACTORS::CPP::COMMON::PatchedFunction;
using TQ::EXTRACTORS::CPP::COMMON::ProjectDb;

inline QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// Runs SQL on the file with SQLite directly, the way a script or the sqlite3 shell would.
inline void rawExec(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
    char *error = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
    const std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << message;
}

inline long long rawQueryInt(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    long long value = -1;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            value = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return value;
}

inline std::unique_ptr<ProjectDb> openDb(const QString &path)
{
    return std::unique_ptr<ProjectDb>(DbFactory::createProjectDb(path));
}

inline std::unique_ptr<ProjectDb> openDb(const QString &path, int busyTimeoutMs)
{
    return std::unique_ptr<ProjectDb>(DbFactory::createProjectDb(path, busyTimeoutMs));
}

inline PatchedFunction entry(quint32 address, const QString &name = "not resolved yet")
{
    return PatchedFunction(address, name, "not resolved yet", 0x55ECu + address);
}

// Commits the given entries as the whole content of the file.
inline void fillDb(const QString &path, const QList<PatchedFunction> &entries)
{
    auto db = openDb(path);
    db->functions();
    db->clearFunctions();
    for (const PatchedFunction &f : entries)
        db->addFunction(f);
    db->commit();
}

class PatchDbTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QString file(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

} // namespace patchdbtest
