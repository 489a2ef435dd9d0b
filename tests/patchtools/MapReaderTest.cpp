// The map reader on maps of built images and on hand-written maps.
#include "BinaryPatchCleaner.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

using TQ::EXTRACTORS::CPP::COMMON::BinaryPatchCleaner;
using TQ::EXTRACTORS::CPP::COMMON::MapExtract;
using TQ::EXTRACTORS::CPP::DIA::FunctionInfo;

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// One line of a symbol list in the linker's layout: name at column 21 padded to column 48,
// then the address, and the flag one blank after it.
QByteArray symbolLine(const QByteArray &name, const QByteArray &address, const QByteArray &flag,
                      const QByteArray &object)
{
    QByteArray line = " 0001:00000000       " + name;
    while (line.size() < 48)
        line += ' ';
    if (line.size() > 48 || name.size() >= 27)
        line += ' ';
    return line + address + ' ' + flag + "   " + object;
}

struct Result
{
    QList<FunctionInfo> functions;
    QByteArray nameList;
    bool nameListExists = false;
};

class MapReaderTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    Result readMap(const QByteArray &content, const QString &fileName = "app.map")
    {
        const QString path = dir.filePath(fileName);
        writeAll(path, content);
        return readMapAt(path);
    }

    Result readMapAt(const QString &path)
    {
        MapExtract extract(QFileInfo(dir.filePath(QFileInfo(path).fileName())));
        BinaryPatchCleaner::readMapFile(QFileInfo(path), &extract);
        Result r;
        r.functions = extract.functions;
        r.nameListExists = extract.nameListFile.exists();
        r.nameList = readAll(extract.nameListFile.absoluteFilePath());
        return r;
    }

    QTemporaryDir dir;
};

const QByteArray Header = " app\r\n\r\n Preferred load address is 00400000\r\n\r\n";
const QByteArray BaseLine =
    " 0000:00000000       ___ImageBase               00400000     <linker-defined>\r\n";

} // namespace

TEST(MapExtractTest, NameListIsTheMapNameWithTqBeforeTheLastSuffix)
{
    EXPECT_EQ(MapExtract(QFileInfo("app.map")).nameListFile.fileName(), "app_tq.map");
    EXPECT_EQ(MapExtract(QFileInfo("my.app.map")).nameListFile.fileName(), "my.app_tq.map");
    // A bare name puts the list in the working directory, not beside the map.
    EXPECT_EQ(MapExtract(QFileInfo("app.map")).nameListFile.absoluteFilePath(),
              QDir::current().absoluteFilePath("app_tq.map"));
    EXPECT_EQ(MapExtract(QFileInfo("/x/y/app.map")).nameListFile.absoluteFilePath(),
              "/x/y/app_tq.map");
    EXPECT_TRUE(MapExtract(QFileInfo("app.map")).functions.isEmpty());
}

TEST_F(MapReaderTest, BaseAndAddressGiveTheRvaAndAPlaceholderRecord)
{
    const QByteArray map = " 0000:00000000       ___ImageBase               10000000     "
                           "<linker-defined>\r\n" +
                           symbolLine("_main", "10001000", "f", "main.obj") + "\r\n";
    const Result r = readMap(map);
    EXPECT_EQ(r.nameList, "_main 1000\n");
    ASSERT_EQ(r.functions.size(), 1);
    const FunctionInfo &f = r.functions.first();
    EXPECT_EQ(f.address, 0x1000u);
    EXPECT_EQ(f.startAddress, 0x1000u);
    EXPECT_EQ(f.name, "not resolved yet");
    EXPECT_EQ(f.sourceFile, "not resolved yet");
    EXPECT_EQ(f.line, 0xFFFFFFFFu);
    EXPECT_EQ(f.firstLine, 0xFFFFFFFFu);
    EXPECT_EQ(f.lastLine, 0xFFFFFFFFu);
    EXPECT_EQ(f.methodKind, 0u);
    EXPECT_EQ(f.thisAdjust, 0);
    EXPECT_EQ(f.classInfo, nullptr);
}

TEST_F(MapReaderTest, ObjectColumnDecidesWhichSymbolsAreTaken)
{
    const QByteArray map = Header + BaseLine + symbolLine("_own", "00401000", "f", "main.obj") +
                           "\r\n" + symbolLine("_fromLib", "00401010", "f", "libcmt.lib:crt0.obj") +
                           "\r\n" + symbolLine("_capitals", "00401020", "f", "OLD.OBJ") + "\r\n" +
                           symbolLine("_data", "00403000", " ", "main.obj") + "\r\n" +
                           symbolLine("_absolute", "00000000", "f", "<absolute>") + "\r\n" +
                           " entry point at         0001:000000c0\r\n";
    const Result r = readMap(map);
    EXPECT_EQ(r.nameList, "_own 1000\n_fromLib 1010\n");
    ASSERT_EQ(r.functions.size(), 2);
    EXPECT_EQ(r.functions.at(1).address, 0x10u + 0x1000u);
}

