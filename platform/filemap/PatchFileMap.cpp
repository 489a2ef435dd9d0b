#include "PatchFileMap.h"

#include <QFile>
#include <QFileInfo>
#include <QString>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace TQ::PLATFORM::FILEMAP {

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

// Views whose file may shrink under them, read by the SIGBUS handler: plain atomics, no lock.
struct GuardedView
{
    std::atomic<std::uintptr_t> start{0};
    std::atomic<std::size_t> length{0};
    std::atomic<bool> lost{false};
};
GuardedView guardedViews[16];
std::uintptr_t pageSize = 4096;
struct sigaction previousBusAction;

// A fault in a guarded view means its file was cut short: a zero page takes the place of the
// missing one, the view is marked, and the access is made again. Any other fault goes to whoever
// handled SIGBUS before.
void onBusError(int signal, siginfo_t *info, void *context)
{
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (GuardedView &g : guardedViews) {
        const std::uintptr_t start = g.start.load();
        if (start <= 1 || address - start >= g.length.load())
            continue;
        void *page = reinterpret_cast<void *>(address & ~(pageSize - 1));
        if (::mmap(page, pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
                   -1, 0) != MAP_FAILED) {
            g.lost.store(true);
            return;
        }
        break;
    }
    if ((previousBusAction.sa_flags & SA_SIGINFO) && previousBusAction.sa_sigaction) {
        previousBusAction.sa_sigaction(signal, info, context);
    } else if (previousBusAction.sa_handler != SIG_DFL && previousBusAction.sa_handler != SIG_IGN) {
        previousBusAction.sa_handler(signal);
    } else {
        // The access faults again and ends the process as it would have without us.
        ::signal(SIGBUS, SIG_DFL);
    }
}

void guardView(unsigned char *view, std::size_t length)
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        pageSize = std::uintptr_t(::sysconf(_SC_PAGESIZE));
        struct sigaction action = {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &previousBusAction);
    });
    for (GuardedView &g : guardedViews) {
        // Claimed with a start of 1, which matches no fault, until its length is in place; a
        // view beyond the sixteenth stays unguarded.
        std::uintptr_t expected = 0;
        if (!g.start.compare_exchange_strong(expected, 1))
            continue;
        g.lost.store(false);
        g.length.store(length);
        g.start.store(reinterpret_cast<std::uintptr_t>(view));
        return;
    }
}

GuardedView *guardOf(const unsigned char *view)
{
    for (GuardedView &g : guardedViews)
        if (view && g.start.load() == reinterpret_cast<std::uintptr_t>(view))
            return &g;
    return nullptr;
}

unsigned char *mapView(Handle mapping, int flags)
{
    const KernelObject *m = findHandle(mapping, KernelObject::Mapping);
    if (!m || m->size > SIZE_MAX)
        return nullptr;
    const std::size_t length = static_cast<std::size_t>(m->size);
    void *p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, flags, m->fd, 0);
    if (p == MAP_FAILED)
        return nullptr;
    auto *view = static_cast<unsigned char *>(p);
    guardView(view, length);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.views.emplace(view, length);
    return view;
}

std::size_t viewLength(unsigned char *view)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.views.find(view);
    return it == r.views.end() ? 0 : it->second;
}

bool syncDescriptor(int fd)
{
    int rc;
    do
        rc = ::fsync(fd);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

QByteArray localPath(const char16_t *path)
{
    return QFile::encodeName(QString::fromUtf16(path));
}

} // namespace

namespace REAL {

Handle createFileForPatching(const char16_t *path)
{
    if (!path)
        return invalidHandleValue();
    const QByteArray local = localPath(path);
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
    return mapView(mapping, MAP_SHARED);
}

// Takes what the registry holds under key out of one of its maps; false when it holds nothing.
template <typename Map>
bool takeFromRegistry(Map Registry::*map, const typename Map::key_type &key,
                      typename Map::mapped_type &value)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    const auto it = (r.*map).find(key);
    if (it == (r.*map).end())
        return false;
    value = it->second;
    (r.*map).erase(it);
    return true;
}

bool unmapViewOfFile(unsigned char *view)
{
    std::size_t length = 0;
    if (!takeFromRegistry(&Registry::views, view, length))
        return false;
    if (GuardedView *g = guardOf(view))
        g->start.store(0);
    return ::munmap(view, length) == 0;
}

