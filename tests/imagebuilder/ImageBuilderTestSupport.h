// Just enough PE and map-file reading to check the test images the builder makes. Every read
// is checked against the file's bounds: a broken image must fail a test, not crash it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ImageBuilderTest {

std::vector<uint8_t> readFile(const std::string &path);

struct PeSection
{
    uint32_t virtualSize = 0;
    uint32_t virtualAddress = 0;
    uint32_t rawSize = 0;
    uint32_t rawPointer = 0;
};

struct CodeViewRecord
{
    std::string guid; // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case
    uint32_t age = 0;
    std::string pdbPath;
};

class PeImage
{
public:
    // Empty optional when the file is no well-formed 32-bit PE image.
    static std::optional<PeImage> load(const std::string &path);

    uint32_t imageBase() const { return m_imageBase; }
    bool isDll() const { return (m_characteristics & 0x2000) != 0; }
    const std::vector<PeSection> &sections() const { return m_sections; }

    // The n bytes at rva, when they all lie in one section's raw data.
    std::optional<std::vector<uint8_t>> bytesAt(uint32_t rva, uint32_t n) const;
    std::optional<CodeViewRecord> codeView() const;

private:
    std::optional<uint32_t> u32(uint64_t offset) const;
    std::optional<uint16_t> u16(uint64_t offset) const;
    std::optional<uint64_t> fileOffset(uint32_t rva, uint32_t n) const;

    std::vector<uint8_t> m_data;
    uint32_t m_imageBase = 0;
    uint16_t m_characteristics = 0;
    uint32_t m_debugRva = 0;
    uint32_t m_debugSize = 0;
    std::vector<PeSection> m_sections;
};

struct MapSymbol
{
    std::string line;
    size_t lineIndex = 0;
    std::string name;
    uint32_t section = 0;
    uint32_t offset = 0;
    uint32_t address = 0;
    bool function = false;
    std::string object;
};

struct MapFile
{
    std::vector<std::string> lines; // without line ends
    bool crlfOnly = false;          // every line end is CR LF, the last line included
    std::optional<uint32_t> imageBase;
    size_t imageBaseLine = 0;
    std::vector<MapSymbol> symbols; // lines of the two symbol lists, in map order
    std::vector<std::string> layoutErrors;

    static MapFile load(const std::string &path);
    std::vector<const MapSymbol *> named(const std::string &name) const;
};

// Runs a shell command line; returns its exit status and standard output.
int runCommand(const std::string &commandLine, std::string *output);
std::string shellQuote(const std::string &s);

} // namespace ImageBuilderTest
