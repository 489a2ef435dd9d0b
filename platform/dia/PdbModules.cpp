// The module streams: the functions they define and their line records.
#include "PdbIndexImpl.h"

#include <llvm/DebugInfo/CodeView/DebugChecksumsSubsection.h>
#include <llvm/DebugInfo/CodeView/DebugLinesSubsection.h>
#include <llvm/DebugInfo/CodeView/DebugSubsectionRecord.h>
#include <llvm/DebugInfo/CodeView/SymbolDeserializer.h>
#include <llvm/DebugInfo/CodeView/SymbolRecord.h>
#include <llvm/DebugInfo/CodeView/TypeDeserializer.h>
#include <llvm/DebugInfo/CodeView/TypeRecord.h>
#include <llvm/DebugInfo/PDB/Native/DbiModuleDescriptor.h>
#include <llvm/DebugInfo/PDB/Native/RawConstants.h>
#include <llvm/Support/BinaryStreamReader.h>

#include <algorithm>
#include <unordered_map>

using namespace llvm;
using namespace llvm::codeview;
using namespace llvm::pdb;

namespace TQ::PLATFORM::PDB {

// The two parts of a module stream that are read: its symbols and its C13 debug subsections.
struct PdbIndex::ModuleStream
{
    CVSymbolArray symbols;
    DebugSubsectionArray subsections;

