#include "exerewriter_p.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

#include <iostream>
#include <stdexcept>

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

namespace FM = PLATFORM::FILEMAP;

namespace {

const int OpenAttempts = 3;
const int RetryWaitMs = 333;

const quint16 DosSignature = 0x5A4D;    // "MZ"
const quint32 NtSignature = 0x00004550; // "PE\0\0"
const quint32 DosHeaderSize = 0x40;     // up to and including e_lfanew
const quint32 NtFixedHeadersSize = 24;  // signature and file header
const quint32 SectionHeaderSize = 40;
const quint32 HookCallSize = 5; // E8 rel32
const quint32 CallSiteSize = 8; // the call and the three bytes of a frame set-up

const uchar Nop = 0x90;
const quint64 FiveBytes = (quint64(1) << 40) - 1;
const uchar CallRel32 = 0xE8;
const uchar JmpRel32 = 0xE9;

quint16 le16(const uchar *p)
{
    return quint16(p[0] | (p[1] << 8));
}

quint32 le32(const uchar *p)
{
    return quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}

// Section header fields, by their offset in the 40-byte header.
quint32 virtualSize(const uchar *s)
{
    return le32(s + 8);
}
quint32 virtualAddress(const uchar *s)
{
    return le32(s + 12);
}
quint32 sizeOfRawData(const uchar *s)
{
    return le32(s + 16);
}
quint32 pointerToRawData(const uchar *s)
{
    return le32(s + 20);
}

quint64 fiveBytesAt(const uchar *p)
{
    return quint64(le32(p)) | (quint64(p[4]) << 32);
}

void storeFiveBytes(uchar *p, quint64 bytes)
{
    for (int i = 0; i < 5; ++i)
        p[i] = uchar(bytes >> (8 * i));
}

const char16_t *utf16(const QString &s)
{
    return reinterpret_cast<const char16_t *>(s.utf16());
}

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
        file = FM::createFileForPatching(reinterpret_cast<const char16_t *>(path.utf16()));
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

    const bool isDosImage = viewSize >= DosHeaderSize && le16(view) == DosSignature;
    if (!isDosImage)
        failOpen(__LINE__);

    // The signature, the file header and the whole section table must lie in the file.
    const quint64 ntOffset = le32(view + 0x3C);
    bool isPeImage =
        ntOffset + NtFixedHeadersSize <= viewSize && le32(view + ntOffset) == NtSignature;
    quint64 tableOffset = 0;
    quint16 count = 0;
    if (isPeImage) {
        count = le16(view + ntOffset + 6);
        tableOffset = ntOffset + NtFixedHeadersSize + le16(view + ntOffset + 20);
        isPeImage = tableOffset + quint64(count) * SectionHeaderSize <= viewSize;
    }
    if (!isPeImage)
        failOpen(__LINE__);

    ntHeaders = view + ntOffset;
    sections = view + tableOffset;
    sectionCount = count;
    headersEnd = tableOffset + quint64(count) * SectionHeaderSize;
    fingerprint = PatchJournal::fingerprint(view, headersEnd);
    recoverInterruptedRun();
}

