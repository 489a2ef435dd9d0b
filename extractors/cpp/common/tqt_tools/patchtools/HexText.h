// Hexadecimal fields of the linker's map and the demangler's output: the common form, plain
// digits, is read here without a copy; callers hand anything else to Qt's own conversion.
#pragma once

#include <QtGlobal>

namespace TQ::EXTRACTORS::CPP::COMMON {

// The value of size (1 to 8) plain hexadecimal digits; false when the text holds anything else.
inline bool readPlainHex(const char *text, int size, quint32 &value)
{
    if (size < 1 || size > 8)
        return false;
    quint32 result = 0;
    for (int i = 0; i < size; ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        result = result << 4 | quint32(digit);
    }
    value = result;
    return true;
}

} // namespace TQ::EXTRACTORS::CPP::COMMON
