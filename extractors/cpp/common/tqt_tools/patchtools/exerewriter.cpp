#include "exerewriter_p.h"

#include "PatchSite.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

#include <iostream>
#include <stdexcept>

namespace TQ::EXTRACTORS::CPP::COMMON {

namespace FM = PLATFORM::FILEMAP;
namespace PE = PLATFORM::PE;

namespace {

const int OpenAttempts = 3;
const int RetryWaitMs = 333;
const quint32 CallSiteSize = 8; // the call and the three bytes of a frame set-up

} // namespace

ExeRewriter::ExeRewriter(const QString &path) : path(path), journal(path) {}

// Closing here as well keeps the image unlocked when the owner's path to close is cut short
// by an exception; after the owner's own close it does nothing.
ExeRewriter::~ExeRewriter()
{
    close();
}

void ExeRewriter::failOpen(int line)
{
    close();
    const QString message = QString("Error opening \"%1\" for patching at %2:%3")
                                .arg(path, QString::fromUtf8(__FILE__), QString::number(line));
    throw std::runtime_error(message.toUtf8().toStdString());
}

void ExeRewriter::waitBeforeRetry()
{
    QMutexLocker locker(&retryMutex);
    QDeadlineTimer deadline(RetryWaitMs);
    while (!deadline.hasExpired())
        retryCondition.wait(&retryMutex, deadline);
}

void ExeRewriter::open()
{
    close();

    for (int failures = 0;;) {
        file = FM::createFileForPatching(utf16(path));
        if (file != FM::invalidHandleValue())
            break;
        close();
        if (++failures == OpenAttempts)
            failOpen(__LINE__);
        std::cout << "Failed to open " << path.toUtf8().constData() << "; waiting " << RetryWaitMs
                  << " ms and trying again..." << std::endl;
        waitBeforeRetry();
    }

    mapping = FM::createFileMapping(file);
    if (!mapping)
        failOpen(__LINE__);

    view = FM::mapViewOfFile(mapping);
    if (!view)
        failOpen(__LINE__);
    viewSize = FM::mappingSize(mapping);

    // The signature, the file header and the whole section table must lie in the file.
    switch (headers.read(view, viewSize)) {
    case PE::PeHeaders::Status::Ok:
        break;
    case PE::PeHeaders::Status::NoDosSignature:
        failOpen(__LINE__);
    case PE::PeHeaders::Status::NoPeSignature:
    case PE::PeHeaders::Status::SectionTableOutside:
        failOpen(__LINE__);
    }
    fingerprint = PatchJournal::fingerprint(view, headers);
    try {
        recoverInterruptedRun();
    } catch (...) {
        close();
        throw;
    }
}

// Under the lock just taken, so that no live writer's journal is taken for a stopped one's.
void ExeRewriter::recoverInterruptedRun()
{
    const PatchJournal::Recovery r =
        PatchJournal::recover(path, view, viewSize, fingerprint, commitCheck);
    switch (r.state) {
    case PatchJournal::State::NoJournal:
        return;
    case PatchJournal::State::Undone:
        if (!FM::flushViewOfFile(view))
            throw std::runtime_error("Error: the bytes of an interrupted run cannot be put back "
                                     "into \"" +
                                     path.toStdString() + "\"; its journal stays");
        std::cout << "Put back the old bytes of an interrupted run at " << r.restored << " of "
                  << r.sites << " sites" << std::endl;
        break;
    case PatchJournal::State::Committed:
        std::cout << "Finished an interrupted run whose " << r.sites
                  << " writes its database had committed" << std::endl;
        break;
    case PatchJournal::State::OtherFile:
        std::cout << "Dropped the journal of an interrupted run: the image has been built again "
                     "since"
                  << std::endl;
        break;
    case PatchJournal::State::Incomplete:
        std::cout << "Dropped the incomplete journal of an interrupted run, which had not changed "
                     "the image"
                  << std::endl;
        break;
    }
    journal.remove();
}

void ExeRewriter::close()
{
    if (journaling != Journaling::Off)
        revertJournaledWrites();
    if (view) {
        FM::unmapViewOfFile(view);
        view = nullptr;
    }
    if (mapping) {
        FM::closeHandle(mapping);
        mapping = nullptr;
    }
    if (file != FM::invalidHandleValue()) {
        FM::closeHandle(file);
        file = FM::invalidHandleValue();
    }
    viewSize = 0;
    headers = PE::PeHeaders();
}

// The file bytes of [rva, rva + length) by the one rule of the PE reader, in the private copy
// while staging.
uchar *ExeRewriter::placeIn(const PE::Section &section, quint32 rva, quint32 length) const
{
    const qint64 offset = view ? headers.fileOffset(section, rva, length) : -1;
    return offset < 0 ? nullptr : (copy ? copy : view) + offset;
}

uchar *ExeRewriter::placeOf(quint32 rva) const
{
    const PE::Section *section = view ? headers.sectionOf(rva) : nullptr;
    return section ? placeIn(*section, rva, SITE::Size) : nullptr;
}

// While staging, a write is journaled, and one that changes nothing is not even made: a second
// clean writes NOPs over NOPs at every function, and those pages would otherwise all be copied,
// journaled and synced for nothing.
void ExeRewriter::store(uchar *p, quint64 oldBytes, quint64 newBytes)
{
    if (journaling == Journaling::Staging) {
        wroteAnything = true;
        if (oldBytes == (newBytes & SITE::Mask))
            return;
        journal.add({quint64(p - copy), oldBytes, newBytes});
    }
    SITE::store(p, newBytes);
}

PatchResult ExeRewriter::patchHookCall(quint32 rva, quint64 &oldBytes, quint64 newBytes,
                                       quint32 hookRva)
{
    const PE::Section *section = view ? headers.sectionOf(rva) : nullptr;
    uchar *p = section ? placeIn(*section, rva, SITE::Size) : nullptr;
    if (!p)
        return NotPatchable;

    PatchResult result;
    if (SITE::startsWithFourNops(SITE::load(p))) {
        // A clean leaves five NOPs; four and another byte are somebody else's code.
        if (p[4] != SITE::Nop)
            return NotPatchable;
        result = AlreadyNops;
    } else {
        if (p[0] != SITE::CallRel32)
            return NotPatchable;
        const quint32 target = rva + SITE::Size + SITE::load32(p + 1);
        // Bytes past the section's raw data read as the zeros the loader would put there.
        const bool framed = placeIn(*section, rva, CallSiteSize) && p[5] == SITE::PushEbp &&
                            p[6] == SITE::MovEbpEsp[0] && p[7] == SITE::MovEbpEsp[1];
        if (target != hookRva) {
            // Incremental linking calls through a jump thunk; one is followed, no chains.
            const uchar *thunk = placeIn(*section, target, SITE::Size);
            if (!thunk || thunk[0] != SITE::JmpRel32 ||
                target + SITE::Size + SITE::load32(thunk + 1) != hookRva)
                return NotPatchable;
        }
        result = framed ? PatchedFramed : PatchedUnframed;
    }

    oldBytes = SITE::load(p);
    store(p, oldBytes, newBytes);
    return result;
}

void ExeRewriter::writeBytes(quint32 rva, quint64 bytes)
{
    uchar *p = placeOf(rva);
    if (!p) {
        const QString message = QString("patch failed for addr: %1").arg(rva, 0, 16);
        throw std::runtime_error(message.toLatin1().toStdString());
    }
    store(p, SITE::load(p), bytes);
}

bool ExeRewriter::readBytes(quint32 rva, quint64 &bytes)
{
    const uchar *p = placeOf(rva);
    if (p)
        bytes = SITE::load(p);
    return p != nullptr;
}

void ExeRewriter::setCommitCheck(const PatchJournal::CommitCheck &check)
{
    commitCheck = check;
}

PE::BuildId ExeRewriter::buildId() const
{
    return headers.buildId();
}

void ExeRewriter::beginJournaledWrites(const JournalBinding &binding)
{
    if (!view || journaling != Journaling::Off)
        throw std::logic_error("journaled writes need an open image and none begun");
    copy = FM::mapViewOfFileCopy(mapping);
    if (!copy)
        throw std::runtime_error("Error: \"" + path.toStdString() +
                                 "\" cannot be mapped for journaled writing");
    journal.clear();
    journal.bind(binding);
    journaling = Journaling::Staging;
}

void ExeRewriter::checkStillTheFileOpened() const
{
    FM::FileIdentity opened, named;
    if (FM::viewLostItsFile(view) || FM::viewLostItsFile(copy) ||
        !FM::identityOfFile(file, &opened) || opened.size != viewSize)
        throw std::runtime_error("Error: \"" + path.toStdString() +
                                 "\" was truncated by another process while it was being "
                                 "patched; nothing was recorded");
    if (!FM::identityOfPath(utf16(path), &named) || named.device != opened.device ||
        named.inode != opened.inode || named.size != viewSize)
        throw std::runtime_error("Error: \"" + path.toStdString() +
                                 "\" was replaced, moved or changed by another process while it "
                                 "was being patched; nothing was recorded");
}

void ExeRewriter::applyJournaledWrites()
{
    if (journaling != Journaling::Staging)
        throw std::logic_error("no journaled writes to apply");
    checkStillTheFileOpened();
    if (journal.count() > 0) {
        stageCheckSum();
        journal.write(viewSize, fingerprint);
        journaling = Journaling::Applying;
        for (int i = 0, n = journal.count(); i < n; ++i) {
            const SiteWrite w = journal.at(i);
            SITE::store(view + w.offset, w.newBytes);
        }
        if (!FM::flushViewOfFile(view))
            throw std::runtime_error("Error: \"" + path.toStdString() +
                                     "\" cannot be written to the disk");
    }
    // Written, if only with the bytes that stood there: the image's time says so, as the
    // writes through the shared view did before.
    if (wroteAnything)
        FM::touchFile(file);
    checkStillTheFileOpened();
    journaling = Journaling::Applied;
}

// A checksum that the linker wrote must stay the image's checksum, so it is journaled and
// written with the sites; a zero checksum means none was wanted and stays zero.
void ExeRewriter::stageCheckSum()
{
    const quint64 at = headers.checkSumOffset();
    if (!at || headers.checkSum() == 0)
        return;
    const quint32 sum = PE::PeHeaders::computeCheckSum(copy, viewSize, at);
    const quint64 old = SITE::load(copy + at);
    const quint64 updated = (old & ~quint64(0xFFFFFFFF)) | sum;
    if (updated != old)
        journal.add({at, old, updated});
}

bool ExeRewriter::revertJournaledWrites()
{
    bool durable = true;
    if (journaling == Journaling::Applying || journaling == Journaling::Applied) {
        journal.undo(view, viewSize);
        durable = FM::flushViewOfFile(view);
    }
    if (durable) {
        journal.remove();
    } else {
        std::cout << "The old bytes of \"" << path.toStdString()
                  << "\" cannot be written to the disk; its journal stays, and the next run "
                     "puts them back"
                  << std::endl;
    }
    stopJournaling();
    return durable;
}

void ExeRewriter::endJournaledWrites()
{
    if (journaling != Journaling::Applied)
        throw std::logic_error("no applied journaled writes to end");
    // A journal that cannot go is undone by the next run, which then does the same job again.
    journal.remove();
    stopJournaling();
}

void ExeRewriter::stopJournaling()
{
    if (copy)
        FM::unmapViewOfFile(copy);
    copy = nullptr;
    journal.clear();
    journaling = Journaling::Off;
    wroteAnything = false;
}

IExeRewriter *createExeRewriter(QString path)
{
    return new ExeRewriter(path);
}

void writeJournaled(IExeRewriter &rewriter, const std::function<void()> &stage,
                    const JournalBinding &binding)
{
    rewriter.beginJournaledWrites(binding);
    try {
        stage();
    } catch (...) {
        rewriter.revertJournaledWrites();
        rewriter.close();
        throw;
    }
    rewriter.endJournaledWrites();
    rewriter.close();
}

} // namespace TQ::EXTRACTORS::CPP::COMMON
