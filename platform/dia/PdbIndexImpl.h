// What the units of PdbIndex share: the open file, the streams read from it, and small helpers
// for LLVM's error types. Private to the data source.
#pragma once

#include "PdbIndex.h"
#include "PublicsHash.h"

#include <llvm/ADT/Optional.h>
#include <llvm/DebugInfo/CodeView/CVRecord.h>
#include <llvm/DebugInfo/CodeView/TypeIndex.h>
#include <llvm/DebugInfo/MSF/MappedBlockStream.h>
#include <llvm/DebugInfo/PDB/Native/DbiStream.h>
#include <llvm/DebugInfo/PDB/Native/PDBFile.h>
#include <llvm/DebugInfo/PDB/Native/PDBStringTable.h>
#include <llvm/Support/Allocator.h>
#include <llvm/Support/Error.h>

#include <memory>
#include <vector>

namespace TQ {
namespace PLATFORM {
namespace PDB {

template <typename T> bool consumed(llvm::Expected<T> &value)
{
    if (value)
        return false;
    llvm::consumeError(value.takeError());
    return true;
}

inline bool failed(llvm::Error error)
{
    if (!error)
        return false;
    llvm::consumeError(std::move(error));
    return true;
}

// The records of a type or id stream by type index. Read here rather than through LLVM's
// TpiStream, which refuses a stream for its hash tables (which nothing here needs) and trusted
// their offsets until a damaged file made it write past its buffers. The records are read in
// one sequential pass on first use; a damaged record ends the pass and what came before it
// stays usable.
class TypeRecords
{
public:
    // False when the stream is missing or its header does not describe its records.
    bool open(llvm::pdb::PDBFile &file, uint32_t streamIndex);
    bool isOpen() const { return m_stream != nullptr; }
    llvm::Optional<llvm::codeview::CVType> at(llvm::codeview::TypeIndex ti);
    const std::vector<llvm::codeview::CVType> &all();
    uint32_t begin() const { return m_begin; }

private:
    std::unique_ptr<llvm::msf::MappedBlockStream> m_stream;
    llvm::codeview::CVTypeArray m_array;
    uint32_t m_begin = 0;
    bool m_read = false;
    std::vector<llvm::codeview::CVType> m_records;
};

struct PdbIndex::Impl
{
    llvm::BumpPtrAllocator allocator;
    std::unique_ptr<llvm::pdb::PDBFile> file;
    llvm::pdb::DbiStream *dbi = nullptr;
    TypeRecords types;
    TypeRecords ids;
    // A fast-link PDB: the functions' type indexes name records of the object files, which
    // are not read, not records of this PDB.
    bool typesInObjectFiles = false;
    std::unique_ptr<llvm::msf::MappedBlockStream> symbolRecords;
    std::unique_ptr<llvm::msf::MappedBlockStream> publicsStream;
    PublicsHash publicsHash;
    llvm::pdb::PDBStringTable *strings = nullptr;
    std::unique_ptr<llvm::msf::MappedBlockStream> stringStream;
    llvm::pdb::PDBStringTable stringTable;
    std::vector<uint32_t> sectionRvas; // by section number - 1

    bool toRva(uint16_t segment, uint32_t offset, uint32_t &rva) const
    {
        if (segment == 0 || segment > sectionRvas.size())
            return false;
        rva = sectionRvas[segment - 1] + offset;
        return true;
    }
    llvm::Optional<llvm::codeview::CVType> type(llvm::codeview::TypeIndex ti)
    {
        return types.at(ti);
    }
    llvm::Optional<llvm::codeview::CVType> id(llvm::codeview::TypeIndex ti) { return ids.at(ti); }
};

} // namespace PDB
} // namespace PLATFORM
} // namespace TQ
