#include "PatchFileMap.h"

#include <QFile>
#include <QString>

#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace TQ {
namespace PLATFORM {
namespace FILEMAP {

namespace {

struct KernelObject
{
    enum Kind { File, Mapping } kind;
    int fd;
    std::uint64_t size; // mappings only
};

// Live handles and views, so that a stale or foreign value fails like an invalid handle
// instead of touching memory that is not ours.
struct Registry
{
    std::mutex lock;
    std::unordered_map<Handle, KernelObject *> handles;
    std::unordered_map<unsigned char *, std::size_t> views;
};

Registry &registry()
{
    static Registry r;
    return r;
}

Handle addHandle(KernelObject *object)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.handles.emplace(object, object);
    return object;
}

KernelObject *findHandle(Handle handle, KernelObject::Kind kind)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.handles.find(handle);
    if (it == r.handles.end() || it->second->kind != kind)
        return nullptr;
    return it->second;
}

const FileMapCalls *replaced = nullptr;

} // namespace

namespace REAL {

Handle createFileForPatching(const char16_t *path)
{
    if (!path)
        return invalidHandleValue();
    const QByteArray local = QFile::encodeName(QString::fromUtf16(path));
    const int fd = ::open(local.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return invalidHandleValue();
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    whole.l_start = 0;
    whole.l_len = 0; // to the end, however the file grows
    if (::fcntl(fd, F_OFD_SETLK, &whole) != 0) {
        ::close(fd);
        return invalidHandleValue();
    }
    return addHandle(new KernelObject{KernelObject::File, fd, 0});
}

Handle createFileMapping(Handle file)
{
    const KernelObject *f = findHandle(file, KernelObject::File);
    if (!f)
        return nullptr;
    struct stat st;
    if (::fstat(f->fd, &st) != 0 || st.st_size <= 0 || !S_ISREG(st.st_mode))
        return nullptr;
    // The mapping keeps the file (and its lock) alive on its own, as a Win32 section object does.
    const int fd = ::fcntl(f->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    return addHandle(
        new KernelObject{KernelObject::Mapping, fd, static_cast<std::uint64_t>(st.st_size)});
}

unsigned char *mapViewOfFile(Handle mapping)
{
    const KernelObject *m = findHandle(mapping, KernelObject::Mapping);
    if (!m || m->size > SIZE_MAX)
        return nullptr;
    const std::size_t length = static_cast<std::size_t>(m->size);
    void *p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, m->fd, 0);
    if (p == MAP_FAILED)
        return nullptr;
    auto *view = static_cast<unsigned char *>(p);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.views.emplace(view, length);
    return view;
}

bool unmapViewOfFile(unsigned char *view)
{
    Registry &r = registry();
    std::size_t length = 0;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.views.find(view);
        if (it == r.views.end())
            return false;
        length = it->second;
        r.views.erase(it);
    }
    return ::munmap(view, length) == 0;
}

bool closeHandle(Handle handle)
{
    KernelObject *object = nullptr;
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.handles.find(handle);
        if (it == r.handles.end())
            return false;
        object = it->second;
        r.handles.erase(it);
    }
    const bool closed = ::close(object->fd) == 0;
    delete object;
    return closed;
}

} // namespace REAL

Handle createFileForPatching(const char16_t *path)
{
    return replaced && replaced->createFileForPatching ? replaced->createFileForPatching(path)
                                                       : REAL::createFileForPatching(path);
}

Handle createFileMapping(Handle file)
{
    return replaced && replaced->createFileMapping ? replaced->createFileMapping(file)
                                                   : REAL::createFileMapping(file);
}

unsigned char *mapViewOfFile(Handle mapping)
{
    return replaced && replaced->mapViewOfFile ? replaced->mapViewOfFile(mapping)
                                               : REAL::mapViewOfFile(mapping);
}

std::uint64_t mappingSize(Handle mapping)
{
    const KernelObject *m = findHandle(mapping, KernelObject::Mapping);
    return m ? m->size : 0;
}

bool unmapViewOfFile(unsigned char *view)
{
    return replaced && replaced->unmapViewOfFile ? replaced->unmapViewOfFile(view)
                                                 : REAL::unmapViewOfFile(view);
}

bool closeHandle(Handle handle)
{
    return replaced && replaced->closeHandle ? replaced->closeHandle(handle)
                                             : REAL::closeHandle(handle);
}

void sleepMs(unsigned milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void setFileMapCalls(const FileMapCalls *calls)
{
    replaced = calls;
}

} // namespace FILEMAP
} // namespace PLATFORM
} // namespace TQ
