// The readers under test take file paths: each input is written to one scratch file per process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace TQ::FUZZ {

inline std::string scratchPath(const char *suffix)
{
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/tqt-fuzz-" + std::to_string(getpid()) +
           suffix;
}

// A scratch path that is removed again when the process ends.
struct Scratch
{
    explicit Scratch(const char *suffix) : path(scratchPath(suffix)) {}
    ~Scratch() { std::remove(path.c_str()); }
    const std::string path;
};

inline bool writeScratch(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

} // namespace TQ::FUZZ
