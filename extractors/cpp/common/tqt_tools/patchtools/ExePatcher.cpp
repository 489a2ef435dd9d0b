#include "ExePatcher.h"

#include "CleanerException.h"
#include "DbFactory.h"
#include "ProjectDb.h"
#include "exerewriter.h"

#include <Interruption.h>

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QVector>

#include <iostream>
#include <memory>
#include <optional>

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

namespace {

void stopIfInterrupted()
{
    if (PLATFORM::FILEMAP::interruptionPending())
        throw Interrupted();
}

// Functions found as NOPs with no earlier entry, less those that this run's own writes made NOPs
// (a later name at an address already cleaned in this run): their old bytes are lost.
int countUnknownOldBytes(const QVector<quint32> &foundClean, const QVector<quint32> &written)
{
    if (foundClean.isEmpty())
        return 0;
    const QSet<quint32> ours(written.begin(), written.end());
    QSet<quint32> unknown;
    for (const quint32 rva : foundClean)
        if (!ours.contains(rva))
            unknown.insert(rva);
    return unknown.size();
}

} // namespace

ExePatcher::ExePatcher()
    : createDb([](QString path) { return DbFactory::createProjectDb(path); }),
      createRewriter([](QString path) { return createExeRewriter(path); })
{
}

ExePatcher::ExePatcher(DbCreator createDb, RewriterCreator createRewriter)
    : createDb(std::move(createDb)), createRewriter(std::move(createRewriter))
{
}

void ExePatcher::patchExecutable(QString exePath, QList<DIA::FunctionInfo> *functions,
                                 quint32 hookRva, QString dbPath)
{
    // Outlives the database object, so that its rollback runs before a late signal may end the
    // process.
    std::optional<PLATFORM::FILEMAP::InterruptDeferral> deferral;
    std::unique_ptr<ProjectDb> db(createDb(dbPath));
    const QString image = QDir::toNativeSeparators(QFileInfo(exePath).canonicalFilePath());

    const QSet<PatchedFunction> previous = db->functions();
    const QHash<quint32, quint64> previousUnframed = db->unframedSites();
    QHash<quint32, quint64> unframed;
    // From here on the run changes the database and the image: a SIGINT or SIGTERM is only noted,
    // and ends the run at the next check, once both are as they were. (The wait for the database
    // above may take long and changes nothing: a signal there ends the process at once.)
    deferral.emplace();
    db->clearFunctions();

    QElapsedTimer timer;
    timer.restart();
    std::cout << "Patching executable for " << functions->size() << " functions... " << std::flush;

    std::unique_ptr<IExeRewriter> rewriter(createRewriter(image));
    rewriter->open();

    // A lookup in a set of a million entries mostly waits for memory. The lookups of the next
    // few functions are made together ahead of their turn, so that those waits overlap; a
    // lookup only reads the set, and one whose function turns out not to need it is dropped.
    constexpr int Ahead = 16;
    QSet<PatchedFunction>::const_iterator found[Ahead];
    const int count = functions->size();

    QVector<quint32> written;
    QVector<quint32> foundClean;
    QSet<quint32> foreignFifthByte;
    QString stamp;
    // Every write lands in a private copy of the image first; the image itself changes only once
    // the old bytes are safe in the journal.
    writeJournaled(*rewriter, [&] {
        for (int i = 0; i < count; ++i) {
            const DIA::FunctionInfo &f = functions->at(i);
            if (i % Ahead == 0) {
                for (int k = i; k < qMin(i + Ahead, count); ++k)
                    found[k - i] = previous.constFind(PatchedFunction(functions->at(k).address));
                if (i % 4096 == 0)
                    stopIfInterrupted();
            }
            quint64 oldBytes = 0;
            switch (rewriter->patchHookCall(f.address, oldBytes, NopBytes, hookRva)) {
            case PatchedFramed:
                written.append(f.address);
                db->addFunction(PatchedFunction(f.address, f.name, f.sourceFile, oldBytes));
                break;
            case AlreadyNops: {
                // Cleaned by an earlier run: only that run's entry knows the old bytes.
                const auto earlier = found[i % Ahead];
                if (earlier != previous.constEnd())
                    db->addFunction(*earlier);
                else if (previousUnframed.contains(f.address)) {
                    if (!unframed.contains(f.address))
                        unframed.insert(f.address, previousUnframed.value(f.address));
                } else
                    foundClean.append(f.address);
                break;
            }
            case PatchedUnframed:
                written.append(f.address);
                unframed.insert(f.address, oldBytes);
                break;
            case NotPatchable: {
                // Four NOPs before a byte of somebody else's code: left as it stands, but said.
                quint64 bytes = 0;
                if (rewriter->readBytes(f.address, bytes) && (bytes & 0xFFFFFFFFu) == 0x90909090u)
                    foreignFifthByte.insert(f.address);
                break;
            }
            }
        }
        std::cout << timer.elapsed() << " ms. " << std::endl;
        stopIfInterrupted();
        rewriter->applyJournaledWrites();
        stopIfInterrupted();
        db->setUnframedSites(unframed);
        // In the same transaction as the entries, so that no stop leaves the one without the
        // other; the image is on disk already, so its time should not change any more.
        stamp = QFileInfo(exePath).lastModified().toString(Qt::TextDate);
        db->setExecutableTimestamp(stamp);
        db->commit();
    });
    rewriter.reset();
    // The stored time is the image's time after the close; should the close have moved it after
    // all, the entries stay and only the time is brought up to date.
    const QString closed = QFileInfo(exePath).lastModified().toString(Qt::TextDate);
    if (closed != stamp)
        db->setExecutableTimestamp(closed);

    if (const int unknown = countUnknownOldBytes(foundClean, written))
        std::cout << "Warning: " << unknown
                  << " functions were found cleaned already with no entry from an earlier run; "
                     "their old bytes are unknown, so they are not recorded"
                  << std::endl;
    if (!foreignFifthByte.isEmpty())
        std::cout << "Warning: " << foreignFifthByte.size()
                  << " functions begin with four NOPs and a fifth byte that is not one; no clean "
                     "leaves that, so they were left as they are and are not recorded"
                  << std::endl;
}

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
