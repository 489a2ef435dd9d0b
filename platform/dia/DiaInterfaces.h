// The debug-interface-access interfaces that the debug-information reader calls, with the
// constants it uses. Results follow DIA: S_OK with a value, S_FALSE when a property does not
// apply to the symbol or an enumeration has nothing left, a negative HRESULT on failure.
#pragma once

#include "ComCore.h"

enum SymTagEnum : DWORD {
    SymTagNull = 0,
    SymTagExe = 1,
    SymTagCompiland = 2,
    SymTagCompilandDetails = 3,
    SymTagCompilandEnv = 4,
    SymTagFunction = 5,
    SymTagBlock = 6,
    SymTagData = 7,
    SymTagAnnotation = 8,
    SymTagLabel = 9,
    SymTagPublicSymbol = 10,
    SymTagUDT = 11,
    SymTagEnum_ = 12,
    SymTagFunctionType = 13,
    SymTagPointerType = 14,
    SymTagArrayType = 15,
    SymTagBaseType = 16,
    SymTagTypedef = 17,
    SymTagBaseClass = 18,
    SymTagFriend = 19,
    SymTagFunctionArgType = 20,
    SymTagFuncDebugStart = 21,
    SymTagFuncDebugEnd = 22,
    SymTagUsingNamespace = 23,
    SymTagVTableShape = 24,
    SymTagVTable = 25,
    SymTagCustom = 26,
    SymTagThunk = 27,
    SymTagCustomType = 28,
    SymTagManagedType = 29,
    SymTagDimension = 30,
};

// The name searches the reader makes: every name, or a case-sensitive pattern.
enum NameSearchOptions : DWORD {
    nsNone = 0,
    nsfCaseSensitive = 0x1,
    nsfRegularExpression = 0x8,
    nsRegularExpression = nsfRegularExpression | nsfCaseSensitive,
};

enum DataKind : DWORD {
    DataIsUnknown = 0,
    DataIsLocal = 1,
    DataIsStaticLocal = 2,
    DataIsParam = 3,
    DataIsObjectPtr = 4,
    DataIsFileStatic = 5,
    DataIsGlobal = 6,
    DataIsMember = 7,
    DataIsStaticMember = 8,
    DataIsConstant = 9,
};

enum CV_call_e : DWORD {
    CV_CALL_NEAR_C = 0x00,
    CV_CALL_NEAR_FAST = 0x04,
    CV_CALL_NEAR_STD = 0x07,
    CV_CALL_THISCALL = 0x0b,
    CV_CALL_NEAR_VECTOR = 0x18,
};

extern const CLSID CLSID_DiaSource;
extern const IID IID_IDiaDataSource;

// Why loadDataForExe failed, as DIA says it (facility 0x6D, the program database's error codes).
constexpr HRESULT E_PDB_NOT_FOUND = static_cast<HRESULT>(0x806D0004u);
constexpr HRESULT E_PDB_INVALID_SIG = static_cast<HRESULT>(0x806D0005u);
constexpr HRESULT E_PDB_INVALID_AGE = static_cast<HRESULT>(0x806D0006u);
constexpr HRESULT E_PDB_FORMAT = static_cast<HRESULT>(0x806D000Bu);
constexpr HRESULT E_PDB_INVALID_EXECUTABLE = static_cast<HRESULT>(0x806D0011u);
constexpr HRESULT E_PDB_NO_DEBUG_INFO = static_cast<HRESULT>(0x806D0013u);
// An image that is not there, or not a file that can be read (HRESULT_FROM_WIN32).
constexpr HRESULT E_FILE_NOT_FOUND = static_cast<HRESULT>(0x80070002u);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);

// The callback that loadDataForExe takes: DIA asks it for this interface and tells it each
// program database it tries, with the outcome (S_OK or one of the E_PDB_* above).
struct IDiaLoadCallback : IUnknown
{
    virtual HRESULT NotifyDebugDir(BOOL executable, DWORD size, const void *data) = 0;
    virtual HRESULT NotifyOpenDBG(LPCOLESTR path, HRESULT result) = 0;
    virtual HRESULT NotifyOpenPDB(LPCOLESTR path, HRESULT result) = 0;
    virtual HRESULT RestrictRegistryAccess() = 0;
    virtual HRESULT RestrictSymbolServerAccess() = 0;

protected:
    ~IDiaLoadCallback() = default;
};

inline const IID IID_IDiaLoadCallback = {
    0xC32ADB82, 0x73F4, 0x421B, {0x95, 0xD5, 0xA4, 0x70, 0x6E, 0xDF, 0x5D, 0xBE}};

// Not one of DIA's interfaces: a load callback that offers it also learns, for a program
// database of another build, which build the image names and which the file holds (DIA leaves
// a caller to open that file again to find out). Microsoft's DIA never asks for it.
struct IPdbSignatureCallback : IUnknown
{
    virtual HRESULT NotifyPdbSignature(LPCOLESTR path, const GUID &expected, DWORD expectedAge,
                                       const GUID &found, DWORD foundAge) = 0;

protected:
    ~IPdbSignatureCallback() = default;
};

