// The program database of one image, indexed for the lookups that the debug-information data
// source answers: functions by RVA and by name, publics by name, line records by RVA range, and
// its type records (PdbTypes). LLVM reads the container, the info and the DBI stream; the
// publics, the module streams and the type records are read here (PdbPublics, PdbModules,
// TypeRecords), where LLVM 14 refuses what Microsoft's linker writes or trusts what a damaged
// file says.
#pragma once

#include "PdbTypes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace TQ::PLATFORM::PDB {

enum class LoadResult {
    Ok,
    NoImage,     // the image cannot be read
    NotPe,       // not a PE image
    NoDebugInfo, // no debug directory or no CodeView record
    NoPdb,       // neither the recorded path nor the image's folder holds a PDB
    Mismatch,    // a PDB found belongs to another build (GUID or age), none to this one
    Corrupt,     // a PDB found cannot be parsed, none belongs to this build
};

// What load found on its way, for telling the user why it failed.
struct LoadReport
{
    uint8_t guid[16] = {}; // the build the image names (once its CodeView record was read)
    uint32_t age = 0;
    struct Candidate
    {
        std::string path;
        LoadResult result = LoadResult::NoPdb; // NoPdb: no file there
        uint8_t guid[16] = {};                 // Mismatch: the build the file belongs to
        uint32_t age = 0;
    };
    std::vector<Candidate> candidates; // every place looked at, in order
};

class PdbIndex
{
public:
    struct Function
    {
        uint32_t rva;
        uint32_t length;
        uint32_t nameOffset;
        uint32_t nameLength;
        uint32_t type; // type index of the function type
    };
    struct Public
    {
        uint32_t rva;
        uint32_t nameOffset;
        uint32_t nameLength;
        bool hasRva;
    };
    struct Line
    {
        uint32_t rva;
        uint32_t length;
        uint32_t line;
        uint32_t file;
    };

    ~PdbIndex();
    PdbIndex(const PdbIndex &) = delete;
    PdbIndex &operator=(const PdbIndex &) = delete;

    // Finds the image's PDB where the linker recorded it or beside the image, the first that
    // belongs to the image's build, and parses its main streams. Never throws. The report, when
    // given, says where it looked and what it found there.
    static LoadResult load(const std::string &imagePath, std::unique_ptr<PdbIndex> &index,
                           LoadReport *report = nullptr);
    // Where load looks for the PDB, in order.
    static std::vector<std::string> pdbCandidates(const std::string &imagePath,
                                                  const std::string &recordedPath);

    // Checks once that the streams every lookup needs are readable; later calls report the
    // first result. The public, function and line indexes are each built on first use: looking
    // up the hook needs the publics alone, source lookups the lines alone, and reading every
    // symbol of a large program database costs more than the rest of either run.
    bool build();

    const std::vector<Function> &functions() const
    {
        ensureFunctions();
        return m_functions;
    }
    const std::vector<Public> &publics() const
    {
        ensurePublics();
        return m_publics;
    }
    // Builds the line index now rather than at the first lookup that needs it.
    void buildLineIndex() const { ensureLines(); }
    const std::vector<Line> &lines() const
    {
        ensureLines();
        return m_lines;
    }
    const std::string &fileName(uint32_t file) const
    {
        ensureLines();
        return m_files[file];
    }
    std::string_view name(const Function &f) const
    {
        return std::string_view(m_functionNames.data() + f.nameOffset, f.nameLength);
    }
    std::string_view name(const Public &p) const
    {
        return std::string_view(m_names.data() + p.nameOffset, p.nameLength);
    }

    // Index of the function whose [rva, rva + length) holds rva, or -1.
    long functionAt(uint32_t rva) const;
    // Range [first, last) of the line records that overlap [rva, rva + length).
    std::pair<size_t, size_t> linesIn(uint32_t rva, uint32_t length) const;

    PdbTypes &types();

private:
    PdbIndex();
    struct Impl;
    struct ModuleStream;

    static LoadResult open(const std::string &pdbPath, const uint8_t (&guid)[16], uint32_t age,
                           std::unique_ptr<PdbIndex> &index, LoadReport::Candidate &found);
    // Builds one index with index() unless done says it was built.
    void ensureIndexed(bool PdbIndex::*done, void (PdbIndex::*index)()) const;
    void ensurePublics() const
    {
        ensureIndexed(&PdbIndex::m_publicsIndexed, &PdbIndex::indexPublics);
    }
    void ensureFunctions() const
    {
        ensureIndexed(&PdbIndex::m_functionsIndexed, &PdbIndex::indexFunctions);
    }
    void ensureLines() const { ensureIndexed(&PdbIndex::m_linesIndexed, &PdbIndex::indexLines); }
    template <typename Visit> void forEachModule(Visit visit);
    void indexFunctions();
    void indexLines();
    void indexPublics();
    static uint32_t addName(std::vector<char> &names, std::string_view name);

    std::unique_ptr<Impl> m_impl;
    int m_built = 0;                   // 0 not yet, 1 ok, -1 failed
    std::vector<char> m_names;         // public names
    std::vector<char> m_functionNames; // kept apart, so that indexing late moves no public name
    bool m_publicsIndexed = false;
    bool m_functionsIndexed = false;
    bool m_linesIndexed = false;
    std::vector<Function> m_functions;
    std::vector<Public> m_publics;
    std::vector<Line> m_lines;
    mutable size_t m_lineHint = 0; // where the last line lookup ended
    std::vector<std::string> m_files;
};

} // namespace TQ::PLATFORM::PDB
