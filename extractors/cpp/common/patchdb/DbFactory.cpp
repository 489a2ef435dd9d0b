#include "DbFactory.h"

#include "SqliteProjectDb.h"

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

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

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
