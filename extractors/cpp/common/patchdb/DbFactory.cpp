#include "DbFactory.h"

#include "SqliteProjectDb.h"

#include <QFileInfo>

#include <memory>

namespace TQ::EXTRACTORS::CPP::COMMON {

ProjectDb *DbFactory::createProjectDb(QString path)
{
    return new SqliteProjectDb(path, SqliteProjectDb::DefaultBusyTimeoutMs);
}

ProjectDb *DbFactory::createProjectDb(QString path, int busyTimeoutMs)
{
    return new SqliteProjectDb(path, busyTimeoutMs);
}

ProjectDb *DbFactory::openProjectDbForReading(QString path)
{
    return new SqliteProjectDb(path, SqliteProjectDb::DefaultBusyTimeoutMs,
                               SqliteProjectDb::Access::ReadOnly);
}

const char DbFactory::JournalTokenKey[] = "journal_token";

bool DbFactory::committedJournal(QString path, quint64 token)
{
    // A clean creates its database before it writes the image: a file that is not there, or
    // still empty, has committed nothing.
    const QFileInfo file(path);
    if (!file.isFile() || file.size() == 0)
        return false;
    const std::unique_ptr<ProjectDb> db(openProjectDbForReading(path));
    return db->metaValue(QLatin1String(JournalTokenKey)) == QString::number(token, 16);
}

} // namespace TQ::EXTRACTORS::CPP::COMMON
