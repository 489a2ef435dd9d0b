// Helpers shared by the reader's sources: message lines and BSTR conversion.
#pragma once

#include "ComCore.h"

#include <QString>

#include <iostream>

namespace TQ::EXTRACTORS::CPP::DIA {

inline void printLine(const QString &text)
{
    std::cout << text.toStdString() << std::endl;
}

inline void printLine(const char *text)
{
    std::cout << text << std::endl;
}

// A null BSTR is an empty string; otherwise the characters up to the first zero.
inline QString fromBstr(BSTR text)
{
    if (!text)
        return QString();
    return QString::fromUtf16(text);
}

inline LPCOLESTR toOleString(const QString &text)
{
    return reinterpret_cast<LPCOLESTR>(text.utf16());
}

} // namespace TQ::EXTRACTORS::CPP::DIA
