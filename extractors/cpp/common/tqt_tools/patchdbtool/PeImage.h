// A PE image read into memory, for checks that must neither lock nor map the file.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

class PeImage
{
public:
    struct Section
    {
        QByteArray name;
        quint32 virtualAddress = 0;
        quint32 virtualSize = 0;
        quint32 rawSize = 0;
        quint32 rawPointer = 0;
        quint32 characteristics = 0;

        bool holdsCode() const;
    };

    // Reads and checks the headers; throws std::runtime_error naming the file and the reason.
    explicit PeImage(const QString &path);

    // The section of an RVA as the rewriter finds it: the first in table order whose virtual
    // range holds it; null when none does.
    const Section *sectionOf(quint32 rva) const;
    // The file offset of [rva, rva + length) when it all lies in the section's data in the file,
    // as the rewriter requires before it writes there; else -1.
    qint64 fileOffset(const Section &section, quint32 rva, quint32 length) const;
    // The five bytes at rva (bits 0-39, the first byte lowest), under the same condition.
    bool fiveBytesAt(const Section &section, quint32 rva, quint64 *bytes) const;

private:
    [[noreturn]] void fail(const QString &reason) const;

    QString m_path;
    QByteArray m_bytes;
    QVector<Section> m_sections;
};

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
