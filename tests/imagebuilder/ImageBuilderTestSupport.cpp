#include "ImageBuilderTestSupport.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sys/wait.h>

namespace ImageBuilderTest {

std::vector<uint8_t> readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::optional<uint32_t> PeImage::u32(uint64_t offset) const
{
    if (offset > m_data.size() || m_data.size() - offset < 4)
        return std::nullopt;
    const uint8_t *p = m_data.data() + offset;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::optional<uint16_t> PeImage::u16(uint64_t offset) const
{
    if (offset > m_data.size() || m_data.size() - offset < 2)
        return std::nullopt;
    const uint8_t *p = m_data.data() + offset;
    return uint16_t(p[0] | p[1] << 8);
}

std::optional<PeImage> PeImage::load(const std::string &path)
{
    PeImage pe;
    pe.m_data = readFile(path);
    if (pe.u16(0) != uint16_t(0x5A4D))
        return std::nullopt;
    const auto lfanew = pe.u32(0x3C);
    if (!lfanew || pe.u32(*lfanew) != uint32_t(0x00004550))
        return std::nullopt;
    const uint64_t fileHeader = uint64_t(*lfanew) + 4;
    const auto machine = pe.u16(fileHeader);
    const auto sectionCount = pe.u16(fileHeader + 2);
    const auto optionalSize = pe.u16(fileHeader + 16);
    const auto characteristics = pe.u16(fileHeader + 18);
    const uint64_t optional = fileHeader + 20;
    if (machine != uint16_t(0x14C) || !sectionCount || !optionalSize || !characteristics ||
        pe.u16(optional) != uint16_t(0x10B))
        return std::nullopt;
    const auto imageBase = pe.u32(optional + 28);
    const auto directoryCount = pe.u32(optional + 92);
    if (!imageBase || !directoryCount)
        return std::nullopt;
    pe.m_imageBase = *imageBase;
    pe.m_characteristics = *characteristics;
    if (*directoryCount > 6 && 96u + 8u * 7u <= *optionalSize) {
        pe.m_debugRva = pe.u32(optional + 96 + 6 * 8).value_or(0);
        pe.m_debugSize = pe.u32(optional + 96 + 6 * 8 + 4).value_or(0);
    }
    const uint64_t table = optional + *optionalSize;
    for (uint32_t i = 0; i < *sectionCount; ++i) {
        const uint64_t h = table + 40ull * i;
        const auto vsize = pe.u32(h + 8), va = pe.u32(h + 12);
        const auto rsize = pe.u32(h + 16), rptr = pe.u32(h + 20);
        if (!vsize || !va || !rsize || !rptr)
            return std::nullopt;
        pe.m_sections.push_back({*vsize, *va, *rsize, *rptr});
    }
    return pe;
}

std::optional<uint64_t> PeImage::fileOffset(uint32_t rva, uint32_t n) const
{
    for (const PeSection &s : m_sections) {
        const uint64_t inSection = uint64_t(rva) - s.virtualAddress;
        if (rva < s.virtualAddress || inSection >= s.virtualSize)
            continue;
        if (inSection + n > s.rawSize)
            return std::nullopt;
        const uint64_t off = uint64_t(s.rawPointer) + inSection;
        if (off + n > m_data.size())
            return std::nullopt;
        return off;
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> PeImage::bytesAt(uint32_t rva, uint32_t n) const
{
    const auto off = fileOffset(rva, n);
    if (!off)
        return std::nullopt;
    return std::vector<uint8_t>(m_data.begin() + *off, m_data.begin() + *off + n);
}

std::optional<CodeViewRecord> PeImage::codeView() const
{
    for (uint32_t at = 0; at + 28 <= m_debugSize; at += 28) {
        const auto entry = fileOffset(m_debugRva + at, 28);
        if (!entry)
            return std::nullopt;
        const auto type = u32(*entry + 12), size = u32(*entry + 16), ptr = u32(*entry + 24);
        if (!type || !size || !ptr || *type != 2)
            continue;
        if (*size < 24 || uint64_t(*ptr) + *size > m_data.size() || u32(*ptr) != 0x53445352u)
            return std::nullopt;
        const uint8_t *g = m_data.data() + *ptr + 4;
        char text[40];
        std::snprintf(text, sizeof text,
                      "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                      g[3], g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11],
                      g[12], g[13], g[14], g[15]);
        CodeViewRecord cv;
        cv.guid = text;
        cv.age = u32(*ptr + 20).value_or(0);
        const char *path = reinterpret_cast<const char *>(m_data.data()) + *ptr + 24;
        const size_t room = *size - 24;
        size_t len = 0;
        while (len < room && path[len] != '\0')
            ++len;
        cv.pdbPath.assign(path, len);
        return cv;
    }
    return std::nullopt;
}

namespace {

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::optional<uint32_t> hexField(const std::string &line, size_t at, size_t width)
{
    if (at > line.size() || line.size() - at < width)
        return std::nullopt;
    for (size_t i = at; i < at + width; ++i)
        if (!isHex(line[i]))
            return std::nullopt;
    return uint32_t(std::stoul(line.substr(at, width), nullptr, 16));
}

bool endsWith(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A symbol line begins " ssss:oooooooo" and holds the name at column 21.
std::optional<MapSymbol> parseSymbolLine(const std::string &line, std::string *error)
{
    if (line.size() < 14 || line[0] != ' ' || line[5] != ':')
        return std::nullopt;
    const auto section = hexField(line, 1, 4), offset = hexField(line, 6, 8);
    if (!section || !offset)
        return std::nullopt;
    MapSymbol s;
    s.line = line;
    s.section = *section;
    s.offset = *offset;
    if (line.size() < 22 || line.find_first_not_of(' ', 14) != 21) {
        *error = "name not at column 21: " + line;
        return std::nullopt;
    }
    const size_t e = line.find(' ', 21);
    if (e == std::string::npos) {
        *error = "no blank after the name: " + line;
        return std::nullopt;
    }
    s.name = line.substr(21, e - 21);
    const size_t p = std::max<size_t>(48, e + 1);
    if (line.find_first_not_of(' ', e) != p) {
        *error = "name not padded to the address column: " + line;
        return std::nullopt;
    }
    const auto address = hexField(line, p, 8);
    if (!address || line.size() < p + 12 || line[p + 8] != ' ' || line[p + 10] != ' ' ||
        (line[p + 9] != 'f' && line[p + 9] != ' ')) {
        *error = "no 8-digit address and flag field: " + line;
        return std::nullopt;
    }
    s.address = *address;
    s.function = line[p + 9] == 'f';
    const size_t objectAt = line.find_first_not_of(' ', p + 10);
    if (objectAt == std::string::npos) {
        *error = "no object: " + line;
        return std::nullopt;
    }
    s.object = line.substr(objectAt);
    if (s.function && !endsWith(s.object, ".obj"))
        *error = "function line does not end with .obj: " + line;
    return s;
}

} // namespace

MapFile MapFile::load(const std::string &path)
{
    MapFile map;
    const std::vector<uint8_t> data = readFile(path);
    const std::string text(data.begin(), data.end());
    map.crlfOnly = !text.empty();
    size_t start = 0;
    while (start < text.size()) {
        const size_t lf = text.find('\n', start);
        if (lf == std::string::npos) {
            map.crlfOnly = false; // a last line without a line end
            map.lines.push_back(text.substr(start));
            break;
        }
        if (lf == start || text[lf - 1] != '\r') {
            map.crlfOnly = false;
            map.lines.push_back(text.substr(start, lf - start));
        } else {
            map.lines.push_back(text.substr(start, lf - 1 - start));
        }
        if (map.lines.back().find('\r') != std::string::npos)
            map.crlfOnly = false;
        start = lf + 1;
    }
    bool inSymbolList = false;
    for (size_t i = 0; i < map.lines.size(); ++i) {
        const std::string &line = map.lines[i];
        if (line.find("Publics by Value") != std::string::npos || line == " Static symbols") {
            inSymbolList = true;
            continue;
        }
        if (line.rfind(" entry point at", 0) == 0)
            inSymbolList = false;
        if (!map.imageBase && line.find("___ImageBase") != std::string::npos) {
            map.imageBase = hexField(line, 48, 8);
            map.imageBaseLine = i;
        }
        if (!inSymbolList || line.empty())
            continue;
        std::string error;
        if (auto symbol = parseSymbolLine(line, &error)) {
            symbol->lineIndex = i;
            map.symbols.push_back(*symbol);
        } else if (error.empty())
            error = "not a symbol line: " + line;
        if (!error.empty())
            map.layoutErrors.push_back(error);
    }
    return map;
}

std::vector<const MapSymbol *> MapFile::named(const std::string &name) const
{
    std::vector<const MapSymbol *> found;
    for (const MapSymbol &s : symbols)
        if (s.name == name)
            found.push_back(&s);
    return found;
}

int runCommand(const std::string &commandLine, std::string *output)
{
    FILE *pipe = popen((commandLine + " 2>&1").c_str(), "r");
    if (!pipe)
        return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        if (output)
            output->append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shellQuote(const std::string &s)
{
    std::string quoted = "'";
    for (char c : s) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

} // namespace ImageBuilderTest
