// The map reader on hand-written maps (one row per layout case) and on the maps of built images.
#include "BinaryPatchCleaner.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTemporaryDir>

using namespace TestSupport;
using TQ::EXTRACTORS::CPP::COMMON::BinaryPatchCleaner;
using TQ::EXTRACTORS::CPP::COMMON::MapExtract;
using TQ::EXTRACTORS::CPP::DIA::FunctionInfo;

namespace {

// One line of a symbol list in the linker's layout: name at column 21 padded to column 48,
// then the address, and the flag one blank after it.
QByteArray sym(const QByteArray &name, const QByteArray &address, const QByteArray &flag = "f",
               const QByteArray &object = "a.obj")
{
    QByteArray line = " 0001:00000000       " + name;
    line = line.leftJustified(48, ' ');
    if (line.size() > 48 || name.size() >= 27)
        line += ' ';
    return line + address + ' ' + flag + "   " + object + "\r\n";
}

QByteArray base(const QByteArray &address = "00400000")
{
    return " 0000:00000000       ___ImageBase               " + address +
           "     <linker-defined>\r\n";
}

struct Read
{
    QList<FunctionInfo> functions;
    QByteArray nameList;
};

Read readMap(const QTemporaryDir &dir, const QString &path)
{
    MapExtract extract(QFileInfo(dir.filePath(QFileInfo(path).fileName())));
    BinaryPatchCleaner::readMapFile(QFileInfo(path), &extract);
    return {extract.functions, readFile(extract.nameListFile.absoluteFilePath())};
}

} // namespace

TEST(MapReaderTest, LayoutCases)
{
    const QByteArray longName = "?allocate@?A0xF7C4CA32@@YAPAXI@Z"; // 32 characters
    QByteArray cut = " 0001:00000000       _cut";
    cut = cut.leftJustified(48, ' ') + "0a.obj\r\n";
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
        {"base 80000000", base("80000000") + sym("_main", "80001234"), "_main 1234\n"},
        {"base fffe0000", base("fffe0000") + sym("_main", "fffe1234"), "_main 1234\n"},
        {"address below the base wraps", base() + sym("_low", "00000010"), "_low ffc00010\n"},
        {"short base lines read only what they hold",
         " ___ImageBase\r\n" + QByteArray(20, ' ') + "___ImageBase" + QByteArray(16, ' ') + "\r\n" +
             base() + sym("_f", "00402000"),
         "_f 2000\n"},
        {"address field cut by the line end", base() + cut, "_cut ffc00000\n"},
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
        writeFile(dir.filePath("app_tq.map"), QByteArray(4096, 'z')); // rewritten from the start
        ASSERT_TRUE(writeFile(dir.filePath("app.map"), row.map));
        const Read r = readMap(dir, dir.filePath("app.map"));
        EXPECT_EQ(r.nameList, row.nameList) << row.what;
        QList<quint32> listed, read;
        for (const QByteArray &line : r.nameList.split('\n'))
            if (!line.isEmpty())
                listed << line.mid(line.lastIndexOf(' ') + 1).toUInt(nullptr, 16);
        for (const FunctionInfo &f : r.functions) {
            read << f.address;
            EXPECT_EQ(f.address, f.startAddress);
            EXPECT_EQ(f.name, "not resolved yet");
            EXPECT_EQ(f.sourceFile, "not resolved yet");
            EXPECT_EQ(f.line, 0xFFFFFFFFu);
        }
        EXPECT_EQ(read, listed) << row.what;
    }
}

TEST(MapReaderTest, NameListFileAndUnreadableFiles)
{
    EXPECT_EQ(MapExtract(QFileInfo("my.app.map")).nameListFile.fileName(), "my.app_tq.map");
    // A bare name puts the list in the working directory, not beside the map.
    EXPECT_EQ(MapExtract(QFileInfo("app.map")).nameListFile.absoluteFilePath(),
              QDir::current().absoluteFilePath("app_tq.map"));

    QTemporaryDir dir;
    EXPECT_TRUE(readMap(dir, dir.filePath("absent.map")).functions.isEmpty());
    // A folder where the name list should go: its lines are lost, the records are not.
    ASSERT_TRUE(QDir(dir.path()).mkdir("blocked_tq.map"));
    ASSERT_TRUE(writeFile(dir.filePath("blocked.map"), base() + sym("_f", "00401000")));
    EXPECT_EQ(readMap(dir, dir.filePath("blocked.map")).functions.size(), 1);
}

// The maps of the image builder, checked against the header's preferred load address and a
// pattern for the linker's symbol lines.
class BuiltMapTest : public ::testing::TestWithParam<const char *>
{
};

TEST_P(BuiltMapTest, EveryFunctionLineOfTheMapIsListedInOrder)
{
    const QString name = GetParam();
    const QString mapPath = QStringLiteral(TQT_TEST_IMAGES_DIR "/%1/%1.map").arg(name);
    const QByteArray map = readFile(mapPath);
    ASSERT_FALSE(map.isEmpty()) << mapPath.toStdString();

    const QRegularExpression baseRe("Preferred load address is ([0-9a-f]{8})");
    const quint32 imageBase =
        baseRe.match(QString::fromLatin1(map)).captured(1).toUInt(nullptr, 16);
    const QRegularExpression lineRe(
        "^ [0-9a-f]{4}:[0-9a-f]{8} +(\\S+) +([0-9a-f]{8}) f +\\S+\\.obj$");
    QByteArray expected;
    for (const QByteArray &line : map.split('\n')) {
        const auto m = lineRe.match(QString::fromLatin1(line).chopped(line.endsWith('\r')));
        if (m.hasMatch())
            expected += m.captured(1).toLatin1() + ' ' +
                        QByteArray::number(m.captured(2).toUInt(nullptr, 16) - imageBase, 16) +
                        '\n';
    }
    ASSERT_GT(expected.count('\n'), 5);
    QTemporaryDir dir;
    const Read r = readMap(dir, mapPath);
    EXPECT_EQ(r.nameList, expected);
    EXPECT_EQ(r.functions.size(), expected.count('\n'));
}

INSTANTIATE_TEST_SUITE_P(Images, BuiltMapTest,
                         ::testing::Values("sample", "folded", "highbase", "sampledll"));
