#include "PeCodeView.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace TQ {
namespace PLATFORM {
namespace PDB {

namespace {

constexpr uint32_t kDebugTypeCodeView = 2;
constexpr uint32_t kDebugDirectoryIndex = 6;
constexpr size_t kDebugEntrySize = 28;
constexpr size_t kSectionHeaderSize = 40;

class Reader
{
public:
    Reader(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

    bool has(uint64_t offset, uint64_t length) const
    {
        return offset <= m_size && length <= m_size - offset;
    }
    bool u16(uint64_t offset, uint16_t &value) const
    {
        if (!has(offset, 2))
            return false;
        value = uint16_t(m_data[offset] | (m_data[offset + 1] << 8));
        return true;
    }
    bool u32(uint64_t offset, uint32_t &value) const
    {
        if (!has(offset, 4))
            return false;
        value = uint32_t(m_data[offset]) | (uint32_t(m_data[offset + 1]) << 8) |
                (uint32_t(m_data[offset + 2]) << 16) | (uint32_t(m_data[offset + 3]) << 24);
        return true;
    }
    const uint8_t *at(uint64_t offset) const { return m_data + offset; }
    size_t size() const { return m_size; }

private:
    const uint8_t *m_data;
    size_t m_size;
};

struct Section
{
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawSize;
    uint32_t rawPointer;
};

// File offset of an RVA through the section table; false when no section holds it.
bool rvaToOffset(const std::vector<Section> &sections, uint32_t rva, uint32_t length,
                 uint64_t &offset)
{
    for (const Section &s : sections) {
        const uint64_t extent = std::max(s.virtualSize, s.rawSize);
        if (rva >= s.virtualAddress && uint64_t(rva) + length <= s.virtualAddress + extent) {
            const uint64_t delta = rva - s.virtualAddress;
            if (delta + length > s.rawSize)
                return false; // lies in the zero-filled tail, not in the file
            offset = uint64_t(s.rawPointer) + delta;
            return true;
        }
    }
    return false;
}

} // namespace

PeReadResult readCodeViewRecord(const uint8_t *data, size_t size, CodeViewRecord &record)
{
    const Reader r(data, size);
    uint16_t mz = 0;
    uint32_t peOffset = 0, signature = 0;
    if (!r.u16(0, mz) || mz != 0x5A4D || !r.u32(0x3C, peOffset) || !r.u32(peOffset, signature) ||
        signature != 0x00004550)
        return PeReadResult::NotPe;

    const uint64_t fileHeader = uint64_t(peOffset) + 4;
    uint16_t sectionCount = 0, optionalSize = 0, magic = 0;
    if (!r.u16(fileHeader + 2, sectionCount) || !r.u16(fileHeader + 16, optionalSize))
        return PeReadResult::NotPe;
    const uint64_t optional = fileHeader + 20;
    if (!r.has(optional, optionalSize) || !r.u16(optional, magic))
        return PeReadResult::NotPe;

    uint64_t dirCountOffset = 0;
    if (magic == 0x10B)
        dirCountOffset = 92;
    else if (magic == 0x20B)
        dirCountOffset = 108;
    else
        return PeReadResult::NotPe;
    uint32_t dirCount = 0;
    if (dirCountOffset + 4 > optionalSize || !r.u32(optional + dirCountOffset, dirCount))
        return PeReadResult::NotPe;
    const uint64_t dirEntry = optional + dirCountOffset + 4 + 8 * kDebugDirectoryIndex;
    if (dirCount <= kDebugDirectoryIndex || dirEntry + 8 > optional + optionalSize)
        return PeReadResult::NoDebugDirectory;
    uint32_t debugRva = 0, debugSize = 0;
    if (!r.u32(dirEntry, debugRva) || !r.u32(dirEntry + 4, debugSize))
        return PeReadResult::NotPe;
    if (debugRva == 0 || debugSize == 0)
        return PeReadResult::NoDebugDirectory;

    std::vector<Section> sections;
    const uint64_t sectionTable = optional + optionalSize;
    if (!r.has(sectionTable, uint64_t(sectionCount) * kSectionHeaderSize))
        return PeReadResult::NotPe;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint64_t h = sectionTable + uint64_t(i) * kSectionHeaderSize;
        Section s{};
        r.u32(h + 8, s.virtualSize);
        r.u32(h + 12, s.virtualAddress);
        r.u32(h + 16, s.rawSize);
        r.u32(h + 20, s.rawPointer);
        sections.push_back(s);
    }

    uint64_t debugOffset = 0;
    if (!rvaToOffset(sections, debugRva, debugSize, debugOffset))
        return PeReadResult::Corrupt;
    bool sawBroken = false;
    for (uint32_t i = 0; i + kDebugEntrySize <= debugSize; i += kDebugEntrySize) {
        const uint64_t e = debugOffset + i;
        uint32_t type = 0, dataSize = 0, dataPointer = 0;
        if (!r.u32(e + 12, type) || !r.u32(e + 16, dataSize) || !r.u32(e + 24, dataPointer))
            return PeReadResult::Corrupt;
        if (type != kDebugTypeCodeView)
            continue;
        // "RSDS", GUID, age, then the zero-terminated path.
        if (!r.has(dataPointer, dataSize)) {
            sawBroken = true;
            continue;
        }
        if (dataSize < 24)
            continue;
        if (std::memcmp(r.at(dataPointer), "RSDS", 4) != 0)
            continue;
        std::memcpy(record.guid, r.at(dataPointer + 4), 16);
        r.u32(uint64_t(dataPointer) + 20, record.age);
        const char *path = reinterpret_cast<const char *>(r.at(uint64_t(dataPointer) + 24));
        const size_t room = dataSize - 24;
        record.pdbPath.assign(path, strnlen(path, room));
        return PeReadResult::Ok;
    }
    return sawBroken ? PeReadResult::Corrupt : PeReadResult::NoCodeView;
}

} // namespace PDB
} // namespace PLATFORM
} // namespace TQ
