#include "BinaryPatchCleaner.h"

#include "CleanerException.h"
#include "DiaApi.h"
#include "ExePatcher.h"
#include "NameListHandover.h"
#include "Settings.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QMessageBox>
#include <QStringList>

#include <iostream>
#include <memory>

namespace TQ::EXTRACTORS::CPP::COMMON {

using DIA::DiaApi;
using DIA::ModInfo;
using DIA::SymbolAddress;

namespace {

const int SymTagPublicSymbol = 10;

const char UsageText[] =
    "This tool is used for cleaning an executable or dll that has been created with /Gh compiler "
    "switch. It is a prerequisite for using the Tracing Engine\n"
    "Cleaning has only to be done once after the exe/dll has freshly been created by the "
    "linker.\n"
    "\n"
    "Usage: %1 <exe or dll> <project patch database file> <path to visual studio common>";

} // namespace

BinaryPatchCleaner::BinaryPatchCleaner() : settings(SETTINGS::createSettings()) {}

BinaryPatchCleaner::~BinaryPatchCleaner()
{
    if (settings)
        settings->save();
}

bool BinaryPatchCleaner::run()
{
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 4)
        return patchClean(args.at(1), args.at(2), args.at(3));
    if (args.size() == 6 && args.at(1) == QLatin1String("--resolve")) {
        resolveNames(args.at(2), args.at(3), args.at(4), args.at(5));
        return true;
    }
    const QString usage = QString::fromLatin1(UsageText).arg(args.value(0), 0, QLatin1Char(' '));
    showMessage(usage.toUtf8().toStdString());
    return false;
}

void BinaryPatchCleaner::showMessage(const QString &text)
{
    if (qobject_cast<QApplication *>(QCoreApplication::instance())) {
        QMessageBox box;
        box.setText(text);
        box.exec();
        return;
    }
    std::cout << text.toStdString() << std::endl;
}

void BinaryPatchCleaner::showMessage(const std::string &text)
{
    showMessage(QString::fromUtf8(text.c_str()));
}

DiaApi *BinaryPatchCleaner::openDebugInfo(QString path)
{
    QList<ModInfo> modules;
    modules.append(ModInfo(0, path));
    return DIA::createDia(modules);
}

bool BinaryPatchCleaner::patchClean(QString exePath, QString dbPath, QString vsCommonPath)
{
    const QFileInfo exe(exePath);

    std::unique_ptr<DiaApi> reader;
    try {
        reader.reset(openDebugInfo(exe.absoluteFilePath()));
    } catch (const Exception &e) {
        showMessage(std::string(e.what()));
        return false;
    }

    const QList<SymbolAddress> hooks =
        reader->findSymbols(QStringList(QStringLiteral("__penter")), SymTagPublicSymbol);
    if (hooks.size() > 1) {
        showMessage(QStringLiteral("Error: exe/dll contains more than one symbol __penter()"));
        return false;
    }
    if (hooks.isEmpty()) {
        // A failed load also leaves the hook unfound; what failed is what the user has to mend.
        const QString failure = reader->loadFailure();
        if (!failure.isEmpty())
            showMessage(failure);
        showMessage(QStringLiteral("Error: symbol __penter() was not found in executable"));
        return false;
    }
    const quint32 hookRva = hooks.first().address;

    const QFileInfo mapFile(exe.absoluteDir(), exe.completeBaseName() + QLatin1String(".map"));
    if (!mapFile.exists()) {
        std::cout << "Map file " << mapFile.absoluteFilePath().toUtf8().constData()
                  << " does not exist. Can't patchclean..." << std::endl;
        return true;
    }

    // The name list goes to the working directory, where the resolve run finds it by path.
    MapExtract extract(QFileInfo(mapFile.fileName()));
    readMapFile(mapFile, &extract);
    // Committing an empty set would drop the entries of an earlier clean, the only record of
    // those functions' old bytes.
    if (extract.functions.isEmpty()) {
        std::cout << "Map file " << mapFile.absoluteFilePath().toUtf8().constData()
                  << " lists no function. Can't patchclean..." << std::endl;
        return true;
    }

    ExePatcher patcher;
    patcher.setNameListDigest(extract.nameListDigest);
    patcher.patchExecutable(exePath, &extract.functions, hookRva, dbPath);

    // The resolve run reads its own copy: the file in the working folder may be another clean's
    // by the time it gets there.
    QString nameList = extract.takeNameListCopy();
    if (nameList.isEmpty())
        nameList = extract.nameListFile.absoluteFilePath();
    startResolveStep(exePath, nameList, dbPath, vsCommonPath);
    return true;
}

} // namespace TQ::EXTRACTORS::CPP::COMMON
