// The demangler-output parser on arbitrary bytes: no line yields more than one entry, and only
// lines ended by a line feed are read.
#include "BinaryPatchCleaner.h"

using namespace TQ::EXTRACTORS::CPP::COMMON;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray output(reinterpret_cast<const char *>(data), int(size));
    const QHash<int, QString> table = BinaryPatchCleaner::parseUndnameOutput(output);
    if (table.size() > output.count('\n'))
        __builtin_trap();
    return 0;
}