TEST_F(MapReaderTest, LongNamePushesTheAddressAndTheFlag)
{
    const QByteArray longName = "?allocate@?A0xF7C4CA32@@YAPAXI@Z"; // 32 characters
    const QByteArray dataName = "?arenaUsed@?A0xF7C4CA32@@3IA";
    const QByteArray map = Header + BaseLine + symbolLine(longName, "004011b0", "f", "crt.obj") +
                           "\r\n" + symbolLine(dataName, "00403004", " ", "crt.obj") + "\r\n";
    const Result r = readMap(map);
    EXPECT_EQ(r.nameList, longName + " 11b0\n");
    ASSERT_EQ(r.functions.size(), 1);
    EXPECT_EQ(r.functions.first().address, 0x11b0u);
}

TEST_F(MapReaderTest, FoldedNamesGiveOneRecordEachAtTheSameRva)
{
    const QByteArray map = Header + BaseLine +
                           symbolLine("?addSeven@@YAHH@Z", "00401000", "f", "f.obj") + "\r\n" +
                           symbolLine("?plusSeven@@YAHH@Z", "00401000", "f", "f.obj") + "\r\n" +
                           symbolLine("_sevenMore", "00401000", "f", "f.obj") + "\r\n";
    const Result r = readMap(map);
    EXPECT_EQ(r.nameList, "?addSeven@@YAHH@Z 1000\n?plusSeven@@YAHH@Z 1000\n_sevenMore 1000\n");
    ASSERT_EQ(r.functions.size(), 3);
    for (const FunctionInfo &f : r.functions)
        EXPECT_EQ(f.address, 0x1000u);
}

TEST_F(MapReaderTest, LinesBeforeTheBaseLineKeepTheirFullAddress)
{
    const QByteArray map = symbolLine("_early", "00401000", "f", "a.obj") + "\r\n" + BaseLine +
                           symbolLine("_late", "00401000", "f", "a.obj") + "\r\n";
    EXPECT_EQ(readMap(map).nameList, "_early 401000\n_late 1000\n");
}

TEST_F(MapReaderTest, ImageBaseAtOrAbove80000000IsSubtracted)
{
    for (const QByteArray &base : {QByteArray("80000000"), QByteArray("fffe0000")}) {
        const QByteArray full = QByteArray::number(base.toUInt(nullptr, 16) + 0x1234, 16);
        const QByteArray map = " 0000:00000000       ___ImageBase               " + base +
                               "     <linker-defined>\r\n" +
                               symbolLine("_main", full.rightJustified(8, '0'), "f", "m.obj") +
                               "\r\n";
        const Result r = readMap(map);
        EXPECT_EQ(r.nameList, "_main 1234\n") << base.constData();
        ASSERT_EQ(r.functions.size(), 1);
        EXPECT_EQ(r.functions.first().address, 0x1234u);
    }
}

TEST_F(MapReaderTest, AddressBelowTheBaseWrapsAround)
{
    const QByteArray map = BaseLine + symbolLine("_low", "00000010", "f", "a.obj") + "\r\n";
    const Result r = readMap(map);
    EXPECT_EQ(r.nameList, "_low ffc00010\n");
    ASSERT_EQ(r.functions.size(), 1);
    EXPECT_EQ(r.functions.first().address, 0xFFC00010u);
}

TEST_F(MapReaderTest, ShortBaseLinesReadOnlyWhatTheyHold)
{
    // The first two lines hold no digits in the base field: the base stays 0 and the search for
    // the base line goes on to the full one.
    const QByteArray map = QByteArray(" ___ImageBase\r\n") + "                    ___ImageBase" +
                           QByteArray(16, ' ') + "\r\n" + BaseLine +
                           symbolLine("_f", "00402000", "f", "a.obj") + "\r\n";
    EXPECT_EQ(readMap(map).nameList, "_f 2000\n");
}

TEST_F(MapReaderTest, AddressFieldCutShortByTheLineEnd)
{
    // The flag column lies past the end, so the line is taken; the field runs into ".obj": not a
    // number, so the address counts as 0 and wraps below the base. Nothing beyond the line is
    // read.
    QByteArray line = " 0001:00000000       _cut";
    line += QByteArray(48 - line.size(), ' ');
    line += "0a.obj";
    const Result r = readMap(BaseLine + line + "\r\n");
    EXPECT_EQ(r.nameList, "_cut ffc00000\n");
}

