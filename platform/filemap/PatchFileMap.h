// Read/write file mapping for in-place patching, with the calling conventions of the Win32
// file-mapping calls: a failed open answers invalidHandleValue(), a failed mapping or view null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace TQ::PLATFORM::FILEMAP {

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

// Maps the whole file copy-on-write (as FILE_MAP_COPY): reads see the file, writes stay in this
// process and never reach the file. Null on failure.
unsigned char *mapViewOfFileCopy(Handle mapping);

// Writes the changed pages of a shared view to the disk and waits until they are there
// (FlushViewOfFile followed by FlushFileBuffers); false on failure.
bool flushViewOfFile(unsigned char *view);

// Another process may shorten a file while it is mapped here (the lock is advisory). An access to
// a view beyond the new end then reads zeros and its writes go nowhere, instead of ending the
// process with SIGBUS; this tells whether that happened to the view since it was mapped.
bool viewLostItsFile(const unsigned char *view);

// Sets the file's modification time to now, as a write would; false on failure.
bool touchFile(Handle file);

// What names a file: the same device and inode is the same file, whatever its path.
struct FileIdentity
{
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
};
// Of the open file behind a file handle; false for anything else.
bool identityOfFile(Handle file, FileIdentity *identity);
// Of the file a path names now; false when there is none.
bool identityOfPath(const char16_t *path, FileIdentity *identity);

// The size in bytes of the file behind a mapping object; 0 for a null or foreign handle.
std::uint64_t mappingSize(Handle mapping);

bool unmapViewOfFile(unsigned char *view);

// Closes a file or a mapping handle; false for null, invalidHandleValue() or an unknown handle.
bool closeHandle(Handle handle);

// Creates the file, which must not exist yet, with the given bytes, and returns once file and name
// are on the disk (the file and its folder synced), so that they outlive a power loss. On failure
// it removes what it created and describes the reason in error.
bool createFileDurably(const char16_t *path, const void *data, std::size_t size,
                       std::string *error);

// Removes a file; true also when there was none.
bool removeFile(const char16_t *path);

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

} // namespace TQ::PLATFORM::FILEMAP
