// The records of a type or id stream by type index. Read here rather than through LLVM's
// TpiStream, which refuses a stream for its hash tables (which nothing here needs) and trusted
// their offsets until a damaged file made it write past its buffers. The records are read in
// one sequential pass on first use; a damaged record ends the pass and what came before it
// stays usable.
#pragma once

#include <llvm/ADT/Optional.h>
#include <llvm/DebugInfo/CodeView/CVRecord.h>
#include <llvm/DebugInfo/CodeView/TypeIndex.h>
#include <llvm/DebugInfo/MSF/MappedBlockStream.h>
#include <llvm/DebugInfo/PDB/Native/PDBFile.h>

#include <memory>
#include <vector>

namespace TQ::PLATFORM::PDB {

class TypeRecords
{
public:
    // A stream that is missing, or whose header does not describe its records, holds none.
    void open(llvm::pdb::PDBFile &file, uint32_t streamIndex);
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

} // namespace TQ::PLATFORM::PDB
