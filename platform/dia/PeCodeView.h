// The CodeView record of a PE image's debug directory: where the linker wrote the program
// database and which build of it belongs to the image. Read by the one PE-header reader.
#pragma once

#include <PeHeaders.h>

namespace TQ::PLATFORM::PDB {

using PE::CodeViewRecord;
using PeReadResult = PE::CodeViewResult;
using PE::readCodeViewRecord;

} // namespace TQ::PLATFORM::PDB
