// A rollback journal for in-place writes of five-byte sites in one file, so that a writer stopped
// at any moment (an exception, a signal, SIGKILL, a power loss) leaves the file and the record of
// the writes (the project patch database) as one: both changed, or neither.
//
// The protocol, which ExeRewriter's journaled writes follow (exerewriter.h) and which any other
// in-place writer of an image can follow the same way:
//  1. Hold the file's write lock for the whole of steps 2 to 6; the next writer must not recover
//     a journal that a live writer is still working under.
//  2. recover() before anything else: a journal left by a stopped writer is finished or undone
//     (State below says which, and when); then make the file durable and remove() the journal.
//  3. Collect the writes in memory with add(), in the order they are to be made, and bind() the
//     journal to the record that will commit them. Nothing is written to the file yet.
//  4. write(): the old and new bytes of every site, the file's size, a fingerprint of bytes that
//     the writes leave alone and the binding reach the disk (journal and folder synced) before
//     it returns. Only now may the file change.
//  5. Make the writes, make the file durable, then commit the record, with the journal's token in
//     the same transaction. That commit is the one commit point: a failure before it undoes the
//     writes (latest first, only where the file holds what was written), makes the file durable
//     and remove()s the journal.
//  6. remove(): the journal's work is done.
//
// Sites are byte offsets in the file; the five bytes travel as bits 0-39 of a 64-bit number, the
// byte at the offset lowest (PatchSite.h).
//
// File format, little-endian: "TQTPJRN1", u32 version 2, u32 binding size, u64 file size, u64
// fingerprint, u64 site count, u64 hash of all that follows the header, u64 hash of the 48 bytes
// before it; then the binding (u64 token, the record's path in UTF-8), then per site the u64
// offset, five old bytes and five new bytes. Version 1 has no binding.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace TQ::PLATFORM::PE {
class PeHeaders;
} // namespace TQ::PLATFORM::PE

namespace TQ::EXTRACTORS::CPP::COMMON {

struct SiteWrite
{
    quint64 offset;
    quint64 oldBytes;
    quint64 newBytes;
};

// A path as the file-map calls take it.
inline const char16_t *utf16(const QString &path)
{
    return reinterpret_cast<const char16_t *>(path.utf16());
}

// Ties a journal to the record whose commit makes its writes final.
struct JournalBinding
{
    QString record; // the record's path (the project patch database)
    quint64 token = 0;
};

class PatchJournal
{
public:
    // Whether the record at a path committed the writes of the journal that carries a token;
    // throws when the record cannot be asked.
    using CommitCheck = std::function<bool(const QString &record, quint64 token)>;

    // A token no other journal is likely to carry.
    static quint64 newToken();

    // Where the journal of a file lies: beside it, its name followed by ".patch-journal".
    static QString pathFor(const QString &file);

    // The hash that fingerprints an image: its headers and section table, which change when it
    // is built again, but for the checksum, which the writes themselves bring up to date.
    static quint64 fingerprint(const uchar *bytes, const PLATFORM::PE::PeHeaders &headers);

    explicit PatchJournal(const QString &file);

    // Step 3: one write, in the order of the writes.
    void add(const SiteWrite &write);
    int count() const;
    SiteWrite at(int index) const;
    // Forgets the collected writes and the binding (not the journal on disk).
    void clear();
    // Step 3: the record that commits these writes.
    void bind(const JournalBinding &binding);

    // Step 4; throws std::runtime_error naming the journal when it cannot be written, and then
    // nothing of it is left on disk. A journal already there is an error as well.
    void write(quint64 fileSize, quint64 fingerprint);

    // Steps 2, 5 and 6: removes the journal; true also when there was none.
    bool remove();

    // The states in which step 2 finds what a stopped writer left beside the file, and what
    // becomes of each. A journal that exists but cannot be read in full, or whose record cannot
    // be asked, is in none of them: the run stops with an error and the journal stays, for it
    // may hold the only copy of the old bytes.
    enum class State {
        NoJournal,  // nothing was left
        Incomplete, // read in full but torn or damaged: written before step 4 ended, so the file
                    // was not touched under it. Removed.
        OtherFile,  // complete, but the file's size or fingerprint differ: built again or
                    // replaced since, and left alone. Removed.
        Committed,  // complete, and its record holds its token: the writes are final (a stop
                    // between step 5's commit and step 6). Removed; the file stays as it is.
        Undone,     // complete, and its record does not hold its token (or it has none): the
                    // writes are put back, the file made durable, then the journal removed.
    };
    struct Recovery
    {
        State state = State::NoJournal;
        int sites = 0;    // sites in the journal
        int restored = 0; // sites that still held what was written there, now the old bytes again
    };
    // Step 2, on the file's bytes (a writable view of all of it): finds the state of the journal
    // left beside the file and, for Undone, puts the old bytes back, latest write first, at every
    // site that still holds the new bytes; a site that holds anything else was changed by
    // someone else since and is left alone. Writes nothing else, neither syncs nor removes.
    // Throws std::runtime_error naming the journal when it cannot be read in full, and passes on
    // what committed throws. Without a commit check every complete journal counts as uncommitted.
    static Recovery recover(const QString &file, uchar *bytes, quint64 size, quint64 fingerprint,
                            const CommitCheck &committed = {});

    // The same undo for the writes collected here (step 5's failure path).
    int undo(uchar *bytes, quint64 size) const;

private:
    QString m_path;
    QByteArray m_records; // as they go to disk
    JournalBinding m_binding;
};

} // namespace TQ::EXTRACTORS::CPP::COMMON