    DebugChecksumsSubsectionRef checksums() const
    {
        DebugChecksumsSubsectionRef found;
        for (const DebugSubsectionRecord &sub : subsections)
            if (sub.kind() == DebugSubsectionKind::FileChecksums) {
                if (failed(found.initialize(sub.getRecordData())))
                    return DebugChecksumsSubsectionRef();
                break;
            }
        return found;
    }
};

template <typename Visit> void PdbIndex::forEachModule(Visit visit)
{
    Impl &d = *m_impl;
    // The module descriptors are read here rather than through DbiModuleList, whose random
    // access hands out an empty descriptor (and then dereferences it) for a damaged entry; the
    // iteration stops at the first entry that does not parse.
    VarStreamArray<DbiModuleDescriptor> descriptors;
    BinaryStreamReader moduleInfo(d.dbi->getModiSubstreamData().StreamData);
    if (failed(moduleInfo.readArray(descriptors, moduleInfo.bytesRemaining())))
        return;
    for (auto it = descriptors.begin(); it != descriptors.end(); ++it) {
        const DbiModuleDescriptor descriptor = *it;
        const uint16_t streamIndex = descriptor.getModuleStreamIndex();
        if (streamIndex == kInvalidStreamIndex)
            continue;
        auto stream = d.file->safelyCreateIndexedStream(streamIndex);
        if (consumed(stream))
            continue;
        // Sliced by the descriptor's sizes, and only what is read is required: LLVM's module
        // reader refuses the whole module for bytes after the global references, old-style
        // line records beside the new ones, or a stream ending without global references.
        // The symbols start after the stream's 4-byte signature.
        BinaryStreamReader reader(**stream);
        const uint64_t symbolBytes = descriptor.getSymbolDebugInfoByteSize();
        const uint64_t linesAt = symbolBytes + descriptor.getC11LineInfoByteSize();
        ModuleStream module;
        if (symbolBytes >= sizeof(uint32_t) && symbolBytes <= reader.getLength()) {
            reader.setOffset(sizeof(uint32_t));
            if (failed(reader.readArray(module.symbols, uint32_t(symbolBytes - sizeof(uint32_t)))))
                module.symbols = CVSymbolArray();
        }
        if (linesAt <= reader.getLength()) {
            reader.setOffset(linesAt);
            if (failed(reader.readArray(module.subsections, descriptor.getC13LineInfoByteSize())))
                module.subsections = DebugSubsectionArray();
        }
        visit(module);
    }
}

void PdbIndex::indexFunctions()
{
    Impl &d = *m_impl;
    forEachModule([&](ModuleStream &module) {
        for (const CVSymbol &symbol : module.symbols) {
            const SymbolKind kind = symbol.kind();
            if (kind != S_GPROC32 && kind != S_LPROC32 && kind != S_GPROC32_ID &&
                kind != S_LPROC32_ID)
                continue;
            auto proc = SymbolDeserializer::deserializeAs<ProcSym>(symbol);
            if (consumed(proc))
                continue;
            uint32_t rva = 0;
            if (!d.toRva(proc->Segment, proc->CodeOffset, rva))
                continue;
            uint32_t type = proc->FunctionType.getIndex();
            if (d.typesInObjectFiles) {
                type = 0;
            } else if (kind == S_GPROC32_ID || kind == S_LPROC32_ID) {
                // The _ID forms point into the id stream; the type sits behind the id record.
                type = 0;
                Optional<CVType> id = d.id(proc->FunctionType);
                if (id && id->kind() == LF_FUNC_ID) {
                    FuncIdRecord r(TypeRecordKind::FuncId);
                    if (!failed(TypeDeserializer::deserializeAs(*id, r)))
                        type = r.getFunctionType().getIndex();
                } else if (id && id->kind() == LF_MFUNC_ID) {
                    MemberFuncIdRecord r(TypeRecordKind::MemberFuncId);
                    if (!failed(TypeDeserializer::deserializeAs(*id, r)))
                        type = r.getFunctionType().getIndex();
                }
            }
            const uint32_t nameOffset = addName(m_functionNames, proc->Name);
            m_functions.push_back(
                {rva, proc->CodeSize, nameOffset, uint32_t(proc->Name.size()), type});
        }
    });
    std::stable_sort(m_functions.begin(), m_functions.end(),
                     [](const Function &a, const Function &b) { return a.rva < b.rva; });
}

namespace {

struct LineEntry
{
    uint32_t offset, line, file;
};

// The file of each checksum entry of a module, by the entry's offset. Files are numbered across
// modules, one number per name.
std::unordered_map<uint32_t, uint32_t>
filesOfChecksums(const DebugChecksumsSubsectionRef &checksums, const PDBStringTable *strings,
                 std::unordered_map<uint32_t, uint32_t> &fileByNameOffset,
                 std::vector<std::string> &files)
{
    std::unordered_map<uint32_t, uint32_t> checksumToFile;
    const auto &array = checksums.getArray();
    for (auto it = array.begin(), end = array.end(); it != end; ++it) {
        const uint32_t nameOffset = it->FileNameOffset;
        auto found = fileByNameOffset.find(nameOffset);
        if (found == fileByNameOffset.end()) {
            std::string name;
            if (strings) {
                auto s = strings->getStringForID(nameOffset);
                if (!consumed(s))
                    name = s->str();
            }
            found = fileByNameOffset.emplace(nameOffset, uint32_t(files.size())).first;
            files.push_back(std::move(name));
        }
        checksumToFile.emplace(it.offset(), found->second);
    }
    return checksumToFile;
}

// One contribution's line entries, offsets from base: each reaches to the next one, the last to
// the end of the code. An entry that covers no byte is left out.
void appendLineRecords(std::vector<LineEntry> &entries, uint32_t base, uint32_t codeSize,
                       std::vector<PdbIndex::Line> &lines)
{
    std::stable_sort(entries.begin(), entries.end(),
                     [](const LineEntry &a, const LineEntry &b) { return a.offset < b.offset; });
    for (size_t i = 0; i < entries.size(); ++i) {
        const uint32_t start = entries[i].offset;
        const uint32_t end = i + 1 < entries.size() ? entries[i + 1].offset : codeSize;
        if (end > start)
            lines.push_back({base + start, end - start, entries[i].line, entries[i].file});
    }
}

// Folded functions bring one line table each for the same bytes. The first, which belongs to
// the function that functionAt gives, is kept, so that every address has one record and a
// lookup stays a binary search.
void keepFirstRecordOfEachByte(std::vector<PdbIndex::Line> &lines)
{
    uint64_t covered = 0;
    auto kept = lines.begin();
    for (const PdbIndex::Line &l : lines) {
        if (l.rva < covered)
            continue;
        covered = uint64_t(l.rva) + l.length;
        *kept++ = l;
    }
    lines.erase(kept, lines.end());
    lines.shrink_to_fit();
}

} // namespace

void PdbIndex::indexLines()
{
    Impl &d = *m_impl;
    std::unordered_map<uint32_t, uint32_t> fileByNameOffset;
    std::vector<LineEntry> entries; // one contribution's, reused
    forEachModule([&](ModuleStream &module) {
        std::unordered_map<uint32_t, uint32_t> checksumToFile;
        bool checksumsRead = false;
        for (const DebugSubsectionRecord &sub : module.subsections) {
            if (sub.kind() != DebugSubsectionKind::Lines)
                continue;
            if (!checksumsRead) {
                checksumsRead = true;
                checksumToFile =
                    filesOfChecksums(module.checksums(), d.strings, fileByNameOffset, m_files);
            }
            DebugLinesSubsectionRef lines;
            if (failed(lines.initialize(BinaryStreamReader(sub.getRecordData()))))
                continue;
            const LineFragmentHeader *header = lines.header();
            uint32_t base = 0;
            if (!header || !d.toRva(header->RelocSegment, header->RelocOffset, base))
                continue;
            entries.clear();
            for (const LineColumnEntry &block : lines) {
                auto file = checksumToFile.find(block.NameIndex);
                if (file == checksumToFile.end())
                    continue;
                for (const LineNumberEntry &e : block.LineNumbers)
                    entries.push_back({e.Offset, LineInfo(e.Flags).getStartLine(), file->second});
            }
            appendLineRecords(entries, base, header->CodeSize, m_lines);
        }
    });
    std::stable_sort(m_lines.begin(), m_lines.end(),
                     [](const Line &a, const Line &b) { return a.rva < b.rva; });
    keepFirstRecordOfEachByte(m_lines);
}

long PdbIndex::functionAt(uint32_t rva) const
{
    ensureFunctions();
    auto it = std::upper_bound(m_functions.begin(), m_functions.end(), rva,
                               [](uint32_t v, const Function &f) { return v < f.rva; });
    if (it == m_functions.begin())
        return -1;
    // Folded functions share a start; take the first that covers the address.
    const uint32_t start = std::prev(it)->rva;
    auto first = std::lower_bound(m_functions.begin(), it, start,
                                  [](const Function &f, uint32_t v) { return f.rva < v; });
    for (auto f = first; f != it; ++f)
        if (uint64_t(rva) < uint64_t(f->rva) + f->length)
            return long(f - m_functions.begin());
    return -1;
}

namespace {

// The first index at or after from whose record does not satisfy before (which holds for a
// prefix of the records), found by doubling steps from from: near answers cost a few probes,
// all close together, where a binary search over the whole table would touch records far apart.
template <typename Before>
size_t gallop(const std::vector<PdbIndex::Line> &lines, size_t from, Before before)
{
    size_t low = from;
    size_t step = 1;
    while (low + step <= lines.size() && before(lines[low + step - 1])) {
        low += step;
        step *= 2;
    }
    const size_t high = std::min(low + step, lines.size());
    return size_t(
        std::partition_point(lines.begin() + long(low), lines.begin() + long(high), before) -
        lines.begin());
}

} // namespace

std::pair<size_t, size_t> PdbIndex::linesIn(uint32_t rva, uint32_t length) const
{
    ensureLines();
    // A zero length asks for the record at the address.
    const uint64_t end = uint64_t(rva) + std::max<uint32_t>(length, 1);
    const auto notAfter = [rva](const Line &l) { return l.rva <= rva; };
    // Lookups mostly come in address order, so the search starts where the last one ended
    // when that lies before the address.
    size_t first =
        m_lineHint <= m_lines.size() && (m_lineHint == 0 || notAfter(m_lines[m_lineHint - 1]))
            ? gallop(m_lines, m_lineHint, notAfter)
            : gallop(m_lines, 0, notAfter);
    // Records do not overlap one another, so only the one just before can reach into range.
    if (first > 0 && uint64_t(m_lines[first - 1].rva) + m_lines[first - 1].length > rva)
        --first;
    const size_t last = gallop(m_lines, first, [end](const Line &l) { return l.rva < end; });
    m_lineHint = first;
    return {first, last};
}
} // namespace TQ::PLATFORM::PDB
