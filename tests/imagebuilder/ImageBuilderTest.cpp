// The builder scripts on scratch builds: caching, refusals, the generator's count, and the
// shapes of Microsoft's linker that the reshaping gives a program database.
#include "ImageFiles.h"

#include <QProcess>

using namespace ImageFiles;

namespace {

// A script or tool's exit code and its merged output.
QPair<int, QString> run(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    const bool done = p.waitForFinished(300000);
    return {done && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAll())};
}

QPair<int, QString> builder(const QString &script, const QStringList &arguments)
{
    return run(TQT_PYTHON, QStringList{TQT_IMAGEBUILDER_DIR "/" + script, "--clang", TQT_CLANG14,
                                       "--lld-link", TQT_LLD_LINK14} +
                               arguments);
}

QString pdbutil(const QStringList &arguments, int expectedExit = 0)
{
    const auto [code, out] = run(TQT_PDBUTIL, arguments);
    EXPECT_EQ(code, expectedExit) << out.toStdString();
    return out;
}

// The sample rebuilt with lld-link's bucket count, and the two reshaped images, against the
// sample as llvm-pdbutil sees them: stale publics lie in the symbol record stream and are no
// publics; the fast-link hashes have the bucket bitmap that LLVM refuses; the header flags.
TEST(ImageBuilder, ReshapedDatabasesHaveMicrosoftsShapes)
{
    QTemporaryDir dir;
    const QString sample = TestSupport::builtImageDir("sample/sample");
    const auto reshaped =
        run(TQT_PYTHON, {TQT_IMAGEBUILDER_DIR "/msvc_pdb.py", "--from", sample + ".exe", "--name",
                         "usual", "--buckets", "4096", "--out", dir.path()});
    ASSERT_EQ(reshaped.first, 0) << reshaped.second.toStdString();
    const auto streams = [](const QString &pdb) {
        QMap<QString, long> sizes;
        static const QRegularExpression line("\\(\\s*(\\d+) bytes\\): \\[([^\\]]+)\\]");
        for (auto it = line.globalMatch(pdbutil({"dump", "-streams", pdb})); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            sizes.insert(m.captured(2), m.captured(1).toLong());
        }
        return sizes;
    };
    const QStringList listPublics = {"dump", "-publics", "-public-extras"};
    const QString samplePublics = pdbutil(listPublics + QStringList(sample + ".pdb"));
    const auto sampleSizes = streams(sample + ".pdb");
    const long bitmapGrowth = 32768 - 516;
    const struct
    {
        QString pdb;
        bool fastLink, stale;
    } cases[] = {{dir.filePath("usual.pdb"), false, false},
                 {TestSupport::builtImageDir("msvcinc/msvcinc.pdb"), false, true},
                 {TestSupport::builtImageDir("msvcfast/msvcfast.pdb"), true, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pdb.toStdString());
        const auto sizes = streams(c.pdb);
        // The bitmap grows; more buckets may take a chain each, at 4 bytes.
        for (const QString hash : {"Public Symbol Hash", "Global Symbol Hash"}) {
            const long growth = sizes.value(hash) - sampleSizes.value(hash);
            EXPECT_TRUE(c.fastLink ? growth >= bitmapGrowth && growth < bitmapGrowth + 4096
                                   : growth == 0)
                << hash.toStdString() << " grew by " << growth;
        }
        EXPECT_EQ(sizes.value("Symbol Records") > sampleSizes.value("Symbol Records"), c.stale);
        const QString listed = pdbutil(listPublics + QStringList(c.pdb), c.fastLink ? 1 : 0);
        EXPECT_EQ(listed.contains("Corrupted publics stream"), c.fastLink);
        EXPECT_TRUE(c.fastLink || listed == samplePublics);
        EXPECT_TRUE(pdbutil({"dump", "-summary", c.pdb})
                        .contains(c.stale ? "incrementally linked: true" : "linked: false"));
    }
}

TEST(ImageBuilder, RebuildsOnlyWhenInputsOrTheImageChange)
{
    QTemporaryDir dir;
    const QString src = dir.filePath("prog.cpp"), exe = dir.filePath("out/prog.exe");
    const QStringList build = {"--name", "prog", "--out", dir.filePath("out"), src};
    const auto built = [&] {
        const auto [code, out] = builder("build_image.py", build);
        EXPECT_EQ(code, 0) << out.toStdString();
        return QFileInfo(exe).lastModified();
    };
    TestSupport::writeFile(src, "int one() { return 1; }\nint main() { return one(); }\n");
    const QDateTime first = built();
    EXPECT_EQ(built(), first);
    // An image patched in place is not the one the builder made.
    QByteArray patched = TestSupport::readFile(exe);
    patched[0x200] = '\x90';
    TestSupport::writeFile(exe, patched);
    const QDateTime repaired = built();
    EXPECT_NE(repaired, first);
    TestSupport::writeFile(src, "int two() { return 2; }\nint main() { return two(); }\n");
    EXPECT_NE(built(), repaired);
    QStringList names;
    for (const MapSymbol &s : mapSymbols(TestSupport::readFile(dir.filePath("out/prog.map"))))
        names << s.name;
    EXPECT_TRUE(names.contains("?two@@YAHXZ") && !names.contains("?one@@YAHXZ"));

    // Refusals name what is wrong and leave no image.
    const struct
    {
        const char *source, *option, *told;
    } refused[] = {{"int main() { return 0; }\n", "--unframed=_nosuchfunction", "_nosuchfunction"},
                   {"int main() { return undeclared; }\n", "--base=12345", "aligned"}};
    for (const auto &c : refused) {
        QTemporaryDir scratch;
        TestSupport::writeFile(scratch.filePath("prog.cpp"), c.source);
        const auto [code, out] =
            builder("build_image.py", {"--name", "prog", "--out", scratch.filePath("out"), c.option,
                                       scratch.filePath("prog.cpp")});
        EXPECT_TRUE(code > 0 && out.contains(c.told) &&
                    !QFile::exists(scratch.filePath("out/prog.exe")))
            << c.told << ": " << out.toStdString();
    }
}

TEST(ImageBuilder, GeneratorMakesExactlyTheRequestedFunctionsAllHooked)
{
    QTemporaryDir dir;
    const auto [code, out] = builder("gen_synthetic.py", {"--functions", "77", "--per-file", "12",
                                                          "--jobs", "1", "--out", dir.path()});
    ASSERT_EQ(code, 0) << out.toStdString();
    const QByteArray pe = TestSupport::readFile(dir.filePath("synth77.exe"));
    const QList<MapSymbol> map = mapSymbols(TestSupport::readFile(dir.filePath("synth77.map")));
    quint32 penter = 0;
    for (const MapSymbol &s : map)
        penter = s.name == "__penter" ? s.address - 0x400000 : penter;
    QSet<QString> objects, kinds;
    int own = 0;
    for (const MapSymbol &s : map) {
        if (!s.function || s.object == "crtstubs.obj")
            continue;
        ++own;
        EXPECT_EQ(entryOf(pe, s.address - 0x400000, penter), Entry::Framed) << s.name.toStdString();
        objects << s.object;
        for (const char *prefix : {"??0", "??1", "??$", "_synth_", "?make@"})
            if (s.name.startsWith(prefix))
                kinds << prefix;
    }
    EXPECT_EQ(own, 77);
    EXPECT_EQ(objects.size(), 1 + (76 + 11) / 12); // main's file plus the full ones
    EXPECT_EQ(kinds.size(), 5);
}

} // namespace
