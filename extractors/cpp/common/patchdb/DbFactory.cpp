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

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
