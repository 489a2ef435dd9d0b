// The builder scripts: the shapes of Microsoft's linker that the reshaping gives a program
// database, and rebuilding only what changed.
#include "TestSupport.h"

#include <QDateTime>
#include <QRegularExpression>

namespace {

// The merged output of a program that is expected to end with the given exit code.
QString run(const QString &program, const QStringList &arguments, int expectedExit = 0)
{
    const TestSupport::RunOutput r = TestSupport::runProgram(program, arguments);
    EXPECT_EQ(r.exitCode, expectedExit) << r.out.toStdString();
    return r.out;
}

QString builder(const QString &script, const QStringList &arguments)
{
    return run(TQT_PYTHON, QStringList{TQT_IMAGEBUILDER_DIR "/" + script, "--clang", TQT_CLANG14,
                                       "--lld-link", TQT_LLD_LINK14} +
                               arguments);
}

// The reshaped databases against the sample's as llvm-pdbutil reads them: stale publics
// lengthen the symbol records but are no publics; the fast-link hashes have the bucket bitmap
// that LLVM refuses, the incremental one lld-link's; the header says how each was linked.
TEST(ImageBuilder, ReshapedDatabasesHaveMicrosoftsShapes)
{
    const auto pdb = [](const QString &image) {
        return TestSupport::builtImageDir(image) + "/" + image + ".pdb";
    };
    const auto size = [&pdb](const QString &image, const QString &stream) {
        const QRegularExpression line("(\\d+) bytes\\): \\[" + stream + "\\]");
        return line.match(run(TQT_PDBUTIL, {"dump", "-streams", pdb(image)})).captured(1).toLong();
    };
    const QString publics = run(TQT_PDBUTIL, {"dump", "-publics", "-public-extras", pdb("sample")});
    EXPECT_EQ(run(TQT_PDBUTIL, {"dump", "-publics", "-public-extras", pdb("msvcinc")}), publics);
    EXPECT_TRUE(run(TQT_PDBUTIL, {"dump", "-publics", pdb("msvcfast")}, 1)
                    .contains("Corrupted publics stream"));
    for (const QString image : {"msvcinc", "msvcfast"}) {
        EXPECT_GT(size(image, "Symbol Records"), size("sample", "Symbol Records"));
        for (const QString hash : {"Public Symbol Hash", "Global Symbol Hash"}) {
            const long growth = size(image, hash) - size("sample", hash), bitmap = 32768 - 516;
            // More buckets may take a chain each, at 4 bytes.
            EXPECT_TRUE(image == "msvcinc" ? growth == 0
                                           : growth >= bitmap && growth < bitmap + 4096)
                << hash.toStdString() << " grew by " << growth;
        }
        EXPECT_TRUE(run(TQT_PDBUTIL, {"dump", "-summary", pdb(image)})
                        .contains("incrementally linked: true"));
    }
}

TEST(ImageBuilder, RebuildsOnlyWhenInputsOrTheImageChange)
{
    QTemporaryDir dir;
    const QString src = dir.filePath("prog.cpp"), exe = dir.filePath("out/prog.exe");
    const auto build = [&] {
        builder("build_image.py", {"--name", "prog", "--out", dir.filePath("out"), src});
        return QFileInfo(exe).lastModified();
    };
    TestSupport::writeFile(src, "int one() { return 1; }\nint main() { return one(); }\n");
    const QDateTime first = build();
    const QByteArray built = TestSupport::readFile(exe);
    EXPECT_EQ(build(), first);
    // An image patched in place is not the one the builder made: it is made again.
    ASSERT_NE(built.at(0x200), '\x90');
    TestSupport::writeFile(exe, QByteArray(built).replace(0x200, 1, "\x90"));
    build();
    EXPECT_EQ(TestSupport::readFile(exe).at(0x200), built.at(0x200));
    TestSupport::writeFile(src, "int two() { return 2; }\nint main() { return two(); }\n");
    build();
    const QByteArray map = TestSupport::readFile(dir.filePath("out/prog.map"));
    EXPECT_TRUE(map.contains(" ?two@@YAHXZ ") && !map.contains(" ?one@@YAHXZ "));
}

} // namespace
