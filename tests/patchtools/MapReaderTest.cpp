// The map reader on hand-written maps, one row per layout case (built maps are read end to end).
#include "BinaryPatchCleaner.h"
#include "TestSupport.h"

using namespace TestSupport;
using TQ::EXTRACTORS::CPP::COMMON::BinaryPatchCleaner;
using TQ::EXTRACTORS::CPP::COMMON::MapExtract;

namespace {

// One line of a symbol list in the linker's layout: name at column 21 padded to column 48,
// then the address, and the flag one blank after it.
QByteArray sym(const QByteArray &name, const QByteArray &address, const QByteArray &flag = "f",
               const QByteArray &object = "a.obj")
{
    QByteArray line = QByteArray(" 0001:00000000       " + name).leftJustified(48, ' ');
    if (line.size() > 48 || name.size() >= 27)
        line += ' ';
    return line + address + ' ' + flag + "   " + object + "\r\n";
}

QByteArray base(const QByteArray &address = "00400000")
{
    return " 0000:00000000       ___ImageBase               " + address +
           "     <linker-defined>\r\n";
}

} // namespace

TEST(MapReaderTest, LayoutCases)
{
    const QByteArray longName = "?allocate@?A0xF7C4CA32@@YAPAXI@Z"; // 32 characters
    const QByteArray cut =
        QByteArray(" 0001:00000000       _cut").leftJustified(48, ' ') + "0a.obj";
    const struct
    {
        const char *what;
        QByteArray map;
        QByteArray nameList;
    } rows[] = {
        {"base 10000000", base("10000000") + sym("_main", "10001000"), "_main 1000\n"},
        {"objects decide",
         base() + sym("_own", "00401000") + sym("_fromLib", "00401010", "f", "libc.lib:crt0.obj") +
             sym("_capitals", "00401020", "f", "OLD.OBJ") + sym("_data", "00403000", " ") +
             sym("_abs", "00000000", "f", "<absolute>") + " entry point at 0001:000000c0\r\n",
         "_own 1000\n_fromLib 1010\n"},
        {"long name pushes address and flag",
         base() + sym(longName, "004011b0") + sym("?arenaUsed@?A0xF7C4CA32@@3IA", "00403004", " "),
         longName + " 11b0\n"},
        {"folded names",
         base() + sym("?addSeven@@YAHH@Z", "00401000") + sym("_sevenMore", "00401000"),
         "?addSeven@@YAHH@Z 1000\n_sevenMore 1000\n"},
        {"lines before the base line",
         sym("_early", "00401000") + base() + sym("_late", "00401000"),
         "_early 401000\n_late 1000\n"},
        {"base fffe0000", base("fffe0000") + sym("_main", "fffe1234"), "_main 1234\n"},
        {"address below the base wraps", base() + sym("_low", "00000010"), "_low ffc00010\n"},
        {"short base lines read only what they hold",
         " ___ImageBase\r\n" + QByteArray(20, ' ') + "___ImageBase" + QByteArray(16, ' ') + "\r\n" +
             base() + sym("_f", "00402000"),
         "_f 2000\n"},
        {"address field cut by the line end", base() + cut + "\r\n", "_cut ffc00000\n"},
        {"LF-only lines", QByteArray(base() + sym("_f", "00401000")).replace("\r\n", "\n"),
         "_f 1000\n"},
        {"CR alone ends no line", base() + sym("_f", "00401000").replace("\r\n", "\r"), ""},
        {"last line without an end",
         base() + sym("_f", "00401000") + sym("_g", "00401010").trimmed(), "_f 1000\n"},
        {"21 and 22 characters",
         base() + QByteArray(21, 'x') + "\r\n" + QByteArray(18, ' ') + "a.obj\r\n", ""},
    };
    QTemporaryDir dir;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        writeFile(dir.filePath("my.app_tq.map"), QByteArray(4096, 'z')); // rewritten from the start
        ASSERT_TRUE(writeFile(dir.filePath("my.app.map"), row.map));
        MapExtract extract(QFileInfo(dir.filePath("my.app.map")));
        BinaryPatchCleaner::readMapFile(QFileInfo(dir.filePath("my.app.map")), &extract);
        const QByteArray nameList = readFile(dir.filePath("my.app_tq.map"));
        EXPECT_EQ(nameList, row.nameList);
        // One record per name-list line, at its RVA.
        QList<quint32> listed, read;
        for (const QByteArray &line : nameList.split('\n'))
            if (!line.isEmpty())
                listed << line.mid(line.lastIndexOf(' ') + 1).toUInt(nullptr, 16);
        for (const auto &f : extract.functions)
            read << f.address;
        EXPECT_EQ(read, listed);
    }
}
