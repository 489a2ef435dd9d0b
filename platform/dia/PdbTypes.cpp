// Type records: canonical indexes, what each type answers, and the members of classes.
#include "PdbTypes.h"
#include "LlvmError.h"
#include "TypeRecords.h"

#include <llvm/DebugInfo/CodeView/CVTypeVisitor.h>
#include <llvm/DebugInfo/CodeView/TypeDeserializer.h>
#include <llvm/DebugInfo/CodeView/TypeRecord.h>
#include <llvm/DebugInfo/CodeView/TypeVisitorCallbacks.h>

#include <algorithm>

using namespace llvm;
using namespace llvm::codeview;

namespace TQ::PLATFORM::PDB {

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
    Error visitKnownMember(CVMemberRecord &, ListContinuationRecord &r) override
    {
        continuation = r.getContinuationIndex();
        return Error::success();
    }

    void addMethod(const OneMethodRecord &r, StringRef name)
    {
        m_out.push_back(make(ClassChild::Method, r.getType().getIndex(), name.str()));
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

template <typename Record> bool deserialize(CVType &cvt, Record &record)
{
    return !failed(TypeDeserializer::deserializeAs(cvt, record));
}

uint32_t lengthOf(PdbTypes &types, uint32_t typeIndex)
{
    const TypeInfo &info = types.typeInfo(types.canonicalType(typeIndex));
    return info.hasLength ? uint32_t(info.length) : 0;
}

TypeInfo simpleTypeInfo(TypeIndex ti)
{
    TypeInfo info;
    if (ti.getSimpleMode() != SimpleTypeMode::Direct) {
        info.tag = SymTagPointerType;
        info.length = simplePointerSize(ti.getSimpleMode());
        info.hasLength = true;
        info.type = ti.makeDirect().getIndex();
        info.hasType = true;
    } else if (ti.getSimpleKind() != SimpleTypeKind::None) {
        info.tag = SymTagBaseType;
        info.name = TypeIndex::simpleTypeName(ti).str();
        info.hasName = true;
        info.length = simpleKindSize(ti.getSimpleKind());
        info.hasLength = true;
    }
    return info;
}

TypeInfo tagTypeInfo(PdbTypes &types, CVType &cvt)
{
    TypeInfo info;
    TagSummary tag;
    if (!readTag(cvt, tag))
        return info;
    info.name = tag.name;
    info.hasName = true;
    info.hasLength = true;
    if (cvt.kind() == LF_ENUM) {
        info.tag = SymTagEnum_;
        info.type = types.canonicalType(tag.underlying.getIndex());
        info.hasType = true;
        info.length = lengthOf(types, info.type);
    } else {
        info.tag = SymTagUDT;
        info.length = tag.size;
    }
    return info;
}

TypeInfo pointerTypeInfo(PdbTypes &types, CVType &cvt)
{
    TypeInfo info;
    PointerRecord r(TypeRecordKind::Pointer);
    if (!deserialize(cvt, r))
        return info;
    info.tag = SymTagPointerType;
    info.length = r.getSize();
    info.hasLength = true;
    info.type = types.canonicalType(r.getReferentType().getIndex());
    info.hasType = true;
    return info;
}

TypeInfo arrayTypeInfo(PdbTypes &types, CVType &cvt)
{
    TypeInfo info;
    ArrayRecord r(TypeRecordKind::Array);
    if (!deserialize(cvt, r))
        return info;
    info.tag = SymTagArrayType;
    info.length = r.getSize();
    info.hasLength = true;
    info.type = types.canonicalType(r.getElementType().getIndex());
    info.hasType = true;
    const uint32_t element = lengthOf(types, info.type);
    info.count = element ? uint32_t(r.getSize() / element) : 0;
    info.hasCount = true;
    return info;
}

// What procedures and member functions share: the return type and the calling convention.
TypeInfo functionTypeInfo(PdbTypes &types, TypeIndex returnType, CallingConvention convention)
{
    TypeInfo info;
    info.tag = SymTagFunctionType;
    info.type = types.canonicalType(returnType.getIndex());
    info.hasType = !returnType.isNoneType();
    info.callingConvention = uint32_t(convention);
    info.hasCallingConvention = true;
    return info;
}

TypeInfo procedureTypeInfo(PdbTypes &types, CVType &cvt)
{
    ProcedureRecord r(TypeRecordKind::Procedure);
    if (!deserialize(cvt, r))
        return TypeInfo();
    return functionTypeInfo(types, r.getReturnType(), r.getCallConv());
}

TypeInfo memberFunctionTypeInfo(PdbTypes &types, CVType &cvt)
{
    MemberFunctionRecord r(TypeRecordKind::MemberFunction);
    if (!deserialize(cvt, r))
        return TypeInfo();
    TypeInfo info = functionTypeInfo(types, r.getReturnType(), r.getCallConv());
    if (!r.getClassType().isNoneType()) {
        info.classParent = types.canonicalType(r.getClassType().getIndex());
        info.hasClassParent = true;
    }
    info.thisAdjust = r.getThisPointerAdjustment();
    info.hasThisAdjust = true;
    return info;
}

// Shown as the type it is carved from, as DIA does.
TypeInfo bitFieldTypeInfo(PdbTypes &types, CVType &cvt, uint32_t self)
{
    BitFieldRecord r(TypeRecordKind::BitField);
    if (!deserialize(cvt, r))
        return TypeInfo();
    const uint32_t underlying = types.canonicalType(r.getType().getIndex());
    return underlying == self ? TypeInfo() : types.typeInfo(underlying);
}

} // namespace

PdbTypes::PdbTypes(std::unique_ptr<TypeRecords> records) : m_records(std::move(records))
{
    if (!m_records)
        m_records = std::make_unique<TypeRecords>();
}

PdbTypes::~PdbTypes() = default;

void PdbTypes::indexDefinitions()
{
    if (m_definitionsIndexed)
        return;
    m_definitionsIndexed = true;
    const std::vector<CVType> &records = m_records->all();
    for (size_t i = 0; i < records.size(); ++i) {
        CVType cvt = records[i];
        const uint32_t current = m_records->begin() + uint32_t(i);
        if (!isTagKind(cvt.kind()))
            continue;
        TagSummary tag;
        if (!readTag(cvt, tag) || tag.forwardRef)
            continue;
        const char group = kindGroup(cvt.kind());
        if (tag.hasUniqueName)
            m_definitionsByUniqueName.emplace(group + tag.uniqueName, current);
        m_definitionsByName.emplace(group + tag.name, current);
    }
}

uint32_t PdbTypes::canonicalType(uint32_t typeIndex)
{
    TypeIndex ti(typeIndex);
    for (int depth = 0; depth < kMaxTypeDepth; ++depth) {
        Optional<CVType> cvt = m_records->at(ti);
        if (!cvt)
            return ti.getIndex();
        const TypeLeafKind kind = cvt->kind();
        if (kind == LF_MODIFIER) {
            ModifierRecord r(TypeRecordKind::Modifier);
            if (!deserialize(*cvt, r))
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

const TypeInfo &PdbTypes::typeInfo(uint32_t canonicalIndex)
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

TypeInfo PdbTypes::readTypeInfo(uint32_t canonicalIndex)
{
    const TypeIndex ti(canonicalIndex);
    if (ti.isSimple())
        return simpleTypeInfo(ti);
    Optional<CVType> cvt = m_records->at(ti);
    if (!cvt)
        return TypeInfo();
    switch (cvt->kind()) {
    case LF_CLASS:
    case LF_STRUCTURE:
    case LF_INTERFACE:
    case LF_UNION:
    case LF_ENUM:
        return tagTypeInfo(*this, *cvt);
    case LF_POINTER:
        return pointerTypeInfo(*this, *cvt);
    case LF_ARRAY:
        return arrayTypeInfo(*this, *cvt);
    case LF_PROCEDURE:
        return procedureTypeInfo(*this, *cvt);
    case LF_MFUNCTION:
        return memberFunctionTypeInfo(*this, *cvt);
    case LF_BITFIELD:
        return bitFieldTypeInfo(*this, *cvt, canonicalIndex);
    default:
        return TypeInfo();
    }
}

std::pair<size_t, size_t> PdbTypes::classChildren(uint32_t canonicalIndex)
{
    auto found = m_childRanges.find(canonicalIndex);
    if (found != m_childRanges.end())
        return found->second;
    const size_t first = m_children.size();
    m_childRanges[canonicalIndex] = {first, first};
    Optional<CVType> cvt = m_records->at(TypeIndex(canonicalIndex));
    TagSummary tag;
    if (!cvt || !isTagKind(cvt->kind()) || cvt->kind() == LF_ENUM || !readTag(*cvt, tag) ||
        tag.forwardRef)
        return {first, first};
    readFieldLists(canonicalIndex, tag.fieldList.getIndex());
    // Types seen through modifiers and forward references, as every other lookup sees them.
    for (size_t i = first; i < m_children.size(); ++i)
        m_children[i].type = canonicalType(m_children[i].type);
    m_childRanges[canonicalIndex] = {first, m_children.size()};
    return {first, m_children.size()};
}

// The field list and its continuations, then the methods of the overload lists it names.
void PdbTypes::readFieldLists(uint32_t canonicalIndex, uint32_t fieldList)
{
    FieldCollector collector(canonicalIndex, m_children);
    TypeIndex list(fieldList);
    std::vector<uint32_t> seen;
    while (!list.isNoneType() && !list.isSimple()) {
        if (std::find(seen.begin(), seen.end(), list.getIndex()) != seen.end())
            break; // a continuation loop in a broken file
        seen.push_back(list.getIndex());
        Optional<CVType> fields = m_records->at(list);
        FieldListRecord record(TypeRecordKind::FieldList);
        if (!fields || fields->kind() != LF_FIELDLIST || !deserialize(*fields, record))
            break;
        collector.continuation = TypeIndex();
        if (failed(visitMemberRecordStream(record.Data, collector)))
            break;
        list = collector.continuation;
    }
    for (const auto &overloads : collector.overloadLists) {
        Optional<CVType> methods = m_records->at(overloads.first);
        MethodOverloadListRecord r(TypeRecordKind::MethodOverloadList);
        if (!methods || methods->kind() != LF_METHODLIST || !deserialize(*methods, r))
            continue;
        for (const OneMethodRecord &m : r.getMethods())
            collector.addMethod(m, overloads.second);
    }
}

} // namespace TQ::PLATFORM::PDB
