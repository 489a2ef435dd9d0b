// The resolve mode: names from the demangler and source files from the debug information for
// the entries that the patch-clean run left unresolved.
#include "BinaryPatchCleaner.h"

#include "CleanerException.h"
#include "DbFactory.h"
#include "DiaApi.h"
#include "ExePatcher.h"
#include "ImageBuild.h"
#include "NameListHandover.h"
#include "OutputReceiver.h"
#include "PatchSite.h"
#include "ProjectDb.h"
#include "Settings.h"
#include "VelmoraFiles.h"
#include "processrunner.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <exception>
#include <future>
#include <iostream>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace TQ::EXTRACTORS::CPP::COMMON {

using SHARED::UTILS::PROCESSRUNNER::ProcessRunner;
using SHARED::UTILS::PROCESSRUNNER::RunException;
using SHARED::UTILS::PROCESSRUNNER::RunParameters;

namespace {

// Runs work on a second thread when one can be had, else when its result is asked for.
template <typename Work> auto beside(Work work) -> std::future<decltype(work())>
{
    try {
        return std::async(std::launch::async, work);
    } catch (const std::system_error &) {
        return std::async(std::launch::deferred, std::move(work));
    }
}

// The names and source files of the entries, worked out on a second thread ahead of the
// database writes, which take them in the same order: the lookups then cost the run nothing
// beyond the writes. Only that thread uses the reader and the name table while it runs.
class Resolver
{
public:
    using Item = std::pair<quint32, const PatchedFunction *>;

    Resolver(const std::vector<Item> &order, const QHash<int, QString> &names, DIA::DiaApi *reader)
        : m_order(order), m_names(names), m_reader(reader), m_done(order.size()),
          m_notResolved(SITE::notResolved()), m_unknown(QStringLiteral("???"))
    {
        try {
            m_thread = std::thread([this] { run(); });
        } catch (const std::system_error &) {
            // No second thread: take() works each entry out itself.
        }
    }

    ~Resolver()
    {
        m_stop.store(true, std::memory_order_relaxed);
        if (m_thread.joinable())
            m_thread.join();
    }

    Resolver(const Resolver &) = delete;
    Resolver &operator=(const Resolver &) = delete;

    // Gives entry i of the order its name and source file when it still holds the placeholder
    // (both fields, also when only one held it). Throws what working it out threw.
    void take(size_t i, PatchedFunction &entry)
    {
        if (!m_thread.joinable()) {
            if (needsWork(entry))
                work(i);
        } else {
            while (m_ready.load(std::memory_order_acquire) <= i) {
                if (m_failed.load(std::memory_order_acquire) &&
                    m_ready.load(std::memory_order_acquire) <= i)
                    std::rethrow_exception(m_failure);
                std::this_thread::yield();
            }
        }
        if (needsWork(entry)) {
            entry.name = std::move(m_done[i].name);
            entry.sourceFile = std::move(m_done[i].sourceFile);
        }
    }

private:
    struct Done
    {
        QString name;
        QString sourceFile;
    };

    bool needsWork(const PatchedFunction &entry) const
    {
        return entry.name == m_notResolved || entry.sourceFile == m_notResolved;
    }

    void work(size_t i)
    {
        const quint32 address = m_order[i].first;
        m_done[i].name = m_names.value(int(address), m_unknown);
        m_done[i].sourceFile = m_reader->sourceFileOf(address);
    }

    void run()
    {
        size_t i = 0;
        try {
            for (; i < m_order.size(); ++i) {
                if (m_stop.load(std::memory_order_relaxed))
                    return;
                if (needsWork(*m_order[i].second))
                    work(i);
                // Published in batches: a store per entry would cost more than it saves.
                if ((i & 63) == 63)
                    m_ready.store(i + 1, std::memory_order_release);
            }
            m_ready.store(i, std::memory_order_release);
        } catch (...) {
            // Entries before i are done; i is where the writes stop and the failure goes on.
            m_failure = std::current_exception();
            m_ready.store(i, std::memory_order_release);
            m_failed.store(true, std::memory_order_release);
        }
    }

    const std::vector<Item> &m_order;
    const QHash<int, QString> &m_names;
    DIA::DiaApi *const m_reader;
    std::vector<Done> m_done;
    const QString m_notResolved;
    const QString m_unknown;
    std::atomic<size_t> m_ready{0};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_failed{false};
    std::exception_ptr m_failure;
    std::thread m_thread;
};

// Whether the database still describes the build whose program database and name list this run
// read (checked under its write lock); if not, says so in one line.
bool stillDescribes(ProjectDb &db, const ImageBuild &build, const QString &nameListDigest)
{
    const ImageBuild recorded = ImageBuild::readFrom(db);
    const QString recordedDigest = db.metaValue(QLatin1String(ExePatcher::NameListDigestKey));
    const QString file = QDir::toNativeSeparators(db.path());
    QString why;
    if (recorded.isKnown() && recorded != build)
        why = QStringLiteral("now describes %1, not %2, which this resolve run read")
                  .arg(recorded.describe(),
                       build.isKnown() ? build.describe() : QStringLiteral("the image"));
    else if (!recordedDigest.isEmpty() && recordedDigest != nameListDigest)
        why = QStringLiteral("was written by a clean whose name list is not the one this "
                             "resolve run read");
    if (why.isEmpty())
        return true;
    std::cout << QStringLiteral("The project patch database %1 %2; nothing was written, the "
                                "entries are left to the resolve run of the clean that wrote "
                                "them.")
                     .arg(file, why)
                     .toStdString()
              << std::endl;
    return false;
}

// A name list handed over by the clean is read once, whatever becomes of the run.
class HandoverRelease
{
public:
    explicit HandoverRelease(const QString &path) : m_path(path) {}
    ~HandoverRelease() { NameListHandover::release(m_path); }
    HandoverRelease(const HandoverRelease &) = delete;
    HandoverRelease &operator=(const HandoverRelease &) = delete;

private:
    QString m_path;
};

} // namespace

