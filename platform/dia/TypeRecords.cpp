#include "TypeRecords.h"
#include "LlvmError.h"

#include <llvm/DebugInfo/PDB/Native/RawConstants.h>
#include <llvm/DebugInfo/PDB/Native/RawTypes.h>
#include <llvm/Support/BinaryStreamReader.h>

using namespace llvm;
using namespace llvm::codeview;
using namespace llvm::pdb;

namespace TQ::PLATFORM::PDB {

void TypeRecords::open(PDBFile &file, uint32_t streamIndex)
{
    m_stream.reset();
    auto stream = file.safelyCreateIndexedStream(streamIndex);
    if (consumed(stream))
        return;
    BinaryStreamReader reader(**stream);
    const TpiStreamHeader *header = nullptr;
    if (failed(reader.readObject(header)) || header->Version != PdbTpiV80 ||
        header->HeaderSize < sizeof(TpiStreamHeader) || header->HeaderSize > reader.getLength())
        return;
    reader.setOffset(header->HeaderSize);
    if (failed(reader.readArray(m_array, header->TypeRecordBytes)))
        return;
    m_begin = header->TypeIndexBegin;
    m_stream = std::move(*stream);
}

const std::vector<CVType> &TypeRecords::all()
{
    if (!m_read && m_stream) {
        m_read = true;
        for (const CVType &record : m_array)
            m_records.push_back(record);
    }
    return m_records;
}

Optional<CVType> TypeRecords::at(TypeIndex ti)
{
    if (ti.isSimple())
        return None;
    const std::vector<CVType> &records = all();
    if (ti.getIndex() < m_begin || ti.getIndex() - m_begin >= records.size())
        return None;
    return records[ti.getIndex() - m_begin];
}

} // namespace TQ::PLATFORM::PDB
