// The headers of a PE image held in memory. Everything that reads an image's headers (the
// rewriter, tqt_patchdb.exe, the program-database loader, the tests) reads them here, so that
// there is one rule for where an RVA range lies in the file. Every offset is checked against the
// bytes at hand; nothing here allocates but the section list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace TQ::PLATFORM::PE {

struct Section
{
    char name[8] = {}; // as stored: not terminated when all eight are used
    uint32_t virtualSize = 0;
    uint32_t virtualAddress = 0;
    uint32_t rawSize = 0;
    uint32_t rawPointer = 0;
    uint32_t characteristics = 0;

    std::string nameText() const;
    bool holdsCode() const;
};

// Which build of an image this is: it changes whenever the linker writes the image anew.
struct BuildId
{
    uint32_t timeDateStamp = 0;
    uint32_t sizeOfImage = 0;
    bool hasCodeView = false;
    uint8_t pdbGuid[16] = {};
    uint32_t pdbAge = 0;
};

struct CodeViewRecord
{
    uint8_t guid[16] = {};
    uint32_t age = 0;
    std::string pdbPath; // as the linker stored it, usually a Windows path
};

enum class CodeViewResult {
    Ok,
    NotPe,            // no MZ/PE signature, or headers cut short
    NoDebugDirectory, // the data directory has no debug entry
    NoCodeView,       // no debug entry of type CodeView with an RSDS record
    Corrupt,          // an entry points outside the file
};

class PeHeaders
{
public:
    enum class Status {
        Ok,
        NoDosSignature,      // the file does not begin with MZ (or is shorter than a DOS header)
        NoPeSignature,       // no PE signature where the DOS header points
        SectionTableOutside, // the file header or the section table runs past the end of the file
    };

    // Reads the headers of the size bytes at data; the bytes must outlive this object only for
    // codeView(). An image whose optional header is too short for a field reads that field as 0.
    Status read(const uint8_t *data, uint64_t size);

    uint64_t fileSize() const { return m_size; }
    // The headers and the section table end here; no site may lie before it.
    uint64_t headersEnd() const { return m_headersEnd; }
    const std::vector<Section> &sections() const { return m_sections; }

    // The first section in table order whose virtual range holds rva; null when none does.
    const Section *sectionOf(uint32_t rva) const;
    // The file offset of [rva, rva + length) through the offsets of section: all of it inside
    // the section's raw data and the file, and nothing of it in the headers; -1 otherwise. The
    // range need not lie in the section's virtual range (a call's thunk is looked up through
    // the call's own section).
    int64_t fileOffset(const Section &section, uint32_t rva, uint32_t length) const;
    // The same through the section that holds rva.
    int64_t fileOffset(uint32_t rva, uint32_t length) const;

    BuildId buildId() const;
    CodeViewResult codeView(CodeViewRecord &record) const;

    // Where the optional header's CheckSum lies in the file; 0 when the header is too short.
    uint64_t checkSumOffset() const { return m_checkSumOffset; }
    uint32_t checkSum() const;
    // The checksum that the linker's /RELEASE writes: the 16-bit one's-complement sum of the
    // file taken as little-endian words (the CheckSum field counted as zero) plus the file size.
    static uint32_t computeCheckSum(const uint8_t *data, uint64_t size, uint64_t checkSumOffset);

private:
    bool has(uint64_t offset, uint64_t length) const
    {
        return offset <= m_size && length <= m_size - offset;
    }
    uint32_t u32(uint64_t offset) const; // 0 past the end
    uint16_t u16(uint64_t offset) const;
    bool optionalField(uint64_t offsetInOptionalHeader, uint64_t width) const;

    const uint8_t *m_data = nullptr;
    uint64_t m_size = 0;
    uint64_t m_optional = 0; // file offset of the optional header
    uint16_t m_optionalSize = 0;
    uint64_t m_headersEnd = 0;
    uint64_t m_checkSumOffset = 0;
    std::vector<Section> m_sections;
};

// The CodeView record of an image held in memory.
CodeViewResult readCodeViewRecord(const uint8_t *data, size_t size, CodeViewRecord &record);

} // namespace TQ::PLATFORM::PE
