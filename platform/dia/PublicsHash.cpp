#include "PublicsHash.h"

#include "LlvmError.h"

#include <llvm/Support/BinaryStreamReader.h>
#include <llvm/Support/Endian.h>

#include <algorithm>
#include <cstring>

namespace TQ::PLATFORM::PDB {

namespace {

// The stream's header: the size of the hash, of the address map, and the thunk and section
// tables, which nothing here reads.
constexpr uint32_t kStreamHeaderSize = 28;
// The hash's own header: signature, version, size of the hash records, size of the buckets.
constexpr uint32_t kHashHeaderSize = 16;
constexpr uint32_t kSignature = 0xFFFFFFFFu;
constexpr uint32_t kVersion = 0xEFFE0000u + 19990810u;
constexpr uint32_t kRecordSize = 8; // offset of the symbol record plus one, reference count

bool readWord(llvm::BinaryStreamReader &reader, uint32_t &value)
{
    return !failed(reader.readInteger(value));
}

} // namespace

bool PublicsHash::open(llvm::BinaryStreamRef stream)
{
    m_count = 0;
    m_records = llvm::BinaryStreamRef();
    llvm::BinaryStreamReader reader(stream);
    uint32_t hashSize = 0, signature = 0, version = 0, recordBytes = 0, bucketBytes = 0;
    if (!readWord(reader, hashSize))
        return false;
    reader.setOffset(kStreamHeaderSize);
    if (!readWord(reader, signature) || !readWord(reader, version) ||
        !readWord(reader, recordBytes) || !readWord(reader, bucketBytes))
        return false;
    if (signature != kSignature || version != kVersion || recordBytes % kRecordSize != 0)
        return false;
    // Whatever the bucket count, records and buckets lie within the hash, the hash within the
    // stream.
    if (hashSize < kHashHeaderSize || uint64_t(kStreamHeaderSize) + hashSize > stream.getLength() ||
        uint64_t(recordBytes) + bucketBytes > hashSize - kHashHeaderSize)
        return false;
    m_records = stream.slice(kStreamHeaderSize + kHashHeaderSize, recordBytes);
    m_count = recordBytes / kRecordSize;
    return true;
}

bool PublicsHash::liveRecords(uint32_t symbolStreamLength, std::vector<bool> &live) const
{
    live.assign(symbolStreamLength, false);
    const auto mark = [&](const uint8_t *record) {
        // Zero names no record: less one it wraps past every stream.
        const uint32_t offset = llvm::support::endian::read32le(record) - 1;
        if (offset < symbolStreamLength)
            live[offset] = true;
    };
    // Taken block by block: a record may straddle two blocks of the file.
    llvm::BinaryStreamReader reader(m_records);
    uint8_t straddling[kRecordSize];
    size_t carried = 0;
    while (reader.bytesRemaining() > 0) {
        llvm::ArrayRef<uint8_t> chunk;
        if (failed(reader.readLongestContiguousChunk(chunk)))
            return false;
        size_t at = 0;
        if (carried > 0) {
            const size_t take = std::min(kRecordSize - carried, chunk.size());
            std::memcpy(straddling + carried, chunk.data(), take);
            carried += take;
            at = take;
            if (carried < kRecordSize)
                continue;
            mark(straddling);
            carried = 0;
        }
        for (; at + kRecordSize <= chunk.size(); at += kRecordSize)
            mark(chunk.data() + at);
        carried = chunk.size() - at;
        std::memcpy(straddling, chunk.data() + at, carried);
    }
    return true;
}

} // namespace TQ::PLATFORM::PDB
