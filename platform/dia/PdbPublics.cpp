// The publics: the S_PUB32 records that the publics hash names, by address and by name.
#include "PdbIndexImpl.h"

#include <llvm/DebugInfo/CodeView/CodeView.h>
#include <llvm/DebugInfo/CodeView/SymbolRecord.h>
#include <llvm/Support/BinaryStreamReader.h>
#include <llvm/Support/Endian.h>

#include <algorithm>
#include <cstring>

using namespace llvm;
using namespace llvm::codeview;

namespace TQ::PLATFORM::PDB {

namespace {

struct PublicRecord
{
    uint32_t offset;
    uint16_t segment;
    std::string_view name;
};

// An S_PUB32 record's fields: flags (not needed), offset, segment, then the name up to its zero
// byte. Read here directly because the general deserializer costs more than the rest of the
// public index on a program database with a million publics. False when the record is too short or
// the name is not terminated, which the deserializer refuses as well.
bool readPublicRecord(ArrayRef<uint8_t> content, PublicRecord &out)
{
    if (content.size() < 10)
        return false;
    const uint8_t *p = content.data();
    out.offset = support::endian::read32le(p + 4);
    out.segment = support::endian::read16le(p + 8);
    const char *name = reinterpret_cast<const char *>(p + 10);
    const void *end = std::memchr(name, 0, content.size() - 10);
    if (!end)
        return false;
    out.name = std::string_view(name, size_t(static_cast<const char *>(end) - name));
    return true;
}

} // namespace

void PdbIndex::indexPublics()
{
    Impl &d = *m_impl;
    if (!d.symbolRecords || !d.publicsStream)
        return;
    const uint32_t streamLength = uint32_t(d.symbolRecords->getLength());
    std::vector<bool> live;
    if (!d.publicsHash.liveRecords(streamLength, live))
        return;
    m_publics.reserve(d.publicsHash.recordCount());
    // A public's name is shorter than its record; pages the names do not fill are never touched.
    m_names.reserve(streamLength);
    // One pass over the record stream in its order, taking the records that the hash names:
    // the stream is read as it lies, and a hash record pointing into the middle of a record,
    // or past a damaged one, names nothing.
    CVSymbolArray records;
    BinaryStreamReader reader(*d.symbolRecords);
    if (failed(reader.readArray(records, streamLength)))
        return;
    for (auto it = records.begin(), end = records.end(); it != end; ++it) {
        if (!live[it.offset()])
            continue;
        const CVSymbol &symbol = *it;
        if (symbol.kind() != S_PUB32)
            continue;
        PublicRecord pub;
        if (!readPublicRecord(symbol.content(), pub))
            continue;
        uint32_t rva = 0;
        const bool hasRva = d.toRva(pub.segment, pub.offset, rva);
        const uint32_t nameOffset = addName(m_names, pub.name);
        m_publics.push_back({rva, nameOffset, uint32_t(pub.name.size()), hasRva});
    }
    // Address order; publics without an address go last.
    std::stable_sort(m_publics.begin(), m_publics.end(), [](const Public &a, const Public &b) {
        if (a.hasRva != b.hasRva)
            return a.hasRva;
        return a.rva < b.rva;
    });
}

} // namespace TQ::PLATFORM::PDB
