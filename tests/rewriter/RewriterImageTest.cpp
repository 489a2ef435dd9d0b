// Cleaning whole images from the test-image builder, every function of the map file.
#include "PeImage.h"

#include <exerewriter.h>

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

using namespace TQ::EXTRACTORS::CPP::COMMON;

namespace {

struct MapFunction
{
    QString name;
    QString object;
    quint32 rva;
};

// The function lines of a link.exe-layout map, with their RVAs.
QList<MapFunction> readMap(const QString &mapPath)
{
    QList<MapFunction> functions;
    const QString text = QString::fromLatin1(PeImage::read(mapPath));
    const QRegularExpression baseLine("Preferred load address is ([0-9a-fA-F]{8})");
    const QRegularExpression fLine("^ [0-9a-fA-F]{4}:[0-9a-fA-F]{8}\\s+(\\S+)\\s+([0-9a-fA-F]{8})"
                                   " f\\s+(\\S+)\\s*$");
    const quint32 base = baseLine.match(text).captured(1).toUInt(nullptr, 16);
    for (const QString &line : text.split("\r\n")) {
        const QRegularExpressionMatch m = fLine.match(line);
        if (m.hasMatch())
            functions << MapFunction{m.captured(1), m.captured(3),
                                     m.captured(2).toUInt(nullptr, 16) - base};
    }
    return functions;
}

struct ImageCase
{
    const char *name;
    QStringList unframed;
};

class RewriterImageTest : public ::testing::TestWithParam<ImageCase>
{
};

TEST_P(RewriterImageTest, CleansEveryHookedFunctionAndNothingElse)
{
    const QString name = GetParam().name;
    const QString built = QString(TQT_TEST_IMAGES_DIR) + "/" + name + "/" + name;
    ASSERT_TRUE(QFileInfo::exists(built + ".exe")) << "image not built: " << built.toStdString();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString image = dir.filePath(name + ".exe");
    ASSERT_TRUE(QFile::copy(built + ".exe", image));
    const QByteArray original = PeImage::read(image);

    const QList<MapFunction> functions = readMap(built + ".map");
    quint32 hook = 0;
    for (const MapFunction &f : functions)
        if (f.name == "__penter")
            hook = f.rva;
    ASSERT_NE(hook, 0u);
    ASSERT_GT(functions.size(), 5);

    const quint64 nops = 0x9090909090ull;
    std::unique_ptr<IExeRewriter> rewriter(createExeRewriter(image));
    rewriter->open();
    QSet<quint32> cleaned;
    int framed = 0, unframed = 0;
    for (const MapFunction &f : functions) {
        const bool hooked = f.object != "crtstubs.obj";
        const PatchResult expected = !hooked                                ? NotPatchable
                                     : cleaned.contains(f.rva)              ? AlreadyNops
                                     : GetParam().unframed.contains(f.name) ? PatchedUnframed
                                                                            : PatchedFramed;
        quint64 old = 0;
        const PatchResult result = rewriter->patchHookCall(f.rva, old, nops, hook);
        EXPECT_EQ(result, expected) << f.name.toStdString();
        if (result == PatchedFramed || result == PatchedUnframed) {
            EXPECT_EQ(old & 0xFF, 0xE8u);
            EXPECT_EQ(f.rva + 5 + quint32(old >> 8), hook) << "old bytes: not the hook call";
            EXPECT_EQ(old >> 40, 0u);
            cleaned << f.rva;
            ++(result == PatchedFramed ? framed : unframed);
        }
    }
    rewriter->close();
    EXPECT_EQ(unframed, GetParam().unframed.size());
    EXPECT_GT(framed, 3);

    const QByteArray after = PeImage::read(image);
    ASSERT_EQ(after.size(), original.size());
    int changed = 0, nopBytes = 0;
    for (int i = 0; i < after.size(); ++i)
        if (after[i] != original[i]) {
            ++changed;
            nopBytes += after[i] == '\x90';
        }
    EXPECT_EQ(changed, 5 * cleaned.size()); // checksum and everything else as they were
    EXPECT_EQ(nopBytes, changed);

    // A second run finds the NOPs it left.
    rewriter->open();
    for (quint32 rva : cleaned) {
        quint64 old = 0;
        EXPECT_EQ(rewriter->patchHookCall(rva, old, nops, hook), AlreadyNops);
        EXPECT_EQ(old, nops);
    }
    rewriter->close();
}

INSTANTIATE_TEST_SUITE_P(
    Built, RewriterImageTest,
    ::testing::Values(ImageCase{"sample", {}},
                      ImageCase{"unframed", {"_unframedAdd", "?bump@Counter@Calc@@QAEHXZ"}}),
    [](const ::testing::TestParamInfo<ImageCase> &info) { return std::string(info.param.name); });

} // namespace
