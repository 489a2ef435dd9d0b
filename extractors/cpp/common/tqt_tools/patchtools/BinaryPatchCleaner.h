// The patch-clean command: command line, patch-clean mode and resolve mode.
#pragma once

#include "MapExtract.h"

#include <QByteArray>
#include <QFileInfo>
#include <QHash>
#include <QString>

#include <string>

namespace TQ::SETTINGS {
class Settings;
} // namespace TQ::SETTINGS
namespace TQ::EXTRACTORS::CPP::DIA {
class DiaApi;
} // namespace TQ::EXTRACTORS::CPP::DIA

namespace TQ::EXTRACTORS::CPP::COMMON {

class BinaryPatchCleaner
{
public:
    // Collects the demangler's standard output (OutputReceiver.h).
    class OutputReceiver;

    BinaryPatchCleaner();
    virtual ~BinaryPatchCleaner();
    BinaryPatchCleaner(const BinaryPatchCleaner &) = delete;
    BinaryPatchCleaner &operator=(const BinaryPatchCleaner &) = delete;

    // Chooses the mode from QCoreApplication::arguments(); false after the usage text or a
    // failed patch-clean run.
    bool run();

    bool patchClean(QString exePath, QString dbPath, QString vsCommonPath);
    void resolveNames(QString exePath, QString nameListPath, QString dbPath, QString vsCommonPath);

    // The reader for one image at load address 0, so that every address is an RVA; owned by
    // the caller.
    virtual DIA::DiaApi *openDebugInfo(QString path);
    // Starts this tool again, detached, in the resolve mode; does not wait for it.
    virtual void startResolveStep(QString exePath, QString nameListPath, QString dbPath,
                                  QString vsCommonPath);

    static void readMapFile(QFileInfo mapFile, MapExtract *extract);
    static QByteArray runUndname(const QFileInfo &nameListFile, QString vsCommonPath);
    static QHash<int, QString> parseUndnameOutput(QByteArray output);

    static void showMessage(const QString &text);
    static void showMessage(const std::string &text);

private:
    SETTINGS::Settings *settings = nullptr; // process-wide, never deleted
};

} // namespace TQ::EXTRACTORS::CPP::COMMON
