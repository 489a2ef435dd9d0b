#include "PdbIndex.h"

#include "PeCodeView.h"

#include <llvm/DebugInfo/CodeView/CVTypeVisitor.h>
#include <llvm/DebugInfo/CodeView/DebugChecksumsSubsection.h>
#include <llvm/DebugInfo/CodeView/DebugLinesSubsection.h>
#include <llvm/DebugInfo/CodeView/LazyRandomTypeCollection.h>
#include <llvm/DebugInfo/CodeView/SymbolDeserializer.h>
#include <llvm/DebugInfo/CodeView/SymbolRecord.h>
#include <llvm/DebugInfo/CodeView/TypeDeserializer.h>
#include <llvm/DebugInfo/CodeView/TypeIndex.h>
#include <llvm/DebugInfo/CodeView/TypeRecord.h>
#include <llvm/DebugInfo/CodeView/TypeVisitorCallbacks.h>
#include <llvm/DebugInfo/MSF/MappedBlockStream.h>
#include <llvm/DebugInfo/PDB/Native/DbiModuleDescriptor.h>
#include <llvm/DebugInfo/PDB/Native/DbiModuleList.h>
#include <llvm/DebugInfo/PDB/Native/DbiStream.h>
#include <llvm/DebugInfo/PDB/Native/InfoStream.h>
#include <llvm/DebugInfo/PDB/Native/ModuleDebugStream.h>
#include <llvm/DebugInfo/PDB/Native/PDBFile.h>
#include <llvm/DebugInfo/PDB/Native/PDBStringTable.h>
#include <llvm/DebugInfo/PDB/Native/PublicsStream.h>
#include <llvm/DebugInfo/PDB/Native/RawConstants.h>
#include <llvm/DebugInfo/PDB/Native/RawTypes.h>
#include <llvm/DebugInfo/PDB/Native/SymbolStream.h>
#include <llvm/DebugInfo/PDB/Native/TpiStream.h>
#include <llvm/Object/COFF.h>
#include <llvm/Support/Allocator.h>
#include <llvm/Support/BinaryByteStream.h>
#include <llvm/Support/BinaryStreamReader.h>
#include <llvm/Support/Endian.h>
#include <llvm/Support/MemoryBuffer.h>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

using namespace llvm;
using namespace llvm::codeview;
using namespace llvm::pdb;

namespace TQ {
namespace PLATFORM {
namespace PDB {

struct PdbIndex::Impl
{
    BumpPtrAllocator allocator;
    std::unique_ptr<PDBFile> file;
    DbiStream *dbi = nullptr;
    TpiStream *tpi = nullptr;
    TpiStream *ipi = nullptr;
    PublicsStream *publics = nullptr;
    SymbolStream *symbols = nullptr;
    PDBStringTable *strings = nullptr;
    std::unique_ptr<msf::MappedBlockStream> stringStream;
    PDBStringTable stringTable;
    std::vector<uint32_t> sectionRvas; // by section number - 1

    bool toRva(uint16_t segment, uint32_t offset, uint32_t &rva) const
    {
        if (segment == 0 || segment > sectionRvas.size())
            return false;
        rva = sectionRvas[segment - 1] + offset;
        return true;
    }

    // Records by type index, read in one sequential pass on first use. LLVM's lazy collection
    // jumps by the hash stream's offsets, which it trusts; a damaged file made it crash.
    struct Records
    {
        bool read = false;
        uint32_t begin = 0;
        std::vector<CVType> records;
    };
    Records tpiRecords;
    Records ipiRecords;