inline const IID IID_IPdbSignatureCallback = {
    0x3E9B5D27, 0x1C4A, 0x4B8E, {0xA6, 0x02, 0x7F, 0x58, 0xD1, 0x94, 0x2C, 0x3B}};

struct IDiaSymbol;
struct IDiaSession;

struct IDiaSourceFile : IUnknown
{
    virtual HRESULT get_fileName(BSTR *name) = 0;

protected:
    ~IDiaSourceFile() = default;
};

struct IDiaLineNumber : IUnknown
{
    virtual HRESULT get_lineNumber(DWORD *line) = 0;
    virtual HRESULT get_sourceFile(IDiaSourceFile **file) = 0;

protected:
    ~IDiaLineNumber() = default;
};

struct IDiaEnumLineNumbers : IUnknown
{
    virtual HRESULT Next(ULONG count, IDiaLineNumber **items, ULONG *fetched) = 0;

protected:
    ~IDiaEnumLineNumbers() = default;
};

struct IDiaEnumSymbols : IUnknown
{
    virtual HRESULT Next(ULONG count, IDiaSymbol **items, ULONG *fetched) = 0;

protected:
    ~IDiaEnumSymbols() = default;
};

struct IDiaSymbol : IUnknown
{
    virtual HRESULT get_symIndexId(DWORD *id) = 0;
    virtual HRESULT get_symTag(DWORD *tag) = 0;
    virtual HRESULT get_name(BSTR *name) = 0;
    virtual HRESULT get_undecoratedName(BSTR *name) = 0;
    virtual HRESULT get_relativeVirtualAddress(DWORD *rva) = 0;
    virtual HRESULT get_length(ULONGLONG *length) = 0;
    virtual HRESULT get_type(IDiaSymbol **type) = 0;
    virtual HRESULT get_typeId(DWORD *id) = 0;
    virtual HRESULT get_callingConvention(DWORD *convention) = 0;
    virtual HRESULT get_classParentId(DWORD *id) = 0;
    virtual HRESULT get_thisAdjust(LONG *adjust) = 0;
    virtual HRESULT get_dataKind(DWORD *kind) = 0;
    virtual HRESULT get_offset(LONG *offset) = 0;
    virtual HRESULT get_count(DWORD *count) = 0;
    virtual HRESULT get_virtualBaseClass(BOOL *isVirtual) = 0;
    virtual HRESULT get_virtualBasePointerOffset(LONG *offset) = 0;
    virtual HRESULT findChildren(SymTagEnum tag, LPCOLESTR name, DWORD compareFlags,
                                 IDiaEnumSymbols **children) = 0;

protected:
    ~IDiaSymbol() = default;
};

struct IDiaSession : IUnknown
{
    virtual HRESULT put_loadAddress(ULONGLONG address) = 0;
    virtual HRESULT get_globalScope(IDiaSymbol **scope) = 0;
    virtual HRESULT findSymbolByRVA(DWORD rva, SymTagEnum tag, IDiaSymbol **symbol) = 0;
    virtual HRESULT findLinesByRVA(DWORD rva, DWORD length, IDiaEnumLineNumbers **lines) = 0;
    virtual HRESULT symbolById(DWORD id, IDiaSymbol **symbol) = 0;

protected:
    ~IDiaSession() = default;
};

struct IDiaDataSource : IUnknown
{
    virtual HRESULT loadDataForExe(LPCOLESTR executable, LPCOLESTR searchPath,
                                   IUnknown *callback) = 0;
    virtual HRESULT openSession(IDiaSession **session) = 0;

protected:
    ~IDiaDataSource() = default;
};

// Not one of DIA's interfaces: a step that this data source's sessions offer beyond DIA. The
// line index is otherwise built by the first line lookup; a caller that knows lookups will
// follow can have it built ahead, on another thread, and ask for it with QueryInterface. A
// session that does not offer it (Microsoft's) answers E_NOINTERFACE, and lookups work as
// before.
struct ILineIndex : IUnknown
{
    virtual HRESULT buildLineIndex() = 0;

protected:
    ~ILineIndex() = default;
};

inline const IID IID_ILineIndex = {
    0x6A1C4E2B, 0x58D3, 0x4F0A, {0x9B, 0x61, 0x2E, 0x7D, 0x40, 0xC3, 0x15, 0x8F}};

template <> struct InterfaceId<IDiaDataSource>
{
    static constexpr const IID *value = &IID_IDiaDataSource;
};
template <> struct InterfaceId<ILineIndex>
{
    static constexpr const IID *value = &IID_ILineIndex;
};
template <> struct InterfaceId<IDiaLoadCallback>
{
    static constexpr const IID *value = &IID_IDiaLoadCallback;
};
template <> struct InterfaceId<IPdbSignatureCallback>
{
    static constexpr const IID *value = &IID_IPdbSignatureCallback;
};
