// Fault-injection seam for the tests, preloaded into the tool (LD_PRELOAD); the tool itself has
// none. It counts the calls by which the tool changes files or makes changes durable (writes,
// syncs, truncations, removals), and stops the process just before one of them, as a crash or a
// power cut would, between two durable steps.
//   TQT_STEP_LOG=path     each counted call is appended as "<n> <call> <file>"
//   TQT_KILL_AT_STEP=n    SIGKILL before the n-th counted call
//   TQT_STOP_AT_STEP=n    SIGSTOP before the n-th counted call (the test changes files, then
//                         sends SIGCONT)
// Writes to pipes and terminals (standard output) are not counted.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static long counted;

static long envNumber(const char *name)
{
    const char *v = getenv(name);
    return v ? atol(v) : 0;
}

static int countsFd(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
}

static void step(const char *call, const char *file)
{
    ++counted;
    const char *log = getenv("TQT_STEP_LOG");
    if (log) {
        int (*realOpen)(const char *, int, ...) = dlsym(RTLD_NEXT, "open");
        ssize_t (*realWrite)(int, const void *, size_t) = dlsym(RTLD_NEXT, "write");
        char line[4200];
        const int n = snprintf(line, sizeof line, "%ld %s %s\n", counted, call, file);
        const int fd = realOpen(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (realWrite(fd, line, (size_t)n) < 0) {
            }
            close(fd);
        }
    }
    if (counted == envNumber("TQT_KILL_AT_STEP"))
        kill(getpid(), SIGKILL);
    if (counted == envNumber("TQT_STOP_AT_STEP"))
        kill(getpid(), SIGSTOP);
}

static void stepFd(const char *call, int fd)
{
    if (!countsFd(fd))
        return;
    char link[64], file[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, file, sizeof file - 1);
    file[n > 0 ? n : 0] = '\0';
    step(call, file);
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

ssize_t write(int fd, const void *buf, size_t n)
{
    stepFd("write", fd);
    return REAL(write)(fd, buf, n);
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t at)
{
    stepFd("pwrite", fd);
    return REAL(pwrite)(fd, buf, n, at);
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t at)
{
    stepFd("pwrite", fd);
    return REAL(pwrite64)(fd, buf, n, at);
}

int fsync(int fd)
{
    stepFd("fsync", fd);
    return REAL(fsync)(fd);
}

int fdatasync(int fd)
{
    stepFd("fdatasync", fd);
    return REAL(fdatasync)(fd);
}

int ftruncate(int fd, off_t length)
{
    stepFd("ftruncate", fd);
    return REAL(ftruncate)(fd, length);
}

int ftruncate64(int fd, off64_t length)
{
    stepFd("ftruncate", fd);
    return REAL(ftruncate64)(fd, length);
}

int msync(void *at, size_t length, int flags)
{
    step("msync", "-");
    return REAL(msync)(at, length, flags);
}

int unlink(const char *path)
{
    step("unlink", path);
    return REAL(unlink)(path);
}
