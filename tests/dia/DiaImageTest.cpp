// The reader over real images and program databases, read by the LLVM-backed data source.
#include "CoutCapture.h"
#include "Dia.h"
#include "DiaModule.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <memory>
#include <random>

using namespace TQ::EXTRACTORS::CPP::DIA;

namespace {

QString imageFile(const QString &image, const QString &suffix = ".exe")
{
    return QStringLiteral(TQT_TEST_IMAGES_DIR "/%1/%1%2").arg(image, suffix);
}

std::unique_ptr<Dia> openImages(const QList<ModInfo> &infos)
{
    return std::unique_ptr<Dia>(static_cast<Dia *>(createDia(infos)));
}

const FunctionInfo *findByName(const QList<const FunctionInfo *> &all, const QString &name,
                               int occurrence = 0)
{
    for (const FunctionInfo *f : all)
        if (f->name == name && occurrence-- == 0)
            return f;
    return nullptr;
}

// Offsets and names, e.g. "0:B 68:V".
QString layout(const ClassInfo::OffsetMap &map)
{
    QStringList parts;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        for (const ClassInfo *c : it.value())
            parts << QStringLiteral("%1:%2").arg(it.key()).arg(c->name);
    return parts.join(' ');
}

// The file of every byte of code as llvm-pdbutil lists the line entries: an entry reaches to
// the next one of its function, the last one to the function's end. lld-link puts the code,
// section 1, at 0x1000.
QMap<quint32, QString> lineTable(const QString &pdb)
{
    QProcess pdbutil;
    pdbutil.start("llvm-pdbutil-14", {"dump", "-l", pdb});
    pdbutil.waitForFinished(60000);
    static const QRegularExpression block("^\\s+0001:([0-9A-F]{8})-([0-9A-F]{8}), line/addr");
    static const QRegularExpression entry("\\d+ ([0-9A-F]{8}) !");
    QMap<quint32, QMap<quint32, QString>> functions; // end -> entry -> file
    QString file;
    quint32 end = 0;
    for (const QString &line : QString::fromUtf8(pdbutil.readAllStandardOutput()).split('\n')) {
        const QRegularExpressionMatch b = block.match(line);
        if (line.contains(" (MD5: "))
            file = line.section(" (MD5: ", 0, 0);
        else if (b.hasMatch())
            end = b.captured(2).toUInt(nullptr, 16);
        for (auto it = entry.globalMatch(line); it.hasNext();)
            functions[end].insert(it.next().captured(1).toUInt(nullptr, 16), file);
    }
    QMap<quint32, QString> byRva;
    for (auto f = functions.cbegin(); f != functions.cend(); ++f)
        for (auto e = f->cbegin(); e != f->cend(); ++e)
            for (quint32 at = e.key(); at < (e + 1 == f->cend() ? f.key() : (e + 1).key()); ++at)
                byRva.insert(0x1000 + at, e.value());
    return byRva;
}

} // namespace

TEST(DiaOnImages, SourceFilesAgreeWithTheLineTablesInAnyOrder)
{
    for (const QString image : {"sample", "classes"}) {
        SCOPED_TRACE(image.toStdString());
        const QMap<quint32, QString> expected = lineTable(imageFile(image, ".pdb"));
        ASSERT_GT(expected.size(), 1000);
        auto dia = openImages({ModInfo(0x400000, imageFile(image))});
        // In address order (as a resolve run asks), backwards and shuffled: lookups start from
        // the last one's place when they can.
        QList<quint32> forwards = expected.keys(), shuffled = forwards;
        QList<quint32> backwards(forwards.rbegin(), forwards.rend());
        std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
        CoutCapture out;
        for (const QList<quint32> *order : {&forwards, &backwards, &shuffled})
            for (quint32 rva : *order)
                ASSERT_EQ(dia->sourceFileOf(0x400000 + rva), expected.value(rva)) << rva;
        EXPECT_EQ(dia->sourceFileOf(0x7fffffff), imageFile(image) + ":???");
        EXPECT_TRUE(out.lines().isEmpty());
    }
}

TEST(DiaOnImages, ClassesAndMethodsOfARealProgram)
{
    auto dia = openImages({ModInfo(0, imageFile("classes"))});
    CoutCapture out;
    const QList<const FunctionInfo *> all = dia->allFunctionInfos();
    const struct
    {
        const char *name;
        int occurrence;
        MethodKind kind;
        qint32 thisAdjust;
        const char *className;
    } cases[] = {
        {"D::D", 0, Constructor, 0, "D"},
        {"D::~D", 0, Destructor, 84, "D"}, // overrides of V take V's this: 84
        {"V::~V", 1, Destructor, 0, "V"},  // the compiler's scalar deleting destructor
        {"D::value", 0, OrdinaryMethod, 84, "D"},
        {"Outer::Inner<int>::get", 0, OrdinaryMethod, 0, "Outer::Inner<int>"},
        {"Outer::Inner<int>::Inner", 0, Constructor, 0, "Outer::Inner<int>"},
        {"Outer::Inner<short>::~Inner", 0, Destructor, 0, "Outer::Inner<short>"},
        {"D::make", 0, NotAMethod, 0, "D"}, // static: no this-call
        {"main", 0, NotAMethod, 0, ""},
        {"Multi::second", 0, OrdinaryMethod, 8, "Multi"},
        {"Second::second", 0, OrdinaryMethod, 0, "Second"},
    };
    for (const auto &c : cases) {
        const FunctionInfo *f = findByName(all, c.name, c.occurrence);
        ASSERT_NE(f, nullptr) << c.name;
        EXPECT_EQ(f->methodKind, quint32(c.kind)) << c.name;
        EXPECT_EQ(f->thisAdjust, c.thisAdjust) << c.name;
        EXPECT_EQ(f->classInfo ? f->classInfo->name : "", c.className) << c.name;
    }

    // B holds 2 + 6 + 5 ints and 4 pointers: 68 bytes, then D's virtual-base pointer.
    const ClassInfo *d = findByName(all, "D::value")->classInfo;
    EXPECT_EQ(layout(d->bases) + " / " + layout(d->virtualBases), "0:B / 68:V");
    // Every call the reader makes is one the data source answers.
    EXPECT_TRUE(out.lines().isEmpty()) << out.lines().join("\n").toStdString();
}

TEST(DiaOnImages, OneClassInTwoImagesIsOneDescriptionUnlessTheLayoutsDiffer)
{
    auto dia = openImages(
        {ModInfo(0x10000000, imageFile("classes2")), ModInfo(0x400000, imageFile("classes"))});
    dia->allFunctionInfos();
    const auto descriptions = [&dia](const QString &name) {
        return dia->registry->byName.value(name).size();
    };
    EXPECT_EQ(descriptions("B"), 1);
    // V has another layout in the second program.
    EXPECT_EQ(descriptions("V"), 2);
}
