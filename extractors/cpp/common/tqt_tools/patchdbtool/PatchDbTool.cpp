#include "PatchDbTool.h"

#include "DbFactory.h"
#include "ImageBuild.h"
#include "PatchSite.h"
#include "PeImage.h"
#include "ProjectDb.h"
#include "exerewriter.h"

#include <Interruption.h>

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QVector>

#include <algorithm>
#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

namespace TQ::EXTRACTORS::CPP::COMMON {

namespace {

const char UsageText[] =
    "This tool shows a project patch database, checks an exe/dll cleaned by tqt_patchclean.exe "
    "against it and restores the exe/dll as the linker wrote it.\n"
    "\n"
    "Usage: %1 list <project patch database file>\n"
    "       %1 verify <exe or dll> <project patch database file>\n"
    "       %1 restore <exe or dll> <project patch database file>\n"
    "\n"
    "list: one line per entry: address, old bytes, name, source file, separated by tabs.\n"
    "verify: exit code 0 when every recorded site holds the NOPs of the clean, else 1.\n"
    "restore: writes the recorded old bytes back; refused (exit code 1) unless verify passes.\n"
    "Exit code 2: this text, or an input that cannot be used.";

const char InterruptedText[] = "The run was interrupted.";
const int ShownMismatches = 20;

// A site the database records, with the old bytes of its entry or unframed row.
struct RecordedSite
{
    quint64 oldBytes = 0;
    bool recordedTwice = false; // as an entry and as an unframed site, with other old bytes
    quint64 otherOldBytes = 0;
};

// Why a site does not match, most telling first: the order chooses the closing line.
enum class Fault { HoldsCall, NoSection, NotCode, OutsideData, HoldsOther, OldNotCall, Twice };

struct SiteMismatch
{
    quint32 address;
    Fault fault;
    QString found;
};

using SITE::hexAddress;
using SITE::hexBytes;

// A line per entry must stay one line whatever a name holds.
QString oneLine(QString text)
{
    for (QChar &c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('?');
    return text;
}

QMap<quint32, RecordedSite> recordedSites(ProjectDb &db)
{
    QMap<quint32, RecordedSite> sites;
    for (const PatchedFunction &f : db.functions())
        sites[f.address].oldBytes = f.oldBytes;
    const QHash<quint32, quint64> unframed = db.unframedSites();
    for (auto it = unframed.constBegin(); it != unframed.constEnd(); ++it) {
        const auto known = sites.find(it.key());
        if (known == sites.end()) {
            sites[it.key()].oldBytes = it.value();
        } else if (known->oldBytes != it.value()) {
            known->recordedTwice = true;
            known->otherOldBytes = it.value();
        }
    }
    return sites;
}

QVector<SiteMismatch> checkSites(const PeImage &image, const QMap<quint32, RecordedSite> &sites)
{
    QVector<SiteMismatch> mismatches;
    for (auto it = sites.constBegin(); it != sites.constEnd(); ++it) {
        const quint32 rva = it.key();
        const RecordedSite &site = it.value();
        const PeImage::Section *section = image.sectionOf(rva);
        quint64 now = 0;
        if (!section) {
            mismatches.append({rva, Fault::NoSection, QStringLiteral("lies in no section")});
        } else if (!section->holdsCode()) {
            mismatches.append({rva, Fault::NotCode,
                               QStringLiteral("lies in section %1, which holds no code")
                                   .arg(oneLine(QString::fromStdString(section->nameText())))});
        } else if (!image.fiveBytesAt(*section, rva, &now)) {
            mismatches.append({rva, Fault::OutsideData,
                               QStringLiteral("lies past the data of section %1 in the file")
                                   .arg(oneLine(QString::fromStdString(section->nameText())))});
        } else if (now != SITE::FiveNops) {
            const bool call = SITE::isCall(now);
            mismatches.append({rva, call ? Fault::HoldsCall : Fault::HoldsOther,
                               QStringLiteral("holds %1 instead of five NOPs").arg(hexBytes(now))});
        } else if (site.recordedTwice) {
            mismatches.append({rva, Fault::Twice,
                               QStringLiteral("is recorded twice, with old bytes %1 and %2")
                                   .arg(hexBytes(site.oldBytes), hexBytes(site.otherOldBytes))});
        } else if (!SITE::isCall(site.oldBytes)) {
            mismatches.append({rva, Fault::OldNotCall,
                               QStringLiteral("has old bytes %1, which are not a call")
                                   .arg(hexBytes(site.oldBytes))});
        }
    }
    return mismatches;
}

QString likelyCause(Fault fault)
{
    switch (fault) {
    case Fault::HoldsCall:
        return QStringLiteral("The image holds calls where the clean left NOPs: it was probably "
                              "linked again, or restored, without a new clean. Clean it with "
                              "tqt_patchclean.exe before tracing.");
    case Fault::NoSection:
    case Fault::NotCode:
    case Fault::OutsideData:
        return QStringLiteral("Recorded sites lie outside the image's code: the database "
                              "probably belongs to another image.");
    case Fault::HoldsOther:
        return QStringLiteral("The image was probably changed after the clean, or the database "
                              "belongs to another image.");
    case Fault::OldNotCall:
    case Fault::Twice:
        break;
    }
    return QStringLiteral("The database does not know the linker's bytes of these sites: a "
                          "restore cannot give the linker's image back.");
}

void printMismatches(const QVector<SiteMismatch> &mismatches, int siteCount)
{
    Fault telling = mismatches.first().fault;
    for (int i = 0; i < mismatches.size(); ++i) {
        const SiteMismatch &m = mismatches.at(i);
        if (i < ShownMismatches)
            std::cout << hexAddress(m.address).toStdString() << ": " << m.found.toUtf8().constData()
                      << '\n';
        telling = std::min(telling, m.fault);
    }
    if (mismatches.size() > ShownMismatches)
        std::cout << "... and " << mismatches.size() - ShownMismatches << " more ("
                  << mismatches.size() << " of " << siteCount << " recorded sites do not match)\n";
    std::cout << likelyCause(telling).toUtf8().constData() << std::endl;
}

std::unique_ptr<ProjectDb> openForReading(const QString &dbPath)
{
    return std::unique_ptr<ProjectDb>(DbFactory::openProjectDbForReading(dbPath));
}

} // namespace

int PatchDbTool::run(const QStringList &args)
{
    try {
        const QString command = args.value(1);
        if (args.size() == 3 && command == QLatin1String("list"))
            return list(args.at(2));
        if (args.size() == 4 && command == QLatin1String("verify"))
            return verify(args.at(2), args.at(3));
        if (args.size() == 4 && command == QLatin1String("restore"))
            return restore(args.at(2), args.at(3));
        std::cout << QString::fromLatin1(UsageText).arg(args.value(0)).toUtf8().constData()
                  << std::endl;
    } catch (const std::exception &e) {
        std::cout << e.what() << std::endl;
    }
    return Trouble;
}

int PatchDbTool::list(const QString &dbPath)
{
    const QSet<PatchedFunction> entries = openForReading(dbPath)->functions();
    QVector<PatchedFunction> sorted(entries.begin(), entries.end());
    std::sort(sorted.begin(), sorted.end(), [](const PatchedFunction &a, const PatchedFunction &b) {
        return a.address < b.address;
    });
    // Scripts read the list: UTF-8 whatever the locale, as the database holds it.
    QByteArray out;
    for (const PatchedFunction &f : sorted) {
        out += hexAddress(f.address).toLatin1() + '\t' + hexBytes(f.oldBytes).toLatin1() + '\t' +
               oneLine(f.name).toUtf8() + '\t' + oneLine(f.sourceFile).toUtf8() + '\n';
        if (out.size() > (1 << 16)) {
            std::cout.write(out.constData(), out.size());
            out.clear();
        }
    }
    std::cout.write(out.constData(), out.size());
    std::cout.flush();
    return Success;
}

int PatchDbTool::verify(const QString &imagePath, const QString &dbPath)
{
    PeImage image(imagePath);
    const std::unique_ptr<ProjectDb> db = openForReading(dbPath);
    refuseAnotherImage(*db, imagePath);
    const QMap<quint32, RecordedSite> sites = recordedSites(*db);
    // A stopped run's journal decides what the image holds: verify sees what the next run that
    // opens the image will leave.
    if (const int undone = image.settlePendingJournal())
        std::cout << "A stopped run's writes at " << undone
                  << " sites were never committed; they are checked as put back, as the next run "
                     "will put them back."
                  << std::endl;
    const QVector<SiteMismatch> mismatches = checkSites(image, sites);
    if (!mismatches.isEmpty()) {
        printMismatches(mismatches, sites.size());
        return Mismatch;
    }
    std::cout << "The image matches the database: all " << sites.size()
              << " recorded sites hold the NOPs of the clean." << std::endl;
    return Success;
}

int PatchDbTool::restore(const QString &imagePath, const QString &dbPath)
{
    // The plain reasons (missing, not PE) before the rewriter's retries.
    const PeImage beforeLocking(imagePath);
    Q_UNUSED(beforeLocking)
    // The snapshot stays open until the image is written, so that no clean commits other old
    // bytes in between.
    const std::unique_ptr<ProjectDb> db = openForReading(dbPath);
    refuseAnotherImage(*db, imagePath);
    const QMap<quint32, RecordedSite> sites = recordedSites(*db);

    const QString native = QDir::toNativeSeparators(QFileInfo(imagePath).canonicalFilePath());
    std::unique_ptr<IExeRewriter> rewriter(createExeRewriter(native));
    rewriter->setCommitCheck(&DbFactory::committedJournal);
    rewriter->open();
    // Read again under the lock: what was checked is what gets written over.
    const QVector<SiteMismatch> mismatches = checkSites(PeImage(imagePath), sites);
    if (!mismatches.isEmpty()) {
        rewriter->close();
        printMismatches(mismatches, sites.size());
        std::cout << "Nothing was restored: the image does not hold what the clean left at the "
                     "sites above."
                  << std::endl;
        return Mismatch;
    }
    // Staged and journaled as the clean's writes are: however the run is stopped, the image is
    // either untouched or restored, and a stop inside the write is undone by the next open.
    PLATFORM::FILEMAP::InterruptDeferral deferral;
    writeJournaled(*rewriter, [&] {
        for (auto it = sites.constBegin(); it != sites.constEnd(); ++it)
            rewriter->writeBytes(it.key(), it.value().oldBytes);
        if (PLATFORM::FILEMAP::interruptionPending())
            throw std::runtime_error(InterruptedText);
        rewriter->applyJournaledWrites();
    });
    std::cout << "Restored the linker's bytes at " << sites.size() << " sites of "
              << native.toUtf8().constData() << "." << std::endl;
    return Success;
}

} // namespace TQ::EXTRACTORS::CPP::COMMON
