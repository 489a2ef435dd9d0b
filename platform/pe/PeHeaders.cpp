#include "PeHeaders.h"

#include <cstring>

namespace TQ::PLATFORM::PE {

namespace {

constexpr uint16_t DosSignature = 0x5A4D;    // "MZ"
constexpr uint32_t NtSignature = 0x00004550; // "PE\0\0"
constexpr uint64_t DosHeaderSize = 0x40;     // up to and including e_lfanew
constexpr uint64_t FileHeaderEnd = 24;       // the signature and the file header
constexpr uint64_t SectionHeaderSize = 40;
constexpr uint32_t ContainsCode = 0x00000020;
constexpr uint32_t MemoryExecute = 0x20000000;

// Offsets in the file header (after the signature) and the optional header.
constexpr uint64_t NumberOfSections = 4 + 2;
constexpr uint64_t TimeDateStamp = 4 + 4;
constexpr uint64_t SizeOfOptionalHeader = 4 + 16;
constexpr uint64_t SizeOfImage = 56;
constexpr uint64_t CheckSum = 64;
constexpr uint16_t Pe32Magic = 0x10B;
constexpr uint16_t Pe32PlusMagic = 0x20B;
constexpr uint64_t Pe32DirectoryCount = 92;
constexpr uint64_t Pe32PlusDirectoryCount = 108;
constexpr uint32_t DebugDirectoryIndex = 6;
constexpr uint64_t DebugEntrySize = 28;
constexpr uint32_t DebugTypeCodeView = 2;
constexpr uint64_t RsdsHeaderSize = 24; // "RSDS", GUID, age

} // namespace

std::string Section::nameText() const
{
    return std::string(name, strnlen(name, sizeof name));
}

bool Section::holdsCode() const
{
    return (characteristics & (ContainsCode | MemoryExecute)) != 0;
}

uint32_t PeHeaders::u32(uint64_t offset) const
{
    if (!has(offset, 4))
        return 0;
    const uint8_t *p = m_data + offset;
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

uint16_t PeHeaders::u16(uint64_t offset) const
{
    if (!has(offset, 2))
        return 0;
    return uint16_t(m_data[offset] | (m_data[offset + 1] << 8));
}

bool PeHeaders::optionalField(uint64_t offsetInOptionalHeader, uint64_t width) const
{
    return offsetInOptionalHeader + width <= m_optionalSize &&
           has(m_optional + offsetInOptionalHeader, width);
}

PeHeaders::Status PeHeaders::read(const uint8_t *data, uint64_t size)
{
    m_data = data;
    m_size = size;
    m_sections.clear();
    m_optional = m_optionalSize = 0;
    m_headersEnd = m_checkSumOffset = 0;

    if (size < DosHeaderSize || u16(0) != DosSignature)
        return Status::NoDosSignature;
    const uint64_t nt = u32(0x3C);
    if (!has(nt, 4) || u32(nt) != NtSignature)
        return Status::NoPeSignature;
    if (!has(nt, FileHeaderEnd))
        return Status::SectionTableOutside;
    const uint16_t count = u16(nt + NumberOfSections);
    m_optional = nt + FileHeaderEnd;
    m_optionalSize = u16(nt + SizeOfOptionalHeader);
    const uint64_t table = m_optional + m_optionalSize;
    if (!has(table, uint64_t(count) * SectionHeaderSize))
        return Status::SectionTableOutside;

    m_sections.resize(count);
    for (uint16_t i = 0; i < count; ++i) {
        const uint64_t h = table + uint64_t(i) * SectionHeaderSize;
        Section &s = m_sections[i];
        std::memcpy(s.name, data + h, sizeof s.name);
        s.virtualSize = u32(h + 8);
        s.virtualAddress = u32(h + 12);
        s.rawSize = u32(h + 16);
        s.rawPointer = u32(h + 20);
        s.characteristics = u32(h + 36);
    }
    m_headersEnd = table + uint64_t(count) * SectionHeaderSize;
    if (optionalField(CheckSum, 4))
        m_checkSumOffset = m_optional + CheckSum;
    return Status::Ok;
}

const Section *PeHeaders::sectionOf(uint32_t rva) const
{
    for (const Section &s : m_sections)
        if (s.virtualAddress <= rva && uint64_t(rva) < uint64_t(s.virtualAddress) + s.virtualSize)
            return &s;
    return nullptr;
}

int64_t PeHeaders::fileOffset(const Section &section, uint32_t rva, uint32_t length) const
{
    // A section may hold less raw data than its virtual size: the rest is the loader's zeros,
    // and the bytes after the raw data belong to the next section.
    const uint64_t inSection = uint32_t(rva - section.virtualAddress);
    const uint64_t offset = uint64_t(section.rawPointer) + inSection;
    if (inSection + length > section.rawSize || !has(offset, length) || offset < m_headersEnd)
        return -1;
    return int64_t(offset);
}

int64_t PeHeaders::fileOffset(uint32_t rva, uint32_t length) const
{
    const Section *s = sectionOf(rva);
    return s ? fileOffset(*s, rva, length) : -1;
}

uint32_t PeHeaders::checkSum() const
{
    return m_checkSumOffset ? u32(m_checkSumOffset) : 0;
}

BuildId PeHeaders::buildId() const
{
    BuildId id;
    if (!m_optional)
        return id;
    id.timeDateStamp = u32(m_optional - FileHeaderEnd + TimeDateStamp);
    if (optionalField(SizeOfImage, 4))
        id.sizeOfImage = u32(m_optional + SizeOfImage);
    CodeViewRecord record;
    if (codeView(record) == CodeViewResult::Ok) {
        id.hasCodeView = true;
        std::memcpy(id.pdbGuid, record.guid, sizeof id.pdbGuid);
        id.pdbAge = record.age;
    }
    return id;
}

CodeViewResult PeHeaders::codeView(CodeViewRecord &record) const
{
    if (!optionalField(0, 2))
        return CodeViewResult::NotPe;
    const uint16_t magic = u16(m_optional);
    const uint64_t countAt = magic == Pe32Magic       ? Pe32DirectoryCount
                             : magic == Pe32PlusMagic ? Pe32PlusDirectoryCount
                                                      : 0;
    if (!countAt || !optionalField(countAt, 4))
        return CodeViewResult::NotPe;
    const uint64_t entry = countAt + 4 + 8 * uint64_t(DebugDirectoryIndex);
    if (u32(m_optional + countAt) <= DebugDirectoryIndex || !optionalField(entry, 8))
        return CodeViewResult::NoDebugDirectory;
    const uint32_t debugRva = u32(m_optional + entry);
    const uint32_t debugSize = u32(m_optional + entry + 4);
    if (debugRva == 0 || debugSize == 0)
        return CodeViewResult::NoDebugDirectory;

    const int64_t directory = fileOffset(debugRva, debugSize);
    if (directory < 0)
        return CodeViewResult::Corrupt;
    bool sawBroken = false;
    for (uint64_t i = 0; i + DebugEntrySize <= debugSize; i += DebugEntrySize) {
        const uint64_t e = uint64_t(directory) + i;
        if (u32(e + 12) != DebugTypeCodeView)
            continue;
        const uint32_t dataSize = u32(e + 16);
        const uint32_t dataPointer = u32(e + 24);
        if (!has(dataPointer, dataSize)) {
            sawBroken = true;
            continue;
        }
        if (dataSize < RsdsHeaderSize || std::memcmp(m_data + dataPointer, "RSDS", 4) != 0)
            continue;
        std::memcpy(record.guid, m_data + dataPointer + 4, sizeof record.guid);
        record.age = u32(uint64_t(dataPointer) + 20);
        const char *path = reinterpret_cast<const char *>(m_data + dataPointer + RsdsHeaderSize);
        record.pdbPath.assign(path, strnlen(path, dataSize - RsdsHeaderSize));
        return CodeViewResult::Ok;
    }
    return sawBroken ? CodeViewResult::Corrupt : CodeViewResult::NoCodeView;
}

uint32_t PeHeaders::computeCheckSum(const uint8_t *data, uint64_t size, uint64_t checkSumOffset)
{
    // The plain sum of the words, folded once at the end, is the one's-complement sum.
    uint64_t sum = 0;
    uint64_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const uint8_t *b = data + i;
        sum += uint64_t(b[0] | (b[1] << 8)) + uint64_t(b[2] | (b[3] << 8)) +
               uint64_t(b[4] | (b[5] << 8)) + uint64_t(b[6] | (b[7] << 8));
    }
    for (; i < size; ++i)
        sum += uint64_t(data[i]) << (8 * (i & 1));
    if (checkSumOffset)
        for (uint64_t o = checkSumOffset; o < checkSumOffset + 4 && o < size; ++o)
            sum -= uint64_t(data[o]) << (8 * (o & 1));
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + size);
}

CodeViewResult readCodeViewRecord(const uint8_t *data, size_t size, CodeViewRecord &record)
{
    PeHeaders headers;
    if (headers.read(data, size) != PeHeaders::Status::Ok)
        return CodeViewResult::NotPe;
    return headers.codeView(record);
}

} // namespace TQ::PLATFORM::PE
