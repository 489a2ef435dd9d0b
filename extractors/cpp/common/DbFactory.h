#pragma once

#include "ProjectDb.h"

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

class DbFactory
{
public:
    // A new database object for the file at path, owned by the caller. Throws an exception
    // derived from std::exception, naming the file and the reason, when the file cannot be used.
    static ProjectDb *createProjectDb(QString path);
    // The same with the time, in milliseconds, that a transaction waits for another process to
    // finish its own before it gives up with an exception (the default waits 30 s).
    static ProjectDb *createProjectDb(QString path, int busyTimeoutMs);
    // A database object that only reads an existing file: nothing is created or written, and a
    // write-protected file will do. Its reads share one snapshot until commit or deletion.
    static ProjectDb *openProjectDbForReading(QString path);
};

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