    static Optional<CVType> lookup(TpiStream *stream, Records &r, TypeIndex ti)
    {
        if (!stream || ti.isSimple())
            return None;
        if (!r.read) {
            r.read = true;
            r.begin = stream->TypeIndexBegin();
            // A damaged record ends the pass; what was read before it stays usable.
            bool hadError = false;
            const CVTypeArray &array = stream->typeArray();
            for (auto it = array.begin(&hadError), end = array.end(); it != end; ++it)
                r.records.push_back(*it);
        }
        if (ti.getIndex() < r.begin || ti.getIndex() - r.begin >= r.records.size())
            return None;
        return r.records[ti.getIndex() - r.begin];
    }
    Optional<CVType> type(TypeIndex ti) { return lookup(tpi, tpiRecords, ti); }
    Optional<CVType> id(TypeIndex ti) { return lookup(ipi, ipiRecords, ti); }
};

namespace {

constexpr int kMaxTypeDepth = 64;

template <typename T> bool consumed(Expected<T> &value)
{
    if (value)
        return false;
    consumeError(value.takeError());
    return true;
}

bool failed(Error error)
{
    if (!error)
        return false;
    consumeError(std::move(error));
    return true;
}

bool fileExists(const std::string &path)
{
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string folderOf(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return std::string();
    return path.substr(0, slash + 1);
}

bool isAbsoluteWindowsOrPosix(const std::string &p)
{
    return (!p.empty() && (p[0] == '/' || p[0] == '\\')) ||
           (p.size() >= 2 && p[1] == ':' &&
            ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')));
}

bool isClassKind(TypeLeafKind k)
{
    return k == LF_CLASS || k == LF_STRUCTURE || k == LF_INTERFACE;
}

bool isTagKind(TypeLeafKind k)
{
    return isClassKind(k) || k == LF_UNION || k == LF_ENUM;
}

// Classes, structs and interfaces may name one another's forward references.
char kindGroup(TypeLeafKind k)
{
    if (isClassKind(k))
        return 'c';
    return k == LF_UNION ? 'u' : 'e';
}

struct TagSummary
{
    std::string name;
    std::string uniqueName;
    bool forwardRef = false;
    bool hasUniqueName = false;
    uint64_t size = 0;
    TypeIndex fieldList;
    TypeIndex underlying; // enums
};

bool readTag(CVType &cvt, TagSummary &out)
{
    const TypeLeafKind kind = cvt.kind();
    if (isClassKind(kind)) {
        ClassRecord r(static_cast<TypeRecordKind>(kind));
        if (failed(TypeDeserializer::deserializeAs(cvt, r)))
            return false;
        out = {r.getName().str(), r.getUniqueName().str(), r.isForwardRef(), r.hasUniqueName(),
               r.getSize(),       r.getFieldList(),        TypeIndex()};
        return true;
    }
    if (kind == LF_UNION) {
        UnionRecord r(TypeRecordKind::Union);
        if (failed(TypeDeserializer::deserializeAs(cvt, r)))
            return false;
        out = {r.getName().str(), r.getUniqueName().str(), r.isForwardRef(), r.hasUniqueName(),
               r.getSize(),       r.getFieldList(),        TypeIndex()};
        return true;
    }
    if (kind == LF_ENUM) {
        EnumRecord r(TypeRecordKind::Enum);
        if (failed(TypeDeserializer::deserializeAs(cvt, r)))
            return false;
        out = {r.getName().str(), r.getUniqueName().str(), r.isForwardRef(), r.hasUniqueName(), 0,
               r.getFieldList(),  r.getUnderlyingType()};
        return true;
    }
    return false;
}

uint32_t simpleKindSize(SimpleTypeKind k)
{
    switch (k) {
    case SimpleTypeKind::SignedCharacter:
    case SimpleTypeKind::UnsignedCharacter:
    case SimpleTypeKind::NarrowCharacter:
    case SimpleTypeKind::SByte:
    case SimpleTypeKind::Byte:
    case SimpleTypeKind::Boolean8:
        return 1;
    case SimpleTypeKind::WideCharacter:
    case SimpleTypeKind::Character16:
    case SimpleTypeKind::Int16Short:
    case SimpleTypeKind::UInt16Short:
    case SimpleTypeKind::Int16:
    case SimpleTypeKind::UInt16:
    case SimpleTypeKind::Float16:
    case SimpleTypeKind::Boolean16:
        return 2;
    case SimpleTypeKind::Character32:
    case SimpleTypeKind::Int32Long:
    case SimpleTypeKind::UInt32Long:
    case SimpleTypeKind::Int32:
    case SimpleTypeKind::UInt32:
    case SimpleTypeKind::Float32:
    case SimpleTypeKind::Float32PartialPrecision:
    case SimpleTypeKind::Boolean32:
    case SimpleTypeKind::HResult:
    case SimpleTypeKind::Complex16:
        return 4;
    case SimpleTypeKind::Float48:
        return 6;
    case SimpleTypeKind::Int64Quad:
    case SimpleTypeKind::UInt64Quad:
    case SimpleTypeKind::Int64:
    case SimpleTypeKind::UInt64:
    case SimpleTypeKind::Float64:
    case SimpleTypeKind::Boolean64:
    case SimpleTypeKind::Complex32:
    case SimpleTypeKind::Complex32PartialPrecision:
        return 8;
    case SimpleTypeKind::Float80:
        return 10;
    case SimpleTypeKind::Complex48:
        return 12;
    case SimpleTypeKind::Int128Oct:
    case SimpleTypeKind::UInt128Oct:
    case SimpleTypeKind::Int128:
    case SimpleTypeKind::UInt128:
    case SimpleTypeKind::Float128:
    case SimpleTypeKind::Boolean128:
    case SimpleTypeKind::Complex64:
        return 16;
    case SimpleTypeKind::Complex80:
        return 20;
    case SimpleTypeKind::Complex128:
        return 32;
    default:
        return 0;
    }
}

uint32_t simplePointerSize(SimpleTypeMode m)
{
    switch (m) {
    case SimpleTypeMode::NearPointer:
        return 2;
    case SimpleTypeMode::FarPointer:
    case SimpleTypeMode::HugePointer:
    case SimpleTypeMode::NearPointer32:
        return 4;
    case SimpleTypeMode::FarPointer32:
        return 6;
    case SimpleTypeMode::NearPointer64:
        return 8;
    case SimpleTypeMode::NearPointer128:
        return 16;
    default:
        return 0;
    }
}

// Collects the members of one field-list record; continuations are followed by the caller.
class FieldCollector : public TypeVisitorCallbacks
{
public:
    FieldCollector(uint32_t parent, std::vector<ClassChild> &out) : m_parent(parent), m_out(out) {}

    TypeIndex continuation;
    std::vector<std::pair<TypeIndex, std::string>> overloadLists;

    Error visitKnownMember(CVMemberRecord &, BaseClassRecord &r) override
    {
        ClassChild c = make(ClassChild::BaseClass, r.getBaseType().getIndex(), std::string());
        c.offset = int64_t(r.getBaseOffset());
        m_out.push_back(std::move(c));
        return Error::success();
    }
    Error visitKnownMember(CVMemberRecord &, VirtualBaseClassRecord &r) override
    {
        ClassChild c = make(ClassChild::BaseClass, r.getBaseType().getIndex(), std::string());
        c.isVirtualBase = true;
        c.vbptrOffset = int64_t(r.getVBPtrOffset());
        m_out.push_back(std::move(c));
        return Error::success();
    }
    Error visitKnownMember(CVMemberRecord &, DataMemberRecord &r) override
    {
        ClassChild c = make(ClassChild::Data, r.getType().getIndex(), r.getName().str());
        c.offset = int64_t(r.getFieldOffset());
        m_out.push_back(std::move(c));
        return Error::success();
    }
    Error visitKnownMember(CVMemberRecord &, StaticDataMemberRecord &r) override
    {
        ClassChild c = make(ClassChild::Data, r.getType().getIndex(), r.getName().str());
        c.isStatic = true;
        m_out.push_back(std::move(c));
        return Error::success();
    }
    Error visitKnownMember(CVMemberRecord &, OneMethodRecord &r) override
    {
        addMethod(r, r.getName());
        return Error::success();
    }
    Error visitKnownMember(CVMemberRecord &, OverloadedMethodRecord &r) override
    {
        overloadLists.emplace_back(r.getMethodList(), r.getName().str());
        return Error::success();
    }
    Error visitKnownMember(CVMemberRecord &, NestedTypeRecord &r) override
    {
        m_out.push_back(
            make(ClassChild::NestedType, r.getNestedType().getIndex(), r.getName().str()));
        return Error::success();
    }
    Error visitKnownMember(CVMemberRecord &, VFPtrRecord &r) override
    {
        m_out.push_back(make(ClassChild::VTable, r.getType().getIndex(), std::string()));
        return Error::success();
    }
    Error visitKnownMember(CVMemberRecord &, ListContinuationRecord &r) override
    {
        continuation = r.getContinuationIndex();
        return Error::success();
    }

    void addMethod(const OneMethodRecord &r, StringRef name)
    {
        ClassChild c = make(ClassChild::Method, r.getType().getIndex(), name.str());
        c.isStatic = r.getMethodKind() == MethodKind::Static;
        m_out.push_back(std::move(c));
    }

private:
    ClassChild make(ClassChild::Kind kind, uint32_t type, std::string name) const
    {
        ClassChild c;
        c.kind = kind;
        c.parent = m_parent;
        c.type = type;
        c.name = std::move(name);
        return c;
    }

    uint32_t m_parent;
    std::vector<ClassChild> &m_out;
};

// LLVM's hash-table loader stores every entry at the bucket its present bit names without
// checking that bucket against the capacity: a damaged table writes past the bucket array
// (inside LLVM, where no sanitizer sees it). So each table LLVM is about to load is checked
// here first. Real tables hold a handful of entries; a capacity beyond this bound only makes
// LLVM allocate gigabytes for nothing.
constexpr uint32_t kMaxHashCapacity = 1u << 20;

bool hashTableIsSound(BinaryStreamReader reader)
{
    uint32_t size = 0, capacity = 0, presentWords = 0;
    if (failed(reader.readInteger(size)) || failed(reader.readInteger(capacity)) ||
        failed(reader.readInteger(presentWords)))
        return false;
    if (capacity == 0 || capacity > kMaxHashCapacity || presentWords > reader.bytesRemaining() / 4)
        return false;
    for (uint32_t word = 0; word < presentWords; ++word) {
        uint32_t bits = 0;
        if (failed(reader.readInteger(bits)))
            return false;
        if (bits != 0 && uint64_t(word) * 32 + (31 - __builtin_clz(bits)) >= capacity)
            return false;
    }
    return true;
}

// The name map of the info stream, as InfoStream::reload is going to read it.
bool namedStreamMapIsSound(PDBFile &file)
{
    auto stream = file.safelyCreateIndexedStream(StreamPDB);
    if (consumed(stream))
        return false;
    BinaryStreamReader reader(**stream);
    uint32_t namesSize = 0;
    return !failed(reader.skip(sizeof(InfoStreamHeader))) &&
           !failed(reader.readInteger(namesSize)) && !failed(reader.skip(namesSize)) &&
           hashTableIsSound(reader);
}

// The hash-adjuster table of a type or id stream, as TpiStream::reload is going to read it.
bool typeHashTableIsSound(PDBFile &file, uint32_t streamIndex)
{
    auto stream = file.safelyCreateIndexedStream(streamIndex);
    if (consumed(stream))
        return false;
    BinaryStreamReader reader(**stream);
    const TpiStreamHeader *header = nullptr;
    if (failed(reader.readObject(header)))
        return false;
    if (header->HashStreamIndex == kInvalidStreamIndex || header->HashAdjBuffer.Length == 0)
        return true; // LLVM reads no table
    if (header->HashAdjBuffer.Off < 0)
        return false;
    auto hash = file.safelyCreateIndexedStream(header->HashStreamIndex);
    if (consumed(hash))
        return false;
    BinaryStreamReader hashReader(**hash);
    return !failed(hashReader.skip(uint32_t(header->HashAdjBuffer.Off))) &&
           hashTableIsSound(hashReader);
}

// The stream index of a named stream, read from the info stream's name map with every offset
// checked: LLVM's own lookup trusts the map and reads past it when the file is damaged.
bool findNamedStream(const InfoStream &info, StringRef wanted, uint32_t &index)
{
    BinaryStreamReader reader(info.getNamedStreamsBuffer().StreamData);
    uint32_t namesSize = 0;
    BinaryStreamRef names;
    if (failed(reader.readInteger(namesSize)) || failed(reader.readStreamRef(names, namesSize)))
        return false;
    uint32_t size = 0, capacity = 0, presentWords = 0, deletedWords = 0;
    if (failed(reader.readInteger(size)) || failed(reader.readInteger(capacity)) ||
        failed(reader.readInteger(presentWords)) || presentWords > reader.bytesRemaining() / 4)
        return false;
    std::vector<uint32_t> present(presentWords);
    for (uint32_t &w : present)
        if (failed(reader.readInteger(w)))
            return false;
    if (failed(reader.readInteger(deletedWords)) || deletedWords > reader.bytesRemaining() / 4 ||
        failed(reader.skip(uint64_t(deletedWords) * 4)))
        return false;
    for (uint32_t word = 0; word < presentWords; ++word) {
        for (uint32_t bit = 0; bit < 32; ++bit) {
            if (!(present[word] & (1u << bit)))
                continue;
            uint32_t key = 0, value = 0;
            if (failed(reader.readInteger(key)) || failed(reader.readInteger(value)))
                return false;
            if (key >= namesSize)
                continue;
            BinaryStreamReader nameReader(names);
            StringRef name;
            if (failed(nameReader.skip(key)) || failed(nameReader.readCString(name)))
                continue;
            if (name == wanted) {
                index = value;
                return true;
            }
        }
    }
    return false;
}

} // namespace

PdbIndex::PdbIndex() : m_impl(new Impl) {}
PdbIndex::~PdbIndex() = default;

std::vector<std::string> PdbIndex::pdbCandidates(const std::string &imagePath,
                                                 const std::string &recordedPath)
{
    std::string path = recordedPath;
    std::replace(path.begin(), path.end(), '\\', '/');
    const std::string folder = folderOf(imagePath);
    std::vector<std::string> out;
    if (!path.empty()) {
        // A relative record is relative to the image, not to whoever runs us.
        out.push_back(isAbsoluteWindowsOrPosix(recordedPath) ? path : folder + path);
        const size_t slash = path.find_last_of('/');
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        if (!base.empty() && folder + base != out.front())
            out.push_back(folder + base);
    }
    return out;
}

LoadResult PdbIndex::load(const std::string &imagePath, std::unique_ptr<PdbIndex> &index)
{
    index.reset();
    if (!fileExists(imagePath))
        return LoadResult::NoImage;
    auto image = MemoryBuffer::getFile(imagePath, /*IsText=*/false,
                                       /*RequiresNullTerminator=*/false);
    if (!image)
        return LoadResult::NoImage;
    CodeViewRecord record;
    const StringRef bytes = (*image)->getBuffer();
    switch (
        readCodeViewRecord(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), record)) {
    case PeReadResult::Ok:
        break;
    case PeReadResult::NotPe:
        return LoadResult::NotPe;
    case PeReadResult::NoDebugDirectory:
    case PeReadResult::NoCodeView:
    case PeReadResult::Corrupt:
        return LoadResult::NoDebugInfo;
    }
    image->reset();

    std::string pdbPath;
    for (const std::string &candidate : pdbCandidates(imagePath, record.pdbPath))
        if (fileExists(candidate)) {
            pdbPath = candidate;
            break;
        }
    if (pdbPath.empty())
        return LoadResult::NoPdb;

    auto buffer = MemoryBuffer::getFile(pdbPath, /*IsText=*/false,
                                        /*RequiresNullTerminator=*/false);
    if (!buffer)
        return LoadResult::NoPdb;
    std::unique_ptr<PdbIndex> pdb(new PdbIndex);
    Impl &d = *pdb->m_impl;
    auto stream = std::make_unique<MemoryBufferByteStream>(std::move(*buffer), support::little);
    d.file = std::make_unique<PDBFile>(pdbPath, std::move(stream), d.allocator);
    if (failed(d.file->parseFileHeaders()) || failed(d.file->parseStreamData()))
        return LoadResult::Corrupt;

    if (!namedStreamMapIsSound(*d.file))
        return LoadResult::Corrupt;
    auto info = d.file->getPDBInfoStream();
    if (consumed(info))
        return LoadResult::Corrupt;
    const GUID guid = info->getGuid();
    if (std::memcmp(guid.Guid, record.guid, sizeof record.guid) != 0 ||
        info->getAge() != record.age)
        return LoadResult::Mismatch;

    // The streams that every lookup needs; their absence makes the file useless.
    auto dbi = d.file->getPDBDbiStream();
    if (consumed(dbi))
        return LoadResult::Corrupt;
    d.dbi = &*dbi;
    if (!typeHashTableIsSound(*d.file, StreamTPI))
        return LoadResult::Corrupt;
    auto tpi = d.file->getPDBTpiStream();
    if (consumed(tpi))
        return LoadResult::Corrupt;
    d.tpi = &*tpi;
    if (d.file->hasPDBIpiStream() && typeHashTableIsSound(*d.file, StreamIPI)) {
        auto ipi = d.file->getPDBIpiStream();
        if (!consumed(ipi))
            d.ipi = &*ipi;
    }
    if (d.file->hasPDBPublicsStream()) {
        auto publics = d.file->getPDBPublicsStream();
        if (consumed(publics))
            return LoadResult::Corrupt;
        d.publics = &*publics;
    }
    if (d.file->hasPDBSymbolStream()) {
        auto symbols = d.file->getPDBSymbolStream();
        if (consumed(symbols))
            return LoadResult::Corrupt;
        d.symbols = &*symbols;
    }
    uint32_t namesStream = 0;
    if (findNamedStream(*info, "/names", namesStream)) {
        auto stream = d.file->safelyCreateIndexedStream(namesStream);
        if (!consumed(stream)) {
            d.stringStream = std::move(*stream);
            BinaryStreamReader reader(*d.stringStream);
            if (!failed(d.stringTable.reload(reader)))
                d.strings = &d.stringTable;
        }
    }
    for (const object::coff_section &s : d.dbi->getSectionHeaders())
        d.sectionRvas.push_back(s.VirtualAddress);
    if (d.sectionRvas.empty())
        return LoadResult::Corrupt;
    index = std::move(pdb);
    return LoadResult::Ok;
}

uint32_t PdbIndex::addName(std::vector<char> &names, std::string_view name)
{
    const uint32_t offset = uint32_t(names.size());
    names.insert(names.end(), name.begin(), name.end());
    return offset;
}

void PdbIndex::ensureIndexed(bool PdbIndex::*done, void (PdbIndex::*index)()) const
{
    if (this->*done || m_built <= 0)
        return;
    // Only the indexes change; the object itself was never made const.
    PdbIndex *self = const_cast<PdbIndex *>(this);
    self->*done = true;
    (self->*index)();
}

bool PdbIndex::build()
{
    if (m_built != 0)
        return m_built > 0;
    m_built = -1;
    if (!m_impl->dbi)
        return false;
    m_built = 1;
    return true;
}

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
    bool badDescriptor = false;
    for (auto it = descriptors.begin(&badDescriptor); it != descriptors.end(); ++it) {
        const DbiModuleDescriptor descriptor = *it;
        const uint16_t streamIndex = descriptor.getModuleStreamIndex();
        if (streamIndex == kInvalidStreamIndex)
            continue;
        auto stream = d.file->safelyCreateIndexedStream(streamIndex);
        if (consumed(stream))
            continue;
        ModuleDebugStreamRef module(descriptor, std::move(*stream));
        if (failed(module.reload()))
            continue;
        visit(module);
    }
}

void PdbIndex::indexFunctions()
{
    Impl &d = *m_impl;
    forEachModule([&](ModuleDebugStreamRef &module) {
        bool hadError = false;
        for (const CVSymbol &symbol : module.symbols(&hadError)) {
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
            if ((kind == S_GPROC32_ID || kind == S_LPROC32_ID)) {
                // The _ID forms point into the id stream; the type sits behind the id record.
                type = 0;
                Optional<CVType> id;
                if (d.ipi && !proc->FunctionType.isSimple())
                    id = d.id(proc->FunctionType);
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

void PdbIndex::indexLines()
{
    Impl &d = *m_impl;
    std::unordered_map<uint32_t, uint32_t> fileByNameOffset;
    struct Entry
    {
        uint32_t offset, line, file;
    };
    std::vector<Entry> entries; // one contribution's records, reused
    forEachModule([&](ModuleDebugStreamRef &module) {
        // Line records: offsets within each contribution, made absolute and given lengths.
        std::unordered_map<uint32_t, uint32_t> checksumToFile;
        bool checksumsRead = false;
        for (const DebugSubsectionRecord &sub : module.subsections()) {
            if (sub.kind() != DebugSubsectionKind::Lines)
                continue;
            if (!checksumsRead) {
                checksumsRead = true;
                auto checksums = module.findChecksumsSubsection();
                if (!consumed(checksums)) {
                    const auto &array = checksums->getArray();
                    for (auto it = array.begin(), end = array.end(); it != end; ++it) {
                        const uint32_t nameOffset = it->FileNameOffset;
                        auto found = fileByNameOffset.find(nameOffset);
                        uint32_t file;
                        if (found != fileByNameOffset.end()) {
                            file = found->second;
                        } else {
                            std::string name;
                            if (d.strings) {
                                auto s = d.strings->getStringForID(nameOffset);
                                if (!consumed(s))
                                    name = s->str();
                            }
                            file = uint32_t(m_files.size());
                            m_files.push_back(std::move(name));
                            fileByNameOffset.emplace(nameOffset, file);
                        }
                        checksumToFile.emplace(it.offset(), file);
                    }
                }
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
            std::stable_sort(entries.begin(), entries.end(),
                             [](const Entry &a, const Entry &b) { return a.offset < b.offset; });
            const uint32_t codeSize = header->CodeSize;
            for (size_t i = 0; i < entries.size(); ++i) {
                const uint32_t start = entries[i].offset;
                const uint32_t end = i + 1 < entries.size() ? entries[i + 1].offset : codeSize;
                if (end <= start)
                    continue; // covers no byte
                m_lines.push_back({base + start, end - start, entries[i].line, entries[i].file});
            }
        }
    });
    std::stable_sort(m_lines.begin(), m_lines.end(),
                     [](const Line &a, const Line &b) { return a.rva < b.rva; });
    // Folded functions bring one line table each for the same bytes. Keep the first, which
    // belongs to the function that functionAt gives, so that every address has one record
    // and a lookup stays a binary search.
    uint64_t covered = 0;
    auto kept = m_lines.begin();
    for (const Line &l : m_lines) {
        if (l.rva < covered)
            continue;
        covered = uint64_t(l.rva) + l.length;
        *kept++ = l;
    }
    m_lines.erase(kept, m_lines.end());
    m_lines.shrink_to_fit();
}

namespace {

struct PublicRecord
{
    uint32_t flags;
    uint32_t offset;
    uint16_t segment;
    std::string_view name;
};

// An S_PUB32 record's fields: flags, offset, segment, then the name up to its zero byte. Read
// here directly because the general deserializer costs more than the rest of the public index
// on a program database with a million publics. False when the record is too short or the
// name is not terminated, which the deserializer refuses as well.
bool readPublicRecord(ArrayRef<uint8_t> content, PublicRecord &out)
{
    if (content.size() < 10)
        return false;
    const uint8_t *p = content.data();
    out.flags = support::endian::read32le(p);
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
    if (!d.symbols)
        return;
    // Sized once from the record stream: a public's record takes at least 15 bytes of it and
    // its name less than that. Pages the records do not fill are never touched.
    const uint32_t streamLength = d.symbols->getSymbolArray().getUnderlyingStream().getLength();
    m_publics.reserve(streamLength / 15);
    m_names.reserve(streamLength);
    bool hadError = false;
    for (const CVSymbol &symbol : d.symbols->getSymbols(&hadError)) {
        if (symbol.kind() != S_PUB32)
            continue;
        PublicRecord pub;
        if (!readPublicRecord(symbol.content(), pub))
            continue;
        uint32_t rva = 0;
        const bool hasRva = d.toRva(pub.segment, pub.offset, rva);
        const uint32_t nameOffset = addName(m_names, pub.name);
        m_publics.push_back({rva, nameOffset, uint32_t(pub.name.size()), hasRva,
                             (pub.flags & uint32_t(PublicSymFlags::Function)) != 0});
    }
    // Address order; publics without an address go last.
    std::stable_sort(m_publics.begin(), m_publics.end(), [](const Public &a, const Public &b) {
        if (a.hasRva != b.hasRva)
            return a.hasRva;
        return a.rva < b.rva;
    });
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

long PdbIndex::publicAt(uint32_t rva) const
{
    ensurePublics();
    auto end = std::partition_point(m_publics.begin(), m_publics.end(),
                                    [](const Public &p) { return p.hasRva; });
    auto it = std::upper_bound(m_publics.begin(), end, rva,
                               [](uint32_t v, const Public &p) { return v < p.rva; });
    if (it == m_publics.begin())
        return -1;
    const uint32_t at = std::prev(it)->rva;
    auto first = std::lower_bound(m_publics.begin(), it, at,
                                  [](const Public &p, uint32_t v) { return p.rva < v; });
    return long(first - m_publics.begin());
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

// ---- types ----

void PdbIndex::indexDefinitions()
{
    if (m_definitionsIndexed)
        return;
    m_definitionsIndexed = true;
    Impl &d = *m_impl;
    if (!d.tpi)
        return;
    d.type(TypeIndex(TypeIndex::FirstNonSimpleIndex)); // reads the records
    for (size_t i = 0; i < d.tpiRecords.records.size(); ++i) {
        CVType cvt = d.tpiRecords.records[i];
        const uint32_t current = d.tpiRecords.begin + uint32_t(i);
        if (!isTagKind(cvt.kind()))
            continue;
        TagSummary tag;
        if (!readTag(cvt, tag) || tag.forwardRef)
            continue;
        const char group = kindGroup(cvt.kind());
        if (tag.hasUniqueName)
            m_definitionsByUniqueName.emplace(group + tag.uniqueName, current);
        m_definitionsByName.emplace(group + tag.name, current);
        m_userTypes.push_back(current);
    }
}

const std::vector<uint32_t> &PdbIndex::userTypes()
{
    indexDefinitions();
    return m_userTypes;
}

uint32_t PdbIndex::canonicalType(uint32_t typeIndex)
{
    Impl &d = *m_impl;
    TypeIndex ti(typeIndex);
    for (int depth = 0; depth < kMaxTypeDepth; ++depth) {
        Optional<CVType> cvt = d.type(ti);
        if (!cvt)
            return ti.getIndex();
        const TypeLeafKind kind = cvt->kind();
        if (kind == LF_MODIFIER) {
            ModifierRecord r(TypeRecordKind::Modifier);
            if (failed(TypeDeserializer::deserializeAs(*cvt, r)))
                return ti.getIndex();
            ti = r.getModifiedType();
            continue;
        }
        if (isTagKind(kind)) {
            TagSummary tag;
            if (!readTag(*cvt, tag) || !tag.forwardRef)
                return ti.getIndex();
            indexDefinitions();
            const char group = kindGroup(kind);
            if (tag.hasUniqueName) {
                auto it = m_definitionsByUniqueName.find(group + tag.uniqueName);
                if (it != m_definitionsByUniqueName.end())
                    return it->second;
            }
            auto it = m_definitionsByName.find(group + tag.name);
            return it != m_definitionsByName.end() ? it->second : ti.getIndex();
        }
        return ti.getIndex();
    }
    return ti.getIndex();
}

uint32_t PdbIndex::typeLength(uint32_t typeIndex)
{
    const TypeInfo &info = typeInfo(canonicalType(typeIndex));
    return info.hasLength ? uint32_t(info.length) : 0;
}

const TypeInfo &PdbIndex::typeInfo(uint32_t canonicalIndex)
{
    auto it = m_typeInfos.find(canonicalIndex);
    if (it != m_typeInfos.end())
        return it->second;
    // Insert before reading, so that a type reaching itself (through a broken record) ends.
    m_typeInfos.emplace(canonicalIndex, TypeInfo());
    TypeInfo info = readTypeInfo(canonicalIndex);
    TypeInfo &slot = m_typeInfos[canonicalIndex];
    slot = std::move(info);
    return slot;
}

TypeInfo PdbIndex::readTypeInfo(uint32_t canonicalIndex)
{
    TypeInfo info;
    const TypeIndex ti(canonicalIndex);
    if (ti.isSimple()) {
        if (ti.getSimpleKind() == SimpleTypeKind::None &&
            ti.getSimpleMode() == SimpleTypeMode::Direct)
            return info;
        if (ti.getSimpleMode() != SimpleTypeMode::Direct) {
            info.tag = 14; // pointer
            info.length = simplePointerSize(ti.getSimpleMode());
            info.hasLength = true;
            info.type = ti.makeDirect().getIndex();
            info.hasType = true;
        } else {
            info.tag = 16; // base type
            info.name = TypeIndex::simpleTypeName(ti).str();
            info.hasName = true;
            info.length = simpleKindSize(ti.getSimpleKind());
            info.hasLength = true;
        }
        return info;
    }
    Optional<CVType> cvt = m_impl->type(ti);
    if (!cvt)
        return info;
    const TypeLeafKind kind = cvt->kind();
    if (isTagKind(kind)) {
        TagSummary tag;
        if (!readTag(*cvt, tag))
            return info;
        info.tag = kind == LF_ENUM ? 12 : 11;
        info.name = tag.name;
        info.hasName = true;
        info.isForwardReference = tag.forwardRef;
        if (kind == LF_ENUM) {
            info.type = canonicalType(tag.underlying.getIndex());
            info.hasType = true;
            info.length = typeLength(info.type);
        } else {
            info.length = tag.size;
        }
        info.hasLength = true;
        return info;
    }
    switch (kind) {
    case LF_POINTER: {
        PointerRecord r(TypeRecordKind::Pointer);
        if (failed(TypeDeserializer::deserializeAs(*cvt, r)))
            return info;
        info.tag = 14;
        info.length = r.getSize();
        info.hasLength = true;
        info.type = canonicalType(r.getReferentType().getIndex());
        info.hasType = true;
        return info;
    }
    case LF_ARRAY: {
        ArrayRecord r(TypeRecordKind::Array);
        if (failed(TypeDeserializer::deserializeAs(*cvt, r)))
            return info;
        info.tag = 15;
        info.length = r.getSize();
        info.hasLength = true;
        info.type = canonicalType(r.getElementType().getIndex());
        info.hasType = true;
        const uint32_t element = typeLength(info.type);
        info.count = element ? uint32_t(r.getSize() / element) : 0;
        info.hasCount = true;
        return info;
    }
    case LF_PROCEDURE: {
        ProcedureRecord r(TypeRecordKind::Procedure);
        if (failed(TypeDeserializer::deserializeAs(*cvt, r)))
            return info;
        info.tag = 13;
        info.type = canonicalType(r.getReturnType().getIndex());
        info.hasType = !r.getReturnType().isNoneType();
        info.callingConvention = uint32_t(r.getCallConv());
        info.hasCallingConvention = true;
        return info;
    }
    case LF_MFUNCTION: {
        MemberFunctionRecord r(TypeRecordKind::MemberFunction);
        if (failed(TypeDeserializer::deserializeAs(*cvt, r)))
            return info;
        info.tag = 13;
        info.type = canonicalType(r.getReturnType().getIndex());
        info.hasType = !r.getReturnType().isNoneType();
        info.callingConvention = uint32_t(r.getCallConv());
        info.hasCallingConvention = true;
        if (!r.getClassType().isNoneType()) {
            info.classParent = canonicalType(r.getClassType().getIndex());
            info.hasClassParent = true;
        }
        info.thisAdjust = r.getThisPointerAdjustment();
        info.hasThisAdjust = true;
        return info;
    }
    case LF_BITFIELD: {
        BitFieldRecord r(TypeRecordKind::BitField);
        if (failed(TypeDeserializer::deserializeAs(*cvt, r)))
            return info;
        // Shown as the type it is carved from, as DIA does.
        const uint32_t underlying = canonicalType(r.getType().getIndex());
        if (underlying == canonicalIndex)
            return info;
        return typeInfo(underlying);
    }
    case LF_VTSHAPE:
        info.tag = 24;
        return info;
    default:
        return info;
    }
}

std::pair<size_t, size_t> PdbIndex::classChildren(uint32_t canonicalIndex)
{
    auto found = m_childRanges.find(canonicalIndex);
    if (found != m_childRanges.end())
        return found->second;
    const size_t first = m_children.size();
    m_childRanges[canonicalIndex] = {first, first};

    Impl &d = *m_impl;
    Optional<CVType> cvt = d.type(TypeIndex(canonicalIndex));
    TagSummary tag;
    if (!cvt || !isTagKind(cvt->kind()) || cvt->kind() == LF_ENUM || !readTag(*cvt, tag) ||
        tag.forwardRef)
        return {first, first};

    FieldCollector collector(canonicalIndex, m_children);
    TypeIndex list = tag.fieldList;
    std::vector<uint32_t> seen;
    while (!list.isNoneType() && !list.isSimple()) {
        if (std::find(seen.begin(), seen.end(), list.getIndex()) != seen.end())
            break; // a continuation loop in a broken file
        seen.push_back(list.getIndex());
        Optional<CVType> fields = d.type(list);
        if (!fields || fields->kind() != LF_FIELDLIST)
            break;
        FieldListRecord record(TypeRecordKind::FieldList);
        if (failed(TypeDeserializer::deserializeAs(*fields, record)))
            break;
        collector.continuation = TypeIndex();
        if (failed(visitMemberRecordStream(record.Data, collector)))
            break;
        list = collector.continuation;
    }
    for (const auto &overloads : collector.overloadLists) {
        Optional<CVType> methods = d.type(overloads.first);
        if (!methods || methods->kind() != LF_METHODLIST)
            continue;
        MethodOverloadListRecord r(TypeRecordKind::MethodOverloadList);
        if (failed(TypeDeserializer::deserializeAs(*methods, r)))
            continue;
        for (const OneMethodRecord &m : r.getMethods())
            collector.addMethod(m, overloads.second);
    }
    // Types seen through modifiers and forward references, as every other lookup sees them.
    for (size_t i = first; i < m_children.size(); ++i)
        m_children[i].type = canonicalType(m_children[i].type);
    m_childRanges[canonicalIndex] = {first, m_children.size()};
    return {first, m_children.size()};
}

} // namespace PDB
} // namespace PLATFORM
} // namespace TQ