// Under the lock just taken, so that no live writer's journal is taken for a stopped one's.
void ExeRewriter::recoverInterruptedRun()
{
    const PatchJournal::Recovery r = PatchJournal::recover(path, view, viewSize, fingerprint);
    switch (r.outcome) {
    case PatchJournal::Recovery::NoJournal:
        return;
    case PatchJournal::Recovery::Undone:
        if (!FM::flushViewOfFile(view)) {
            close();
            throw std::runtime_error("Error: the bytes of an interrupted run cannot be put back "
                                     "into \"" +
                                     path.toStdString() + "\"; its journal stays");
        }
        std::cout << "Put back the old bytes of an interrupted run at " << r.restored << " of "
                  << r.sites << " sites" << std::endl;
        break;
    case PatchJournal::Recovery::OtherFile:
        std::cout << "Dropped the journal of an interrupted run: the image has been built again "
                     "since"
                  << std::endl;
        break;
    case PatchJournal::Recovery::Incomplete:
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
    sectionCount = 0;
}

const uchar *ExeRewriter::findSection(quint32 rva) const
{
    if (!view)
        return nullptr;
    const uchar *s = sections;
    for (quint16 i = 0; i < sectionCount; ++i, s += SectionHeaderSize) {
        const quint32 start = virtualAddress(s);
        if (start <= rva && quint64(rva) < quint64(start) + virtualSize(s))
            return s;
    }
    return nullptr;
}

// The file bytes of [rva, rva + length) through the section's offsets, or null when they are not
// all inside both the section's raw data and the file: a section may hold less raw data than its
// virtual size, and writing past it would hit the next section's bytes.
uchar *ExeRewriter::placeIn(const uchar *section, quint32 rva, quint32 length) const
{
    const quint64 offsetInSection = quint32(rva - virtualAddress(section));
    const quint64 rawStart = pointerToRawData(section);
    if (offsetInSection + length > sizeOfRawData(section) ||
        rawStart + offsetInSection + length > viewSize || rawStart + offsetInSection < headersEnd)
        return nullptr;
    return (copy ? copy : view) + rawStart + offsetInSection;
}

// While staging, a write is journaled, and one that changes nothing is not even made: a second
// clean writes NOPs over NOPs at every function, and those pages would otherwise all be copied,
// journaled and synced for nothing.
void ExeRewriter::store(uchar *p, quint64 oldBytes, quint64 newBytes)
{
    if (journaling == Journaling::Staging) {
        wroteAnything = true;
        if (oldBytes == (newBytes & FiveBytes))
            return;
        journal.add({quint64(p - copy), oldBytes, newBytes});
    }
    storeFiveBytes(p, newBytes);
}

PatchResult ExeRewriter::patchHookCall(quint32 rva, quint64 &oldBytes, quint64 newBytes,
                                       quint32 hookRva)
{
    const uchar *section = findSection(rva);
    if (!section)
        return NotPatchable;
    uchar *p = placeIn(section, rva, HookCallSize);
    if (!p)
        return NotPatchable;

    PatchResult result;
    if (p[0] == Nop && p[1] == Nop && p[2] == Nop && p[3] == Nop) {
        // A clean leaves five NOPs; four and another byte are somebody else's code.
        if (p[4] != Nop)
            return NotPatchable;
        result = AlreadyNops;
    } else {
        if (p[0] != CallRel32)
            return NotPatchable;
        const quint32 target = rva + HookCallSize + le32(p + 1);
        // Bytes past the section's raw data read as the zeros the loader would put there.
        const bool framed =
            placeIn(section, rva, CallSiteSize) && p[5] == 0x55 && p[6] == 0x8B && p[7] == 0xEC;
        if (target != hookRva) {
            // Incremental linking calls through a jump thunk; one is followed, no chains.
            const uchar *thunk = placeIn(section, target, HookCallSize);
            if (!thunk || thunk[0] != JmpRel32 ||
                target + HookCallSize + le32(thunk + 1) != hookRva)
                return NotPatchable;
        }
        result = framed ? PatchedFramed : PatchedUnframed;
    }

    oldBytes = fiveBytesAt(p);
    store(p, oldBytes, newBytes);
    return result;
}

void ExeRewriter::writeBytes(quint32 rva, quint64 bytes)
{
    const uchar *section = findSection(rva);
    uchar *p = section ? placeIn(section, rva, HookCallSize) : nullptr;
    if (!p) {
        const QString message = QString("patch failed for addr: %1").arg(rva, 0, 16);
        throw std::runtime_error(message.toLatin1().toStdString());
    }
    store(p, fiveBytesAt(p), bytes);
}

bool ExeRewriter::readBytes(quint32 rva, quint64 &bytes)
{
    const uchar *section = findSection(rva);
    const uchar *p = section ? placeIn(section, rva, HookCallSize) : nullptr;
    if (p)
        bytes = fiveBytesAt(p);
    return p != nullptr;
}

void ExeRewriter::beginJournaledWrites()
{
    if (!view || journaling != Journaling::Off)
        throw std::logic_error("journaled writes need an open image and none begun");
    copy = FM::mapViewOfFileCopy(mapping);
    if (!copy)
        throw std::runtime_error("Error: \"" + path.toStdString() +
                                 "\" cannot be mapped for journaled writing");
    journal.clear();
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
        journal.write(viewSize, fingerprint);
        journaling = Journaling::Applying;
        for (int i = 0, n = journal.count(); i < n; ++i) {
            const SiteWrite w = journal.at(i);
            storeFiveBytes(view + w.offset, w.newBytes);
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

void writeJournaled(IExeRewriter &rewriter, const std::function<void()> &stage)
{
    rewriter.beginJournaledWrites();
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

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
