// Cleans the hook calls of the map's functions in the image and records them in the database.
#pragma once

#include "FunctionInfo.h"

#include <QList>
#include <QString>

#include <functional>

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

class IExeRewriter;
class ProjectDb;

class ExePatcher
{
public:
    using DbCreator = std::function<ProjectDb *(QString)>;
    using RewriterCreator = std::function<IExeRewriter *(QString)>;

    // The database library's and the rewriter's own factories.
    ExePatcher();
    // Other factories, for instance ones that fail on purpose.
    ExePatcher(DbCreator createDb, RewriterCreator createRewriter);

    // If anything fails before the database has committed, the bytes written in this run are
    // put back and the image is closed before the exception goes on: image and database then
    // stay as they were.
    void patchExecutable(QString exePath, QList<DIA::FunctionInfo> *functions, quint32 hookRva,
                         QString dbPath);

    static const quint64 NopBytes = Q_UINT64_C(0x9090909090);

private:
    DbCreator createDb;
    RewriterCreator createRewriter;
};

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
