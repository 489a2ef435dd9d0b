// Reading the demangler's output into a table of names by RVA.
#include "BinaryPatchCleaner.h"

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

QHash<int, QString> BinaryPatchCleaner::parseUndnameOutput(QByteArray output)
{
    QHash<int, QString> table;
    const char *const data = output.constData();
    int position = 0;
    for (;;) {
        const int lineFeed = output.indexOf('\n', position);
        if (lineFeed < 0)
            break; // a last line without a line feed may be cut short
        const QByteArray line = QByteArray::fromRawData(data + position, lineFeed - position);
        position = lineFeed + 1;

        const int blank = line.lastIndexOf(' ');
        if (blank < 0)
            continue;
        // The demangler ends its lines with CR LF: the last byte is the carriage return.
        const int addressLength = line.size() - blank - 2;
        if (addressLength <= 0)
            continue;
        bool ok = false;
        const int address = line.mid(blank + 1, addressLength).toInt(&ok, 16);
        if (!ok)
            continue;
        table.insert(address, QString::fromUtf8(line.constData(), blank).trimmed());
    }
    return table;
}

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
