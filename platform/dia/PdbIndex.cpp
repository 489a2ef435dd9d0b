// Finding and opening the program database, and the lazy building of its indexes.
#include "PdbIndexImpl.h"

#include <PeHeaders.h>

#include <llvm/DebugInfo/PDB/Native/InfoStream.h>
#include <llvm/DebugInfo/PDB/Native/RawConstants.h>
#include <llvm/DebugInfo/PDB/Native/RawTypes.h>
#include <llvm/Object/COFF.h>
#include <llvm/Support/BinaryByteStream.h>
#include <llvm/Support/BinaryStreamReader.h>
#include <llvm/Support/MemoryBuffer.h>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

using namespace llvm;
using namespace llvm::pdb;

namespace TQ::PLATFORM::PDB {

namespace {

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

// LLVM's hash-table loader stores every entry at the bucket its present bit names without
// checking that bucket against the capacity: a damaged table writes past the bucket array
// (inside LLVM, where no sanitizer sees it). So the one table left to LLVM, the info stream's
// name map, is checked here first. Real tables hold a handful of entries; a capacity beyond this
// bound only makes LLVM allocate gigabytes for nothing.
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

LoadResult PdbIndex::load(const std::string &imagePath, std::unique_ptr<PdbIndex> &index,
                          LoadReport *report)
{
    LoadReport ignored;
    LoadReport &r = report ? *report : ignored;
    r = LoadReport();
    index.reset();
    if (!fileExists(imagePath))
        return LoadResult::NoImage;
    auto image = MemoryBuffer::getFile(imagePath, /*IsText=*/false,
                                       /*RequiresNullTerminator=*/false);
    if (!image)
        return LoadResult::NoImage;
    PE::CodeViewRecord record;
    const StringRef bytes = (*image)->getBuffer();
    switch (PE::readCodeViewRecord(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(),
                                   record)) {
    case PE::CodeViewResult::Ok:
        break;
    case PE::CodeViewResult::NotPe:
        return LoadResult::NotPe;
    case PE::CodeViewResult::NoDebugDirectory:
    case PE::CodeViewResult::NoCodeView:
    case PE::CodeViewResult::Corrupt:
        return LoadResult::NoDebugInfo;
    }
    image->reset();
    std::memcpy(r.guid, record.guid, sizeof r.guid);
    r.age = record.age;

    // Each place in turn, as DIA searches: the first PDB of the image's build is taken; one
    // that is missing, cannot be read or belongs to another build is passed over. When none
    // fits, another build's PDB says more than one that could not be read.
    LoadResult result = LoadResult::NoPdb;
    for (const std::string &candidate : pdbCandidates(imagePath, record.pdbPath)) {
        r.candidates.push_back({candidate});
        if (!fileExists(candidate))
            continue;
        const LoadResult tried =
            open(candidate, record.guid, record.age, index, r.candidates.back());
        r.candidates.back().result = tried;
        if (tried == LoadResult::Ok)
            return tried;
        if (tried == LoadResult::Mismatch || result == LoadResult::NoPdb)
            result = tried;
    }
    return result;
}

LoadResult PdbIndex::open(const std::string &pdbPath, const uint8_t (&guid)[16], uint32_t age,
                          std::unique_ptr<PdbIndex> &index, LoadReport::Candidate &found)
{
    auto buffer = MemoryBuffer::getFile(pdbPath, /*IsText=*/false,
                                        /*RequiresNullTerminator=*/false);
    if (!buffer)
        return LoadResult::Corrupt;
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
    std::memcpy(found.guid, info->getGuid().Guid, sizeof found.guid);
    found.age = info->getAge();
    if (std::memcmp(found.guid, guid, sizeof guid) != 0 || found.age != age)
        return LoadResult::Mismatch;

    // The modules, sections and stream numbers: without them nothing can be found.
    auto dbi = d.file->getPDBDbiStream();
    if (consumed(dbi))
        return LoadResult::Corrupt;
    d.dbi = &*dbi;
    for (const object::coff_section &s : d.dbi->getSectionHeaders())
        d.sectionRvas.push_back(s.VirtualAddress);
    if (d.sectionRvas.empty())
        return LoadResult::Corrupt;

    // Types and ids answer only type queries, which neither run of the tool asks: a stream
    // that cannot be read leaves them unanswered.
    auto types = std::make_unique<TypeRecords>();
    types->open(*d.file, StreamTPI);
    d.types = std::make_unique<PdbTypes>(std::move(types));
    if (d.file->hasPDBIpiStream())
        d.ids.open(*d.file, StreamIPI);
    d.typesInObjectFiles = (info->getFeatures() & PdbFeatureMinimalDebugInfo) != 0;

    const uint32_t publicsIndex = d.dbi->getPublicSymbolStreamIndex();
    const uint32_t recordsIndex = d.dbi->getSymRecordStreamIndex();
    if (publicsIndex != kInvalidStreamIndex && recordsIndex != kInvalidStreamIndex) {
        auto publics = d.file->safelyCreateIndexedStream(publicsIndex);
        auto records = d.file->safelyCreateIndexedStream(recordsIndex);
        const bool publicsRead = !consumed(publics), recordsRead = !consumed(records);
        if (!publicsRead || !recordsRead || !d.publicsHash.open(**publics))
            return LoadResult::Corrupt;
        d.publicsStream = std::move(*publics);
        d.symbolRecords = std::move(*records);
    }

    uint32_t namesStream = 0;
    if (findNamedStream(*info, "/names", namesStream)) {
        auto names = d.file->safelyCreateIndexedStream(namesStream);
        if (!consumed(names)) {
            d.stringStream = std::move(*names);
            BinaryStreamReader reader(*d.stringStream);
            if (!failed(d.stringTable.reload(reader)))
                d.strings = &d.stringTable;
        }
    }
    index = std::move(pdb);
    return LoadResult::Ok;
}

PdbTypes &PdbIndex::types()
{
    return *m_impl->types;
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

} // namespace TQ::PLATFORM::PDB
