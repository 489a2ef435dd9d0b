#include "ExePatcher.h"

#include "CleanerException.h"
#include "DbFactory.h"
#include "ImageBuild.h"
#include "PatchSite.h"
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
#include <stdexcept>

namespace TQ::EXTRACTORS::CPP::COMMON {

namespace {

void stopIfInterrupted()
{
    if (PLATFORM::FILEMAP::interruptionPending())
        throw Interrupted();
}

// One pass over the map's functions: what it writes into the (staged) image and records.
class SitePass
{
public:
    SitePass(const QSet<PatchedFunction> &previous, const QHash<quint32, quint64> &previousUnframed)
        : previous(previous), previousUnframed(previousUnframed)
    {
    }

    void run(IExeRewriter &rewriter, const QList<DIA::FunctionInfo> &functions, quint32 hookRva,
             ProjectDb &db)
    {
        // A lookup in a set of a million entries mostly waits for memory. The lookups of the
        // next few functions are made together ahead of their turn, so that those waits overlap;
        // a lookup only reads the set, and one whose function turns out not to need it is
        // dropped.
        constexpr int Ahead = 16;
        QSet<PatchedFunction>::const_iterator found[Ahead];
        const int count = functions.size();
        for (int i = 0; i < count; ++i) {
            if (i % Ahead == 0) {
                for (int k = i; k < qMin(i + Ahead, count); ++k)
                    found[k - i] = previous.constFind(PatchedFunction(functions.at(k).address));
                if (i % 4096 == 0)
                    stopIfInterrupted();
            }
            const DIA::FunctionInfo &f = functions.at(i);
            quint64 oldBytes = 0;
            switch (rewriter.patchHookCall(f.address, oldBytes, SITE::FiveNops, hookRva)) {
            case PatchedFramed:
                written.append(f.address);
                db.addFunction(PatchedFunction(f.address, f.name, f.sourceFile, oldBytes));
                break;
            case AlreadyNops:
                carryOver(f.address, found[i % Ahead], db);
                break;
            case PatchedUnframed:
                written.append(f.address);
                unframed.insert(f.address, oldBytes);
                break;
            case NotPatchable:
                noteForeignFifthByte(rewriter, f.address);
                break;
            }
        }
    }

    const QHash<quint32, quint64> &unframedSites() const { return unframed; }

    // Functions found as NOPs with no earlier record, less those that this pass's own writes
    // made NOPs (a later name at an address cleaned already in this pass): their old bytes are
    // lost.
    int unknownOldBytes() const
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

    // Functions that begin with four NOPs and a fifth byte of somebody else's code.
    int foreignFifthBytes() const { return foreignFifthByte.size(); }

private:
    // Four NOPs before a byte of somebody else's code: left as it stands, but said.
    void noteForeignFifthByte(IExeRewriter &rewriter, quint32 rva)
    {
        quint64 bytes = 0;
        if (rewriter.readBytes(rva, bytes) && SITE::startsWithFourNops(bytes))
            foreignFifthByte.insert(rva);
    }

    // Cleaned by an earlier run: only that run's record knows the old bytes.
    void carryOver(quint32 rva, QSet<PatchedFunction>::const_iterator earlier, ProjectDb &db)
    {
        if (earlier != previous.constEnd())
            db.addFunction(*earlier);
        else if (previousUnframed.contains(rva)) {
            if (!unframed.contains(rva))
                unframed.insert(rva, previousUnframed.value(rva));
        } else
            foundClean.append(rva);
    }

    const QSet<PatchedFunction> &previous;
    const QHash<quint32, quint64> &previousUnframed;
    QHash<quint32, quint64> unframed;
    QVector<quint32> written;
    QVector<quint32> foundClean;
    QSet<quint32> foreignFifthByte;
};

} // namespace

const char ExePatcher::NameListDigestKey[] = "name_list_digest";

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
    refuseAnotherImage(*db, exePath);
    // From here on the run changes the database and the image: a SIGINT or SIGTERM is only noted,
    // and ends the run at the next check, once both are as they were. (The wait for the database
    // above may take long and changes nothing: a signal there ends the process at once.)
    deferral.emplace();
    db->clearFunctions();

    QElapsedTimer timer;
    timer.restart();
    std::cout << "Patching executable for " << functions->size() << " functions... " << std::flush;

    std::unique_ptr<IExeRewriter> rewriter(createRewriter(image));
    // A journal left behind by a run stopped after its commit is finished, not undone.
    rewriter->setCommitCheck(&DbFactory::committedJournal);
    rewriter->open();
    const ImageBuild build =
        ImageBuild::fromHeaders(QFileInfo(exePath).fileName(), rewriter->buildId());
    // The database's commit, which records this token, is the clean's commit point.
    const JournalBinding binding{db->path(), PatchJournal::newToken()};

    SitePass pass(previous, previousUnframed);
    QString stamp;
    // Every write lands in a private copy of the image first; the image itself changes only once
    // the old bytes are safe in the journal.
    writeJournaled(
        *rewriter,
        [&] {
            pass.run(*rewriter, *functions, hookRva, *db);
            std::cout << timer.elapsed() << " ms. " << std::endl;
            stopIfInterrupted();
            rewriter->applyJournaledWrites();
            stopIfInterrupted();
            // All in the transaction of the entries, so that no stop leaves the one without the
            // other; the image is on disk already, so its time should not change any more.
            db->setUnframedSites(pass.unframedSites());
            build.writeTo(*db);
            db->setMetaValue(QLatin1String(NameListDigestKey), nameListDigest);
            db->setMetaValue(QLatin1String(DbFactory::JournalTokenKey),
                             QString::number(binding.token, 16));
            stamp = QFileInfo(exePath).lastModified().toString(Qt::TextDate);
            db->setExecutableTimestamp(stamp);
            db->commit();
        },
        binding);
    rewriter.reset();
    // The stored time is the image's time after the close; should the close have moved it after
    // all, the entries stay and only the time is brought up to date.
    const QString closed = QFileInfo(exePath).lastModified().toString(Qt::TextDate);
    if (closed != stamp)
        db->setExecutableTimestamp(closed);

    if (const int unknown = pass.unknownOldBytes())
        std::cout << "Warning: " << unknown
                  << " functions were found cleaned already with no entry from an earlier run; "
                     "their old bytes are unknown, so they are not recorded"
                  << std::endl;
    if (const int foreign = pass.foreignFifthBytes())
        std::cout << "Warning: " << foreign
                  << " functions begin with four NOPs and a fifth byte that is not one; no clean "
                     "leaves that, so they were left as they are and are not recorded"
                  << std::endl;
}

} // namespace TQ::EXTRACTORS::CPP::COMMON