bool closeHandle(Handle handle)
{
    KernelObject *object = nullptr;
    if (!takeFromRegistry(&Registry::handles, handle, object))
        return false;
    const bool closed = ::close(object->fd) == 0;
    delete object;
    return closed;
}

} // namespace REAL

// The test's replacement of a call when one is set, else the real call.
template <typename Call, typename... Args>
auto dispatch(Call FileMapCalls::*replacement, Call real, Args... args)
{
    return replaced && replaced->*replacement ? (replaced->*replacement)(args...) : real(args...);
}

Handle createFileForPatching(const char16_t *path)
{
    return dispatch(&FileMapCalls::createFileForPatching, &REAL::createFileForPatching, path);
}

Handle createFileMapping(Handle file)
{
    return dispatch(&FileMapCalls::createFileMapping, &REAL::createFileMapping, file);
}

unsigned char *mapViewOfFile(Handle mapping)
{
    return dispatch(&FileMapCalls::mapViewOfFile, &REAL::mapViewOfFile, mapping);
}

bool unmapViewOfFile(unsigned char *view)
{
    return dispatch(&FileMapCalls::unmapViewOfFile, &REAL::unmapViewOfFile, view);
}

bool closeHandle(Handle handle)
{
    return dispatch(&FileMapCalls::closeHandle, &REAL::closeHandle, handle);
}

std::uint64_t mappingSize(Handle mapping)
{
    const KernelObject *m = findHandle(mapping, KernelObject::Mapping);
    return m ? m->size : 0;
}

unsigned char *mapViewOfFileCopy(Handle mapping)
{
    return mapView(mapping, MAP_PRIVATE);
}

bool flushViewOfFile(unsigned char *view)
{
    const std::size_t length = viewLength(view);
    return length > 0 && ::msync(view, length, MS_SYNC) == 0;
}

bool viewLostItsFile(const unsigned char *view)
{
    const GuardedView *g = guardOf(view);
    return g && g->lost.load();
}

bool touchFile(Handle file)
{
    const KernelObject *f = findHandle(file, KernelObject::File);
    return f && ::futimens(f->fd, nullptr) == 0;
}

bool identityOfFile(Handle file, FileIdentity *identity)
{
    const KernelObject *f = findHandle(file, KernelObject::File);
    struct stat st;
    if (!f || ::fstat(f->fd, &st) != 0)
        return false;
    *identity = {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), std::uint64_t(st.st_size)};
    return true;
}

bool identityOfPath(const char16_t *path, FileIdentity *identity)
{
    struct stat st;
    if (!path || ::stat(localPath(path).constData(), &st) != 0)
        return false;
    *identity = {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), std::uint64_t(st.st_size)};
    return true;
}

bool createFileDurably(const char16_t *path, const void *data, std::size_t size, std::string *error)
{
    const QByteArray local = localPath(path);
    const auto failed = [&](const char *what, int fd) {
        const int code = errno;
        if (fd >= 0) {
            ::close(fd);
            ::unlink(local.constData());
        }
        *error = std::string(what) + ": " + std::strerror(code);
        return false;
    };
    const int fd = ::open(local.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return failed("cannot be created", -1);
    const char *at = static_cast<const char *>(data);
    for (std::size_t left = size; left > 0;) {
        const ssize_t n = ::write(fd, at, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failed("cannot be written", fd);
        at += n;
        left -= std::size_t(n);
    }
    if (!syncDescriptor(fd))
        return failed("cannot be written to the disk", fd);
    ::close(fd);
    // The name, too, must be on the disk before anything relies on the file.
    const QByteArray folder = QFile::encodeName(QFileInfo(QFile::decodeName(local)).absolutePath());
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || !syncDescriptor(dir)) {
        const int code = errno;
        if (dir >= 0)
            ::close(dir);
        ::unlink(local.constData());
        *error = std::string("cannot be written to the disk (folder): ") + std::strerror(code);
        return false;
    }
    ::close(dir);
    return true;
}

bool removeFile(const char16_t *path)
{
    return ::unlink(localPath(path).constData()) == 0 || errno == ENOENT;
}

void setFileMapCalls(const FileMapCalls *calls)
{
    replaced = calls;
}

} // namespace TQ::PLATFORM::FILEMAP
