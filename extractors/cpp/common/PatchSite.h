// The five-byte site of a hook call: what stands there, how it is loaded and stored, and how it
// is printed. The rewriter, the journal, the clean, the database and tqt_patchdb.exe all speak
// of sites through this header.
#pragma once

#include <QString>
#include <QtGlobal>

namespace TQ::EXTRACTORS::CPP::COMMON::SITE {

// A site's bytes travel as bits 0-39 of a 64-bit number, the byte at the site lowest.
constexpr int Size = 5;
constexpr quint64 Mask = (quint64(1) << 40) - 1;
constexpr uchar Nop = 0x90;
constexpr uchar CallRel32 = 0xE8; // call with a 32-bit relative operand: the hook call
constexpr uchar JmpRel32 = 0xE9;  // jump with a 32-bit relative operand: an incremental thunk
constexpr quint64 FiveNops = Q_UINT64_C(0x9090909090);
// The frame set-up after the hook call of a function built with a frame pointer.
constexpr uchar PushEbp = 0x55;
constexpr uchar MovEbpEsp[2] = {0x8B, 0xEC};

inline quint32 load32(const uchar *p)
{
    return quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}

inline quint64 load(const uchar *p)
{
    return quint64(load32(p)) | (quint64(p[4]) << 32);
}

inline void store(uchar *p, quint64 bytes)
{
    for (int i = 0; i < Size; ++i)
        p[i] = uchar(bytes >> (8 * i));
}

inline bool isCall(quint64 bytes)
{
    return (bytes & 0xFF) == CallRel32;
}

// Four NOPs: the shape a clean leaves, whatever the fifth byte.
inline bool startsWithFourNops(quint64 bytes)
{
    return (bytes & 0xFFFFFFFF) == (FiveNops & 0xFFFFFFFF);
}

// "e8 fb 08 00 00": the bytes in image order.
inline QString hexBytes(quint64 bytes)
{
    QString text;
    for (int i = 0; i < Size; ++i) {
        if (i)
            text += QLatin1Char(' ');
        text += QStringLiteral("%1").arg(uint((bytes >> (8 * i)) & 0xFF), 2, 16, QLatin1Char('0'));
    }
    return text;
}

// An RVA as eight hexadecimal digits.
inline QString hexAddress(quint32 rva)
{
    return QStringLiteral("%1").arg(rva, 8, 16, QLatin1Char('0'));
}

// What an entry's name and source file hold until the resolve run has filled them in.
inline QString notResolved()
{
    return QStringLiteral("not resolved yet");
}

} // namespace TQ::EXTRACTORS::CPP::COMMON::SITE
