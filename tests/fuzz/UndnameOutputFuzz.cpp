// The demangler-output parser on arbitrary bytes, against the plain reading of the line layout
// with Qt's own calls: the same table, and only lines ended by a line feed are read.
#include "BinaryPatchCleaner.h"

using namespace TQ::EXTRACTORS::CPP::COMMON;

namespace {

QHash<int, QString> reference(const QByteArray &output)
{
    QHash<int, QString> table;
    int position = 0;
    for (;;) {
        const int lineFeed = output.indexOf('\n', position);
        if (lineFeed < 0)
            break;
        const QByteArray line = output.mid(position, lineFeed - position);
        position = lineFeed + 1;
        const int blank = line.lastIndexOf(' ');
        if (blank < 0)
            continue;
        const int addressLength = line.size() - blank - 2;
        if (addressLength <= 0)
            continue;
        bool ok = false;
        const int address = line.mid(blank + 1, addressLength).toInt(&ok, 16);
        if (ok)
            table.insert(address, QString::fromUtf8(line.constData(), blank).trimmed());
    }
    return table;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray output(reinterpret_cast<const char *>(data), int(size));
    const QHash<int, QString> table = BinaryPatchCleaner::parseUndnameOutput(output);
    if (table.size() > output.count('\n') || table != reference(output))
        __builtin_trap();
    return 0;
}
