// The type records of a program database as the debug-information symbols show them: what each
// type answers, and the members of classes. Canonical indexes see through modifiers and forward
// references, so that a class has one index however it is reached.
#pragma once

#include "DiaInterfaces.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace TQ::PLATFORM::PDB {

class TypeRecords;

// What a type record answers; each "has" says whether the property applies.
struct TypeInfo
{
    SymTagEnum tag = SymTagNull;
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
};

// One member of a class's field list as DIA shows it: a function, a datum or a base class.
struct ClassChild
{
    enum Kind : uint8_t { Method, Data, BaseClass };
    Kind kind = Data;
    bool isStatic = false;      // Data
    bool isVirtualBase = false; // BaseClass
    uint32_t parent = 0;        // canonical type index of the class
    uint32_t type = 0;          // canonical type index of the member's type
    int64_t offset = 0;         // Data (instance) and non-virtual BaseClass
    int64_t vbptrOffset = 0;    // virtual BaseClass
    std::string name;
};

class PdbTypes
{
public:
    // Records may be null: a database whose type stream cannot be read answers no type.
    explicit PdbTypes(std::unique_ptr<TypeRecords> records);
    ~PdbTypes();
    PdbTypes(const PdbTypes &) = delete;
    PdbTypes &operator=(const PdbTypes &) = delete;

    uint32_t canonicalType(uint32_t typeIndex);
    // Indexes that name no record give tag SymTagNull and no property.
    const TypeInfo &typeInfo(uint32_t canonicalIndex);
    // The children of a class (canonical index), read once: range into classChild().
    std::pair<size_t, size_t> classChildren(uint32_t canonicalIndex);
    const ClassChild &classChild(size_t i) const { return m_children[i]; }
    size_t childCount() const { return m_children.size(); }

private:
    void indexDefinitions();
    TypeInfo readTypeInfo(uint32_t canonicalIndex);
    void readFieldLists(uint32_t canonicalIndex, uint32_t fieldList);

    std::unique_ptr<TypeRecords> m_records;
    std::unordered_map<uint32_t, TypeInfo> m_typeInfos;
    std::unordered_map<uint32_t, std::pair<size_t, size_t>> m_childRanges;
    std::vector<ClassChild> m_children;
    bool m_definitionsIndexed = false;
    std::unordered_map<std::string, uint32_t> m_definitionsByUniqueName;
    std::unordered_map<std::string, uint32_t> m_definitionsByName;
};

} // namespace TQ::PLATFORM::PDB
