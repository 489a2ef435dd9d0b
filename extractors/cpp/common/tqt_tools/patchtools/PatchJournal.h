// A rollback journal for in-place writes of five-byte sites in one file, so that a writer stopped
// at any moment (an exception, a signal, SIGKILL, a power loss) is undone by the next writer.
//
// The protocol, which ExeRewriter's journaled writes follow (exerewriter.h) and which any other
// in-place writer of an image can follow the same way:
//  1. Hold the file's write lock for the whole of steps 2 to 6; the next writer must not recover
//     a journal that a live writer is still working under.
//  2. recover() before anything else: a journal left by a stopped writer is undone (see there);
//     then make the file durable and remove() the journal.
//  3. Collect the writes in memory with add(), in the order they are to be made. Nothing is
//     written to the file yet.
//  4. write(): the old and new bytes of every site, the file's size and a fingerprint of bytes
//     that the writes leave alone reach the disk (journal and folder synced) before it returns.
//     Only now may the file change.
//  5. Make the writes, make the file durable, then commit whatever records them elsewhere (the
//     project patch database). A failure before that commit: undo the writes (latest first, only
//     where the file holds what was written), make the file durable, remove().
//  6. remove(): the writes are final.
// A stop anywhere in 4 to 6 leaves a journal that the next writer's step 2 undoes, and that writer
// then does its whole job as if the stopped one had never run. A stop before 4 completes leaves an
// incomplete journal (or none), under which the file was not touched.
//
// Sites are byte offsets in the file; the five bytes travel as bits 0-39 of a 64-bit number, the
// byte at the offset lowest, as everywhere in the rewriter.
//
// File format, little-endian: "TQTPJRN1", u32 version 1, u32 zero, u64 file size, u64 fingerprint,
// u64 site count, u64 hash of the records, u64 hash of the 48 bytes before it; then per site the
// u64 offset, five old bytes and five new bytes.
#pragma once

#include <QByteArray>
#include <QString>

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

struct SiteWrite
{
    quint64 offset;
    quint64 oldBytes;
    quint64 newBytes;
};

class PatchJournal
{
public:
    // Where the journal of a file lies: beside it, its name followed by ".patch-journal".
    static QString pathFor(const QString &file);

    // The hash that fingerprints a file: take it over bytes that no write of the run touches and
    // that change when the file is built again (for an image: its headers and section table).
    static quint64 fingerprint(const uchar *bytes, quint64 length);

    explicit PatchJournal(const QString &file);

    // Step 3: one write, in the order of the writes.
    void add(const SiteWrite &write);
    int count() const;
    SiteWrite at(int index) const;
    // Forgets the collected writes (not the journal on disk).
    void clear();

    // Step 4; throws std::runtime_error naming the journal when it cannot be written, and then
    // nothing of it is left on disk. A journal already there is an error as well.
    void write(quint64 fileSize, quint64 fingerprint);

    // Steps 2, 5 and 6: removes the journal; true also when there was none.
    bool remove();

    struct Recovery
    {
        enum Outcome {
            NoJournal,  // nothing to do
            Incomplete, // torn or damaged: the file was not touched under it; remove it
            OtherFile,  // size or fingerprint differ: the file was built again or replaced since,
                        // and is left alone; remove the journal
            Undone,     // the old bytes are back; make the file durable, then remove the journal
        };
        Outcome outcome = NoJournal;
        int sites = 0;    // sites in the journal
        int restored = 0; // sites that still held what was written there, now the old bytes again
    };
    // Step 2, on the file's bytes (a shared writable view of all of it): puts the old bytes back,
    // latest write first, at every site that still holds the new bytes; a site that holds
    // anything else was changed by someone else since and is left alone. Writes nothing else,
    // neither syncs nor removes.
    static Recovery recover(const QString &file, uchar *bytes, quint64 size, quint64 fingerprint);

    // The same undo for the writes collected here (step 5's failure path).
    int undo(uchar *bytes, quint64 size) const;

private:
    QString m_path;
    QByteArray m_data; // the header, then the records as they go to disk
};

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
