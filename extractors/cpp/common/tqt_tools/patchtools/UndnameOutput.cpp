// Reading the demangler's output into a table of names by RVA.
#include "BinaryPatchCleaner.h"
#include "HexText.h"

#include <cstring>

namespace TQ::EXTRACTORS::CPP::COMMON {

namespace {

// The address text read as QByteArray::toInt(&ok, 16) reads it. The demangler writes up to
// eight plain hex digits, which are read without a copy; anything else (signs, a "0x",
// blanks, more digits) goes to Qt itself.
int readAddress(const char *text, int size, bool *ok)
{
    quint32 value = 0;
    if (readPlainHex(text, size, value)) {
        // Eight digits may exceed the signed range, which toInt refuses.
        *ok = value <= 0x7fffffffu;
        return *ok ? int(value) : 0;
    }
    return QByteArray(text, size).toInt(ok, 16);
}

} // namespace

QHash<int, QString> BinaryPatchCleaner::parseUndnameOutput(QByteArray output)
{
    QHash<int, QString> table;
    const char *const data = output.constData();
    const char *const end = data + output.size();
    // One line per name: sizing the table once spares it every rehash on the way.
    int lines = 0;
    for (const char *p = data;
         (p = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)))); ++p)
        ++lines;
    table.reserve(lines);

    const char *position = data;
    for (;;) {
        const char *const lineFeed =
            static_cast<const char *>(std::memchr(position, '\n', size_t(end - position)));
        if (!lineFeed)
            break; // a last line without a line feed may be cut short
        const char *const line = position;
        const int lineSize = int(lineFeed - position);
        position = lineFeed + 1;

        int blank = lineSize - 1;
        while (blank >= 0 && line[blank] != ' ')
            --blank;
        if (blank < 0)
            continue;
        // The demangler ends its lines with CR LF: the last byte is the carriage return.
        const int addressLength = lineSize - blank - 2;
        if (addressLength <= 0)
            continue;
        bool ok = false;
        const int address = readAddress(line + blank + 1, addressLength, &ok);
        if (!ok)
            continue;
        table.insert(address, QString::fromUtf8(line, blank).trimmed());
    }
    return table;
}

} // namespace TQ::EXTRACTORS::CPP::COMMON
