// The readers under test take file paths: each input is written to one scratch file per process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace TQ {
namespace FUZZ {

inline std::string scratchPath(const char *suffix)
{
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/tqt-fuzz-" + std::to_string(getpid()) +
           suffix;
}

inline bool writeScratch(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

} // namespace FUZZ
} // namespace TQ
