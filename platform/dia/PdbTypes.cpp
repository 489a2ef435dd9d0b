// Type records: canonical indexes, what each type answers, and the members of classes.
#include "PdbIndexImpl.h"

#include <llvm/DebugInfo/CodeView/CVTypeVisitor.h>
#include <llvm/DebugInfo/CodeView/TypeDeserializer.h>
#include <llvm/DebugInfo/CodeView/TypeRecord.h>
#include <llvm/DebugInfo/CodeView/TypeVisitorCallbacks.h>
#include <llvm/DebugInfo/PDB/Native/RawConstants.h>
#include <llvm/DebugInfo/PDB/Native/RawTypes.h>
#include <llvm/Support/BinaryStreamReader.h>

#include <algorithm>

using namespace llvm;
using namespace llvm::codeview;
using namespace llvm::pdb;

namespace TQ {
namespace PLATFORM {
namespace PDB {

bool TypeRecords::open(PDBFile &file, uint32_t streamIndex)
{
    m_stream.reset();
    auto stream = file.safelyCreateIndexedStream(streamIndex);
    if (consumed(stream))
        return false;
    BinaryStreamReader reader(**stream);
    const TpiStreamHeader *header = nullptr;
    if (failed(reader.readObject(header)) || header->Version != PdbTpiV80 ||
        header->HeaderSize < sizeof(TpiStreamHeader) || header->HeaderSize > reader.getLength())
        return false;
    reader.setOffset(header->HeaderSize);
    if (failed(reader.readArray(m_array, header->TypeRecordBytes)))
        return false;
    m_begin = header->TypeIndexBegin;
    m_stream = std::move(*stream);
    return true;
}

const std::vector<CVType> &TypeRecords::all()
{
    if (!m_read && m_stream) {
        m_read = true;
        bool hadError = false;
        for (auto it = m_array.begin(&hadError), end = m_array.end(); it != end; ++it)
            m_records.push_back(*it);
    }
    return m_records;
}

Optional<CVType> TypeRecords::at(TypeIndex ti)
{
    if (ti.isSimple())
        return None;
    const std::vector<CVType> &records = all();
    if (ti.getIndex() < m_begin || ti.getIndex() - m_begin >= records.size())
        return None;
    return records[ti.getIndex() - m_begin];
}

namespace {

constexpr int kMaxTypeDepth = 64;

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

} // namespace

void PdbIndex::indexDefinitions()
{
    if (m_definitionsIndexed)
        return;
    m_definitionsIndexed = true;
    TypeRecords &types = m_impl->types;
    const std::vector<CVType> &records = types.all();
    for (size_t i = 0; i < records.size(); ++i) {
        CVType cvt = records[i];
        const uint32_t current = types.begin() + uint32_t(i);
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
