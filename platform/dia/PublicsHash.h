// The hash of a publics stream, read by hand. LLVM 14 takes only the layout of 4,096 buckets;
// Microsoft's fast-link PDBs use 262,144 (a bucket bitmap of 32,768 bytes instead of 516). The
// buckets only speed up a search by name, and nothing here searches that way: what matters are
// the hash records, one per live public, each naming its S_PUB32 record in the symbol record
// stream. Incremental links leave S_PUB32 records of earlier links in that stream which no hash
// record names; they are not publics any more.
#pragma once

#include <llvm/Support/BinaryStreamRef.h>

#include <cstdint>
#include <vector>

namespace TQ::PLATFORM::PDB {

class PublicsHash
{
public:
    // Checks the stream's header and the hash header against the stream's length. False when
    // the stream is no publics stream; the stream must outlive this object.
    bool open(llvm::BinaryStreamRef stream);
    uint32_t recordCount() const { return m_count; }

    // One flag per byte of a symbol record stream of the given length: set where a hash record
    // names a record. Names beyond the stream are passed over. False when the hash records
    // cannot be read after all.
    bool liveRecords(uint32_t symbolStreamLength, std::vector<bool> &live) const;

private:
    llvm::BinaryStreamRef m_records; // the hash records, 8 bytes each
    uint32_t m_count = 0;
};

} // namespace TQ::PLATFORM::PDB
