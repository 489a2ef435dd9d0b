#include "ExePatcher.h"

#include "DbFactory.h"
#include "ProjectDb.h"
#include "exerewriter.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QVector>

#include <iostream>
#include <memory>

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

namespace {

struct WrittenCall
{
    quint32 rva;
    quint64 oldBytes;
};

// Puts the old bytes back, latest first so that folded addresses end with their first bytes,
// and closes the image. Runs while an exception is on its way: it must not throw.
void undo(IExeRewriter *rewriter, const QVector<WrittenCall> &written)
{
    for (int i = written.size() - 1; i >= 0; --i) {
        try {
            rewriter->writeBytes(written.at(i).rva, written.at(i).oldBytes);
        } catch (const std::exception &e) {
            std::cout << "Could not restore the bytes at " << std::hex << written.at(i).rva
                      << std::dec << ": " << e.what() << std::endl;
        }
    }
    try {
        rewriter->close();
    } catch (const std::exception &e) {
        std::cout << e.what() << std::endl;
    }
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
    std::unique_ptr<ProjectDb> db(createDb(dbPath));
    const QString image = QDir::toNativeSeparators(QFileInfo(exePath).canonicalFilePath());

    const QSet<PatchedFunction> previous = db->functions();
    const QHash<quint32, quint64> previousUnframed = db->unframedSites();
    QHash<quint32, quint64> unframed;
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

    QVector<WrittenCall> written;
    try {
        for (int i = 0; i < count; ++i) {
            const DIA::FunctionInfo &f = functions->at(i);
            if (i % Ahead == 0)
                for (int k = i; k < qMin(i + Ahead, count); ++k)
                    found[k - i] = previous.constFind(PatchedFunction(functions->at(k).address));
            quint64 oldBytes = 0;
            switch (rewriter->patchHookCall(f.address, oldBytes, NopBytes, hookRva)) {
            case PatchedFramed:
                written.append({f.address, oldBytes});
                db->addFunction(PatchedFunction(f.address, f.name, f.sourceFile, oldBytes));
                break;
            case AlreadyNops: {
                // Cleaned by an earlier run: only that run's entry knows the old bytes.
                const auto earlier = found[i % Ahead];
                if (earlier != previous.constEnd())
                    db->addFunction(*earlier);
                else if (previousUnframed.contains(f.address) && !unframed.contains(f.address))
                    unframed.insert(f.address, previousUnframed.value(f.address));
                break;
            }
            case PatchedUnframed:
                written.append({f.address, oldBytes});
                unframed.insert(f.address, oldBytes);
                break;
            case NotPatchable:
                break;
            }
        }
        std::cout << timer.elapsed() << " ms. " << std::endl;
        db->setUnframedSites(unframed);
        db->commit();
    } catch (...) {
        undo(rewriter.get(), written);
        throw;
    }
    rewriter->close();
    rewriter.reset();

    db->setExecutableTimestamp(QFileInfo(exePath).lastModified().toString(Qt::TextDate));
}

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