QByteArray BinaryPatchCleaner::OutputReceiver::handleStdErr(const QByteArray &, qint64)
{
    return QByteArray();
}

QByteArray BinaryPatchCleaner::OutputReceiver::handleStdOut(const QByteArray &data, qint64)
{
    output.append(data);
    return QByteArray();
}

void BinaryPatchCleaner::startResolveStep(QString exePath, QString nameListPath, QString dbPath,
                                          QString vsCommonPath)
{
    RunParameters parameters;
    parameters.executable =
        SETTINGS::Settings::instance()->absoluteFilePath(VELMORA::FI_TqtPatchClean);
    parameters.arguments =
        QStringList{QStringLiteral("--resolve"), exePath, nameListPath, dbPath, vsCommonPath};
    parameters.timeoutMs = -1;
    try {
        ProcessRunner::startDetached(parameters);
    } catch (const RunException &e) {
        std::cout << e.what() << std::endl;
        NameListHandover::release(nameListPath);
    }
}

QByteArray BinaryPatchCleaner::runUndname(const QFileInfo &nameListFile, QString vsCommonPath)
{
    const QFileInfo undname(vsCommonPath + QLatin1String("/bin/undname.exe"));
    if (!undname.isFile() || !undname.isExecutable()) {
        std::cout << undname.absoluteFilePath().toUtf8().constData()
                  << " is not an executable file. can't run undname... " << std::endl;
        return QByteArray();
    }

    OutputReceiver receiver;
    RunParameters parameters;
    parameters.executable = undname.absoluteFilePath();
    parameters.arguments = QStringList(QDir::toNativeSeparators(nameListFile.absoluteFilePath()));
    parameters.caller = &receiver;
    parameters.timeoutMs = -1;
    try {
        ProcessRunner::run(parameters, nullptr);
    } catch (const RunException &e) {
        std::cout << e.what() << std::endl;
    }
    return receiver.output;
}

void BinaryPatchCleaner::resolveNames(QString exePath, QString nameListPath, QString dbPath,
                                      QString vsCommonPath)
{
    const HandoverRelease release(nameListPath);
    const QString imagePath = QFileInfo(exePath).absoluteFilePath();
    // The program database is chosen by the image's headers during the load: the same headers
    // before and after it name the build that was read.
    const ImageBuild build = ImageBuild::ofFile(imagePath);
    std::unique_ptr<DIA::DiaApi> reader;
    try {
        reader.reset(openDebugInfo(imagePath));
    } catch (const Exception &e) {
        showMessage(std::string(e.what()));
        return;
    }
    if (ImageBuild::ofFile(imagePath) != build) {
        std::cout << "The image " << QDir::toNativeSeparators(imagePath).toStdString()
                  << " was linked again while this resolve run read it; nothing was written, the "
                     "entries are left to the resolve run of its next clean."
                  << std::endl;
        return;
    }
    // The entries still get their names; their source files fall back to the image's name.
    const QString failure = reader->loadFailure();
    if (!failure.isEmpty())
        showMessage(failure);

    // The reader's line index takes as long to build as the demangler runs on a large image:
    // it is built on a second thread meanwhile, and the reader is not used elsewhere until it
    // is done.
    DIA::DiaApi *const debugInfo = reader.get();
    std::future<void> lineIndex = beside([debugInfo] { debugInfo->buildLineIndex(); });

    const QString nameListDigest = NameListHandover::digestOfFile(nameListPath);
    QByteArray output = runUndname(QFileInfo(nameListPath), vsCommonPath);
    // A list in the working folder may be written over by another clean while the demangler
    // reads it; a private copy is not.
    const bool listChanged = !NameListHandover::isCopy(nameListPath) &&
                             NameListHandover::digestOfFile(nameListPath) != nameListDigest;
    // Reading the names touches nothing that reading the database does: the two run side by
    // side.
    std::future<QHash<int, QString>> parsed =
        beside([output = std::move(output)] { return parseUndnameOutput(output); });

    std::unique_ptr<ProjectDb> db(DbFactory::createProjectDb(dbPath));
    const QSet<PatchedFunction> entries = db->functions();
    // From functions() to commit() the database is this run's alone.
    if (!stillDescribes(*db, build, listChanged ? QString() : nameListDigest))
        return;
    // Rewritten in address order: the table's B-tree then grows at its end, and neighbouring
    // lookups in the debug information touch neighbouring records. The set's own order is its
    // hash's and promises nothing.
    std::vector<Resolver::Item> order;
    order.reserve(size_t(entries.size()));
    for (const PatchedFunction &entry : entries)
        order.emplace_back(entry.address, &entry);
    std::sort(order.begin(), order.end());
    db->clearFunctions();

    lineIndex.get();
    const QHash<int, QString> names = parsed.get();
    Resolver resolver(order, names, debugInfo);
    for (size_t i = 0; i < order.size(); ++i) {
        PatchedFunction entry = *order[i].second;
        resolver.take(i, entry);
        db->addFunction(entry);
    }
    db->commit();
    // The database goes first, then the reader (the owners' reverse order of creation).
}

} // namespace TQ::EXTRACTORS::CPP::COMMON
