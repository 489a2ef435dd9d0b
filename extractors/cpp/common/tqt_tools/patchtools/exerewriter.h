// In-place patching of a 32-bit PE image through one read/write mapping of the whole file.
#pragma once

#include <QString>

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

enum PatchResult {
    PatchedFramed = 0,   // hook call followed by push ebp; mov ebp, esp
    PatchedUnframed = 1, // hook call followed by anything else
    AlreadyNops = 2,     // four NOPs: cleaned by an earlier run
    NotPatchable = 3,    // nothing written
};

// Five-byte instructions travel as bits 0-39 of a 64-bit number, the first byte lowest.
class IExeRewriter
{
public:
    virtual void writeBytes(quint32 rva, quint64 bytes) = 0;
    virtual PatchResult patchHookCall(quint32 rva, quint64 &oldBytes, quint64 newBytes,
                                      quint32 hookRva) = 0;
    virtual void open() = 0;
    virtual void close() = 0;
    virtual ~IExeRewriter() = default;
};

IExeRewriter *createExeRewriter(QString path);

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
