#include "Settings.h"

#include "AbstractColors.h"
#include "AbstractFiles.h"
#include "AbstractPaths.h"
#include "AbstractStrings.h"
#include "GlobalLog.h"
#include "VelmoraColors.h"
#include "VelmoraFiles.h"
#include "VelmoraPaths.h"
#include "VelmoraStrings.h"

#include <QSettings>

namespace TQ::SETTINGS {

using TQ::SHARED::UTILS::GlobalLog;

namespace {

Settings *theInstance = nullptr;

// The settings file is named by this key of the file scheme.
constexpr int SettingsFileId = TQ::VELMORA::FI_Settings;

} // namespace

Settings::Settings(AbstractStrings *strings, AbstractPaths *paths, AbstractFiles *files,
                   AbstractColors *colors)
    : stringScheme(strings), pathScheme(paths), fileScheme(files), colorScheme(colors)
{
}

Settings::~Settings()
{
    if (theInstance == this)
        theInstance = nullptr;
    delete stringScheme;
    delete pathScheme;
    delete fileScheme;
    delete colorScheme;
}

Settings *Settings::instance()
{
    return theInstance;
}

void Settings::setInstance(Settings *settings)
{
    theInstance = settings;
}

void Settings::restore()
{
    GlobalLog::instance()->info(QStringLiteral("Restoring Settings..."));
    if (fileScheme == nullptr)
        return;
    const QFileInfo file = fileScheme->fileInfo(SettingsFileId);
    if (!file.exists())
        return;
    QSettings store(file.absoluteFilePath(), QSettings::IniFormat);
    if (pathScheme != nullptr)
        pathScheme->restore(store);
    fileScheme->restore(store);
    if (colorScheme != nullptr)
        colorScheme->restore(store);
}

void Settings::check()
{
    GlobalLog *log = GlobalLog::instance();
    if (stringScheme != nullptr)
        stringScheme->check();
    else
        log->error(QStringLiteral("Missing String Scheme"));

    if (pathScheme != nullptr)
        pathScheme->check();
    else
        log->error(QStringLiteral("Missing Path Scheme"));

    // File locations are built from the paths; with broken paths their check means nothing.
    if (fileScheme == nullptr)
        log->error(QStringLiteral("Missing File Scheme"));
    else if (pathScheme != nullptr && pathScheme->isOk())
        fileScheme->check();

    if (colorScheme != nullptr)
        colorScheme->check();
    else
        log->error(QStringLiteral("Missing Color Scheme"));
}

void Settings::save()
{
    if (fileScheme == nullptr)
        return;
    const QString path = fileScheme->fileInfo(SettingsFileId).absoluteFilePath();
    QSettings store(path, QSettings::IniFormat);
    if (store.status() != QSettings::NoError || !store.isWritable()) {
        GlobalLog::instance()->warning(
            QStringLiteral("Saving settings to \"%1\" failed.").arg(path));
        return;
    }
    if (pathScheme != nullptr)
        pathScheme->save(store);
    fileScheme->save(store);
    if (colorScheme != nullptr)
        colorScheme->save(store);
}

QString Settings::absoluteFilePath(int fileId) const
{
    return fileScheme != nullptr ? fileScheme->absoluteFilePath(fileId) : QString();
}

Settings *createSettings()
{
    auto *strings = new TQ::VELMORA::VelmoraStrings;
    auto *paths = new TQ::VELMORA::VelmoraPaths(strings);
    auto *files = new TQ::VELMORA::VelmoraFiles(strings, paths);
    auto *colors = new TQ::VELMORA::VelmoraColors;
    auto *settings = new Settings(strings, paths, files, colors);
    Settings::setInstance(settings);
    settings->restore();
    settings->check();
    return settings;
}

} // namespace TQ::SETTINGS
