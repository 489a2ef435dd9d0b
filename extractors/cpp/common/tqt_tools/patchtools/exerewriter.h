// In-place patching of a 32-bit PE image through one read/write mapping of the whole file.
#pragma once

#include "PatchJournal.h"

#include <PeHeaders.h>

#include <QString>

#include <functional>

namespace TQ::EXTRACTORS::CPP::COMMON {

enum PatchResult {
    PatchedFramed = 0,   // hook call followed by push ebp; mov ebp, esp
    PatchedUnframed = 1, // hook call followed by anything else
    AlreadyNops = 2,     // five NOPs: cleaned by an earlier run
    NotPatchable = 3,    // nothing written (also at four NOPs and another fifth byte)
};

// Five-byte instructions travel as bits 0-39 of a 64-bit number, the first byte lowest.
class IExeRewriter
{
public:
    virtual void writeBytes(quint32 rva, quint64 bytes) = 0;
    virtual PatchResult patchHookCall(quint32 rva, quint64 &oldBytes, quint64 newBytes,
                                      quint32 hookRva) = 0;
    virtual void open() = 0;
    virtual void close() = 0;
    virtual ~IExeRewriter() = default;

    // Journaled writing, for a writer that must leave the image as it found it however it is
    // stopped (PatchJournal.h has the protocol and the journal's format):
    //   setCommitCheck(...);      // how open() asks a left journal's record whether it committed
    //   open();                   // first finishes or undoes what a stopped writer left
    //   beginJournaledWrites(b);  // patchHookCall and writeBytes now change a private copy only;
    //                             // the journal names the record b that will commit them
    //   patchHookCall(...), writeBytes(...), readBytes(...);
    //   applyJournaledWrites();   // a non-zero checksum brought up to date, the journal on disk,
    //                             // then the image written and on disk, and its path checked to
    //                             // name the file that was patched; throws
    //   <commit the record of the writes with b's token: the commit point>
    //   endJournaledWrites();     // the writes are final: the journal goes
    //   close();
    // A failure before that commit: revertJournaledWrites() puts the old bytes back where the
    // image still holds the ones written, makes them durable and drops the journal; close() does
    // the same for writes neither ended nor reverted. It returns false when the old bytes could
    // not be made durable: the journal then stays, and the next open() puts them back.
    // A write that changes nothing is neither made nor journaled; applying still touches the
    // image's time. SIGINT and SIGTERM: hold a PLATFORM::FILEMAP::InterruptDeferral
    // (Interruption.h) while the image and the record change, and check interruptionPending()
    // before applying and before the commit, as ExePatcher does.
    virtual void beginJournaledWrites(const JournalBinding &binding = JournalBinding()) = 0;
    virtual void applyJournaledWrites() = 0;
    virtual bool revertJournaledWrites() = 0;
    virtual void endJournaledWrites() = 0;
    // The five bytes at an rva as they stand now (in the private copy while journaling); false
    // when the rva has no five bytes in the image.
    virtual bool readBytes(quint32 rva, quint64 &bytes) = 0;
    // Without one, a journal left behind counts as uncommitted and is undone.
    virtual void setCommitCheck(const PatchJournal::CommitCheck &check) = 0;
    // Which build the open image is.
    virtual PLATFORM::PE::BuildId buildId() const = 0;
};

IExeRewriter *createExeRewriter(QString path);

// The journaled sequence above around `stage`, which makes the writes, applies them and commits
// their record; the image is closed either way. Should `stage` throw, its writes are reverted
// before the exception goes on.
void writeJournaled(IExeRewriter &rewriter, const std::function<void()> &stage,
                    const JournalBinding &binding = JournalBinding());

} // namespace TQ::EXTRACTORS::CPP::COMMON
