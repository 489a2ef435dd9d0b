#pragma once

#include "ProjectDb.h"

namespace TQ::EXTRACTORS::CPP::COMMON {

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
    // Whether the database at path committed the clean whose journal carries token (the clean
    // records it in the transaction of its entries); false when there is no database there.
    // Throws, as the factories do, when the file cannot be read.
    static bool committedJournal(QString path, quint64 token);
    // The meta key of that token.
    static const char JournalTokenKey[];
};

} // namespace TQ::EXTRACTORS::CPP::COMMON
