// A PE image read into memory, for checks that must neither lock nor map the file.
#pragma once

#include <PeHeaders.h>

#include <QByteArray>
#include <QString>

namespace TQ::EXTRACTORS::CPP::COMMON {

class PeImage
{
public:
    using Section = PLATFORM::PE::Section;

    // Reads and checks the headers; throws std::runtime_error naming the file and the reason.
    explicit PeImage(const QString &path);

    // The image as the next run that opens it for writing will leave it: the writes of a
    // stopped run that its database did not commit are put back, here in memory only. Returns
    // the number of sites put back.
    int settlePendingJournal();

    // The section of an RVA as the rewriter finds it; null when none holds it.
    const Section *sectionOf(quint32 rva) const { return m_headers.sectionOf(rva); }
    // The five bytes at rva (bits 0-39, the first byte lowest) when they lie where the rewriter
    // may write them.
    bool fiveBytesAt(const Section &section, quint32 rva, quint64 *bytes) const;

private:
    [[noreturn]] void fail(const QString &reason) const;

    QString m_path;
    QByteArray m_bytes;
    PLATFORM::PE::PeHeaders m_headers; // over m_bytes
};

} // namespace TQ::EXTRACTORS::CPP::COMMON