TEST_F(MapReaderTest, LineEndsAndShortLines)
{
    // Only CR-ended lines count: LF-only maps give nothing, the last unended line is not read.
    Result lf = readMap(QByteArray(BaseLine).replace("\r\n", "\n") +
                        symbolLine("_f", "00401000", "f", "a.obj") + "\n");
    EXPECT_TRUE(lf.functions.isEmpty());
    EXPECT_TRUE(lf.nameListExists);
    EXPECT_TRUE(lf.nameList.isEmpty());

    Result unended = readMap(BaseLine + symbolLine("_f", "00401000", "f", "a.obj") + "\r\n" +
                             symbolLine("_g", "00401010", "f", "a.obj"));
    EXPECT_EQ(unended.nameList, "_f 1000\n");

    // A line of 21 characters is too short; one of 22 ending in .obj has no blank after
    // column 21; a CR as the very last byte ends the buffer without a following character.
    Result shortLines = readMap(BaseLine + QByteArray(21, 'x') + "\r\n" + QByteArray(18, ' ') +
                                "a.obj" + "\r\n" + QByteArray(18, ' ') + ".obj\r");
    EXPECT_TRUE(shortLines.functions.isEmpty());
    EXPECT_TRUE(shortLines.nameList.isEmpty());

    // The character after the CR is skipped whatever it is.
    Result crOther = readMap(BaseLine + symbolLine("_f", "00401000", "f", "a.obj") + "\rX" +
                             symbolLine("_g", "00401010", "f", "a.obj") + "\r\n");
    EXPECT_EQ(crOther.nameList, "_f 1000\n_g 1010\n");
}

TEST_F(MapReaderTest, NameListIsRewrittenFromTheStart)
{
    writeAll(dir.filePath("app_tq.map"), QByteArray(4096, 'z'));
    const Result r = readMap(BaseLine + symbolLine("_f", "00401000", "f", "a.obj") + "\r\n");
    EXPECT_EQ(r.nameList, "_f 1000\n");
}

TEST_F(MapReaderTest, MissingMapAndUnwritableNameList)
{
    const Result missing = readMapAt(dir.filePath("absent.map"));
    EXPECT_TRUE(missing.functions.isEmpty());
    EXPECT_TRUE(missing.nameList.isEmpty());

    // A folder where the name list should go: its lines are lost, the records are not.
    ASSERT_TRUE(QDir(dir.path()).mkdir("blocked_tq.map"));
    const Result blocked =
        readMap(BaseLine + symbolLine("_f", "00401000", "f", "a.obj") + "\r\n", "blocked.map");
    EXPECT_EQ(blocked.functions.size(), 1);
    EXPECT_TRUE(QFileInfo(dir.filePath("blocked_tq.map")).isDir());
}

// The maps of the image builder, checked against the header's preferred load address and a
// pattern for the linker's symbol lines.
class BuiltMapTest : public MapReaderTest, public ::testing::WithParamInterface<const char *>
{
};

TEST_P(BuiltMapTest, EveryFunctionLineOfTheMapIsListedInOrder)
{
    const QString name = GetParam();
    const QString mapPath = QStringLiteral(TQT_TEST_IMAGES_DIR "/%1/%1.map").arg(name);
    const QByteArray map = readAll(mapPath);
    ASSERT_FALSE(map.isEmpty()) << mapPath.toStdString();

    const QRegularExpression baseRe("Preferred load address is ([0-9a-f]{8})");
    const auto baseMatch = baseRe.match(QString::fromLatin1(map));
    ASSERT_TRUE(baseMatch.hasMatch());
    const quint32 base = baseMatch.captured(1).toUInt(nullptr, 16);

    const QRegularExpression lineRe(
        "^ [0-9a-f]{4}:[0-9a-f]{8} +(\\S+) +([0-9a-f]{8}) f +\\S+\\.obj$");
    QByteArray expected;
    int count = 0;
    for (const QByteArray &line : map.split('\n')) {
        const auto m = lineRe.match(QString::fromLatin1(line).chopped(line.endsWith('\r')));
        if (!m.hasMatch())
            continue;
        const quint32 rva = m.captured(2).toUInt(nullptr, 16) - base;
        expected += m.captured(1).toLatin1() + ' ' + QByteArray::number(rva, 16) + '\n';
        ++count;
    }
    ASSERT_GT(count, 5);

    const Result r = readMapAt(mapPath);
    EXPECT_EQ(r.nameList, expected);
    ASSERT_EQ(r.functions.size(), count);
    for (const FunctionInfo &f : r.functions)
        EXPECT_LT(f.address, 0x100000u) << "an RVA, not a full address";
}

INSTANTIATE_TEST_SUITE_P(Images, BuiltMapTest,
                         ::testing::Values("sample", "folded", "highbase", "sampledll"));
