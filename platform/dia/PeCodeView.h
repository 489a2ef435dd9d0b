// The CodeView record of a PE image's debug directory: where the linker wrote the program
// database and which build of it belongs to the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace TQ {
namespace PLATFORM {
namespace PDB {

struct CodeViewRecord
{
    uint8_t guid[16] = {};
    uint32_t age = 0;
    std::string pdbPath; // as the linker stored it, usually a Windows path
};

enum class PeReadResult {
    Ok,
    NotPe,            // no MZ/PE signature, or headers cut short
    NoDebugDirectory, // the data directory has no debug entry
    NoCodeView,       // no debug entry of type CodeView with an RSDS record
    Corrupt,          // an entry points outside the file
};

// Reads the RSDS record of an image held in memory. Every offset is checked against size.
PeReadResult readCodeViewRecord(const uint8_t *data, size_t size, CodeViewRecord &record);

} // namespace PDB
} // namespace PLATFORM
} // namespace TQ
