// Cleans the hook calls of the map's functions in the image and records them in the database.
#pragma once

#include "FunctionInfo.h"

#include <QList>
#include <QString>

#include <functional>

namespace TQ::EXTRACTORS::CPP::COMMON {

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
    // Refuses, before anything changes, a database that describes an image of another name.
    void patchExecutable(QString exePath, QList<DIA::FunctionInfo> *functions, quint32 hookRva,
                         QString dbPath);

    // The digest of the name list that this clean hands its resolve run; recorded with the
    // entries, so that the resolve run can tell that its list belongs to them.
    void setNameListDigest(const QString &digest) { nameListDigest = digest; }
    static const char NameListDigestKey[];

private:
    DbCreator createDb;
    RewriterCreator createRewriter;
    QString nameListDigest;
};

} // namespace TQ::EXTRACTORS::CPP::COMMON
