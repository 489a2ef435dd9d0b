// The linker map-file reader.
#include "BinaryPatchCleaner.h"
#include "HexText.h"
#include "NameListHandover.h"
#include "PatchSite.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <string>

namespace TQ::EXTRACTORS::CPP::COMMON {

using DIA::FunctionInfo;

namespace {

const int NameColumn = 21;
const int AddressColumn = 48;
const int HexFieldWidth = 8;
const int FlagOffset = 9; // from the address column
const quint32 NoLine = 0xFFFFFFFF;
const int NameListChunk = 1 << 16;

// The hexadecimal field of up to 8 characters at column of line, read as QByteArray::toUInt
// reads it; only what the line holds is read. Not a number gives 0.
quint32 hexField(const QByteArray &line, int column)
{
    const int length = qMin(HexFieldWidth, line.size() - column);
    if (length <= 0)
        return 0;
    const char *field = line.constData() + column;
    // The linker always writes eight digits.
    quint32 value = 0;
    if (length == HexFieldWidth && readPlainHex(field, length, value))
        return value;
    bool ok = false;
    value = QByteArray(field, length).toUInt(&ok, 16);
    return ok ? value : 0;
}

void appendHex(std::string &out, quint32 value)
{
    char digits[8];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (n > 0)
        out.push_back(digits[--n]);
}

} // namespace

MapExtract::MapExtract(const QFileInfo &mapFile)
    : nameListFile(mapFile.dir(),
                   mapFile.completeBaseName() + QLatin1String("_tq.") + mapFile.suffix())
{
}

MapExtract::~MapExtract()
{
    NameListHandover::release(nameListCopy);
}

QString MapExtract::takeNameListCopy()
{
    QString copy;
    copy.swap(nameListCopy);
    return copy;
}

void BinaryPatchCleaner::readMapFile(QFileInfo mapFile, MapExtract *extract)
{
    QByteArray content;
    {
        QFile in(mapFile.absoluteFilePath());
        if (in.open(QIODevice::ReadOnly))
            content = in.readAll();
    }

    // A name list that cannot be written loses its lines; the records are produced all the same.
    // The resolve run gets a private copy of these very bytes (NameListHandover.h), whatever
    // becomes of the file.
    QFile nameList(extract->nameListFile.absoluteFilePath());
    const bool writeNames = nameList.open(QIODevice::WriteOnly);
    NameListHandover::Writer handover;
    std::string pending;
    pending.reserve(NameListChunk + 4096);
    const auto flush = [&] {
        if (writeNames)
            nameList.write(pending.data(), qint64(pending.size()));
        handover.write(pending.data(), qint64(pending.size()));
        pending.clear();
    };

    const QString notResolved = SITE::notResolved();
    const char *const data = content.constData();
    const int size = content.size();
    quint32 imageBase = 0;
    int start = 0;
    while (start < size) {
        // Lines end in LF, as a checkout on Linux leaves them, or in CR LF, as the linker writes
        // them; a CR before the LF is not part of the line.
        const int lf = content.indexOf('\n', start);
        if (lf < 0)
            break; // the text after the last line end is not a line
        const int end = lf > start && data[lf - 1] == '\r' ? lf - 1 : lf;
        const QByteArray line = QByteArray::fromRawData(data + start, end - start);
        start = lf + 1;

        if (imageBase == 0 && line.contains("___ImageBase")) {
            imageBase = hexField(line, AddressColumn);
            continue;
        }
        if (line.size() <= NameColumn || !line.endsWith(".obj"))
            continue;
        const int nameEnd = line.indexOf(' ', NameColumn);
        if (nameEnd < 0)
            continue;
        const int addressColumn = qMax(AddressColumn, nameEnd + 1);
        const int flagColumn = addressColumn + FlagOffset;
        if (flagColumn < line.size() && line.at(flagColumn) != 'f')
            continue;

        const quint32 rva =
            hexField(line, addressColumn) - imageBase; // unsigned: wraps below the base
        pending.append(line.constData() + NameColumn, size_t(nameEnd - NameColumn));
        pending.push_back(' ');
        appendHex(pending, rva);
        pending.push_back('\n');
        if (pending.size() >= size_t(NameListChunk))
            flush();
        extract->functions.append(FunctionInfo(rva, notResolved, notResolved, NoLine, rva, NoLine,
                                               NoLine, DIA::NotAMethod, 0, nullptr));
    }
    flush();
    nameList.close();
    extract->nameListCopy = handover.finishCopy();
    extract->nameListDigest = handover.digest();
}

} // namespace TQ::EXTRACTORS::CPP::COMMON
