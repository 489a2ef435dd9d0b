// The resolve mode: names from the demangler and source files from the debug information for
// the entries that the patch-clean run left unresolved.
#include "BinaryPatchCleaner.h"

#include "CleanerException.h"
#include "DbFactory.h"
#include "DiaApi.h"
#include "OutputReceiver.h"
#include "ProjectDb.h"
#include "Settings.h"
#include "VelmoraFiles.h"
#include "processrunner.h"

#include <QDir>
#include <QSet>

#include <algorithm>
#include <future>
#include <iostream>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

using SHARED::UTILS::PROCESSRUNNER::ProcessRunner;
using SHARED::UTILS::PROCESSRUNNER::RunException;
using SHARED::UTILS::PROCESSRUNNER::RunParameters;

namespace {

const char NotResolved[] = "not resolved yet";

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
    }
}

QByteArray BinaryPatchCleaner::runUndname(const QFileInfo &nameListFile, QString vsCommonPath)
{
    const QFileInfo undname(vsCommonPath + QLatin1String("/bin/undname.exe"));
    if (!undname.isFile() || !undname.isExecutable()) {
        std::cout << undname.absoluteFilePath().toLocal8Bit().constData()
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
    std::unique_ptr<DIA::DiaApi> reader;
    try {
        reader.reset(openDebugInfo(QFileInfo(exePath).absoluteFilePath()));
    } catch (const Exception &e) {
        showMessage(std::string(e.what()));
        return;
    }

    // The first source lookup builds the reader's line index, which on a large image takes as
    // long as the demangler run: it is asked on a second thread meanwhile, and the reader is
    // not used elsewhere until that lookup is over. Without a thread the loop builds it.
    std::future<void> lineIndex;
    try {
        DIA::DiaApi *const debugInfo = reader.get();
        lineIndex = std::async(std::launch::async, [debugInfo] { debugInfo->sourceFileOf(0); });
    } catch (const std::system_error &) {
    }

    const QHash<int, QString> names =
        parseUndnameOutput(runUndname(QFileInfo(nameListPath), vsCommonPath));

    std::unique_ptr<ProjectDb> db(DbFactory::createProjectDb(dbPath));
    const QSet<PatchedFunction> entries = db->functions();
    // Rewritten in address order: the table's B-tree then grows at its end, and neighbouring
    // lookups in the debug information touch neighbouring records. The set's own order is its
    // hash's and promises nothing.
    std::vector<std::pair<quint32, const PatchedFunction *>> order;
    order.reserve(size_t(entries.size()));
    for (const PatchedFunction &entry : entries)
        order.emplace_back(entry.address, &entry);
    std::sort(order.begin(), order.end());
    db->clearFunctions();
    if (lineIndex.valid())
        lineIndex.get();
    const QString notResolved = QString::fromLatin1(NotResolved);
    const QString unknown = QStringLiteral("???");
    for (const auto &item : order) {
        PatchedFunction entry = *item.second;
        if (entry.name == notResolved || entry.sourceFile == notResolved) {
            entry.name = names.value(int(entry.address), unknown);
            entry.sourceFile = reader->sourceFileOf(entry.address);
        }
        db->addFunction(entry);
    }
    db->commit();
    // The database goes first, then the reader (the owners' reverse order of creation).
}

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
