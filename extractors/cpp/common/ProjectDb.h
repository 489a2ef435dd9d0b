// The project patch database as the patch-clean tool and the tracing engine see it.
#pragma once

#include "PatchedFunction.h"

#include <QHash>
#include <QSet>
#include <QString>

namespace TQ::EXTRACTORS::CPP::COMMON {

class ProjectDb
{
public:
    virtual ~ProjectDb() = default;

    // The database file this object works on.
    virtual QString path() const = 0;
    // The stored last-modified time of the cleaned image, empty if none was stored.
    virtual QString executableTimestamp() = 0;
    // Number of function entries the database holds.
    virtual int functionCount() = 0;
    // One entry by address; false if there is none.
    virtual bool function(quint32 address, PatchedFunction *out) = 0;
    // Whether an entry exists for the address.
    virtual bool containsFunction(quint32 address) = 0;
    // Drops what was changed since the open transaction began; nothing is written.
    virtual void rollback() = 0;
    // Whether this object holds an open write transaction.
    virtual bool inTransaction() const = 0;

    virtual void setExecutableTimestamp(QString timestamp) = 0;
    virtual void clearFunctions() = 0;
    virtual void commit() = 0;
    virtual void addFunction(const PatchedFunction &function) = 0;
    virtual QSet<PatchedFunction> functions() = 0;

    // The old bytes of the sites cleaned without an entry (functions without the standard
    // frame), by address, so that a clean can be undone; empty for files written before they
    // were kept.
    virtual QHash<quint32, quint64> unframedSites() = 0;
    // Replaces them, within the transaction that commit() ends.
    virtual void setUnframedSites(const QHash<quint32, quint64> &sites) = 0;

    // A value of the meta table (what the database records beside its entries: which build it
    // describes, ImageBuild.h); empty when the key is absent.
    virtual QString metaValue(const QString &key) = 0;
    // Sets one within the transaction that commit() ends.
    virtual void setMetaValue(const QString &key, const QString &value) = 0;
};

} // namespace TQ::EXTRACTORS::CPP::COMMON
