// Read/write file mapping for in-place patching, with the calling conventions of the Win32
// file-mapping calls: a failed open answers invalidHandleValue(), a failed mapping or view null.
#pragma once

#include <cstdint>

namespace TQ {
namespace PLATFORM {
namespace FILEMAP {

typedef void *Handle;

// All bits set, as INVALID_HANDLE_VALUE.
inline Handle invalidHandleValue()
{
    return reinterpret_cast<Handle>(~std::uintptr_t(0));
}

// Opens an existing file read/write and shares it for reading only: the whole file is locked
// against other writers (a non-blocking open-file-description lock), so a second patcher, or a
// file that cannot be opened read/write, fails here and may be retried.
Handle createFileForPatching(const char16_t *path);

// A read/write mapping object over the whole file; null for an empty file, as on Windows.
Handle createFileMapping(Handle file);

// Maps the whole file shared and writable; null on failure. Writes reach the file.
unsigned char *mapViewOfFile(Handle mapping);

// The size in bytes of the file behind a mapping object; 0 for a null or foreign handle.
std::uint64_t mappingSize(Handle mapping);

bool unmapViewOfFile(unsigned char *view);

// Closes a file or a mapping handle; false for null, invalidHandleValue() or an unknown handle.
bool closeHandle(Handle handle);

void sleepMs(unsigned milliseconds);

// Lets tests replace single calls (to make a mapping fail, count calls, ...). Members left null
// keep the real call. Passing null restores the real calls. Not thread-safe.
struct FileMapCalls
{
    Handle (*createFileForPatching)(const char16_t *path) = nullptr;
    Handle (*createFileMapping)(Handle file) = nullptr;
    unsigned char *(*mapViewOfFile)(Handle mapping) = nullptr;
    bool (*unmapViewOfFile)(unsigned char *view) = nullptr;
    bool (*closeHandle)(Handle handle) = nullptr;
};
void setFileMapCalls(const FileMapCalls *calls);

// The real calls, for replacements that wrap them.
namespace REAL {
Handle createFileForPatching(const char16_t *path);
Handle createFileMapping(Handle file);
unsigned char *mapViewOfFile(Handle mapping);
bool unmapViewOfFile(unsigned char *view);
bool closeHandle(Handle handle);
} // namespace REAL

} // namespace FILEMAP
} // namespace PLATFORM
} // namespace TQ
