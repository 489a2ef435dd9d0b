// The program database of one image, indexed for the lookups that the debug-information data
// source answers: functions and publics by RVA and by name, line records by RVA range, and type
// records by type index. LLVM reads the container, the info and the DBI stream; the publics, the
// module streams and the type records are read here (PdbPublics, PdbModules, PdbTypes), where
// LLVM 14 refuses what Microsoft's linker writes or trusts what a damaged file says.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace TQ {
namespace PLATFORM {
namespace PDB {

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

// What a type record answers; each "has" says whether the property applies.
struct TypeInfo
{
    uint32_t tag = 0;
    std::string name;
    bool hasName = false;
    uint64_t length = 0;
    bool hasLength = false;
    uint32_t type = 0; // pointee, element, return or underlying type (canonical index)
    bool hasType = false;
    uint32_t count = 0;
    bool hasCount = false;
    uint32_t callingConvention = 0;
    bool hasCallingConvention = false;
    uint32_t classParent = 0; // canonical index of the class of a member function type
    bool hasClassParent = false;
    int32_t thisAdjust = 0;
    bool hasThisAdjust = false;
    bool isForwardReference = false; // a class whose definition is not in this PDB
};

// One member of a class's field list as DIA shows it: a function, a datum, a base class, a
// nested type or the vtable pointer.
struct ClassChild
{
    enum Kind : uint8_t { Method, Data, BaseClass, NestedType, VTable };
    Kind kind = Data;
    bool isStatic = false;      // Data: static member; Method: static member function
    bool isVirtualBase = false; // BaseClass
    uint32_t parent = 0;        // canonical type index of the class
    uint32_t type = 0;          // canonical type index of the member's type
    int64_t offset = 0;         // Data (instance) and non-virtual BaseClass
    int64_t vbptrOffset = 0;    // virtual BaseClass
    std::string name;
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
        bool isFunction;
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
    // Index of the public with the greatest RVA not above rva, or -1.
    long publicAt(uint32_t rva) const;
    // Range [first, last) of the line records that overlap [rva, rva + length).
    std::pair<size_t, size_t> linesIn(uint32_t rva, uint32_t length) const;

    // Types. Canonical indexes see through modifiers and forward references, so a class has
    // one index however it is reached. Indexes that name no record give tag 0 / false.
    uint32_t canonicalType(uint32_t typeIndex);
    const TypeInfo &typeInfo(uint32_t canonicalIndex);
    // The children of a class (canonical index), read once: range into classChild().
    std::pair<size_t, size_t> classChildren(uint32_t canonicalIndex);
    const ClassChild &classChild(size_t i) const { return m_children[i]; }
    size_t childCount() const { return m_children.size(); }
    // Canonical indexes of all class, union and enum definitions, in type order.
    const std::vector<uint32_t> &userTypes();

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
    void indexDefinitions();
    static uint32_t addName(std::vector<char> &names, std::string_view name);
    uint32_t typeLength(uint32_t typeIndex);
    TypeInfo readTypeInfo(uint32_t canonicalIndex);

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
    std::unordered_map<uint32_t, TypeInfo> m_typeInfos;
    std::unordered_map<uint32_t, std::pair<size_t, size_t>> m_childRanges;
    std::vector<ClassChild> m_children;
    bool m_definitionsIndexed = false;
    std::unordered_map<std::string, uint32_t> m_definitionsByUniqueName;
    std::unordered_map<std::string, uint32_t> m_definitionsByName;
    std::vector<uint32_t> m_userTypes;
};

} // namespace PDB
} // namespace PLATFORM
} // namespace TQ
