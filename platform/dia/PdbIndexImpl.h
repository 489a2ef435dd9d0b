// What the units of PdbIndex share: the open file and the streams read from it. Private to the
// data source.
#pragma once

#include "LlvmError.h"
#include "PdbIndex.h"
#include "PublicsHash.h"
#include "TypeRecords.h"

#include <llvm/ADT/Optional.h>
#include <llvm/DebugInfo/CodeView/CVRecord.h>
#include <llvm/DebugInfo/CodeView/TypeIndex.h>
#include <llvm/DebugInfo/MSF/MappedBlockStream.h>
#include <llvm/DebugInfo/PDB/Native/DbiStream.h>
#include <llvm/DebugInfo/PDB/Native/PDBFile.h>
#include <llvm/DebugInfo/PDB/Native/PDBStringTable.h>
#include <llvm/Support/Allocator.h>

#include <memory>
#include <vector>

namespace TQ::PLATFORM::PDB {

struct PdbIndex::Impl
{
    llvm::BumpPtrAllocator allocator;
    std::unique_ptr<llvm::pdb::PDBFile> file;
    llvm::pdb::DbiStream *dbi = nullptr;
    std::unique_ptr<PdbTypes> types;
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
    llvm::Optional<llvm::codeview::CVType> id(llvm::codeview::TypeIndex ti) { return ids.at(ti); }
};

} // namespace TQ::PLATFORM::PDB
