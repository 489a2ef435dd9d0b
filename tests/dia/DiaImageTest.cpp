// The reader over real images and program databases, read by the LLVM-backed data source.
#include "CoutCapture.h"
#include "Dia.h"
#include "DiaModule.h"
#include "PdbFacts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

using namespace TQ::EXTRACTORS::CPP::DIA;
using ::testing::ElementsAre;

namespace {

QString imageFile(const QString &image, const QString &suffix)
{
    return QStringLiteral(TQT_TEST_IMAGES_DIR "/%1/%1%2").arg(image, suffix);
}

std::unique_ptr<Dia> openImages(const QList<ModInfo> &infos)
{
    return std::unique_ptr<Dia>(static_cast<Dia *>(createDia(infos)));
}

std::unique_ptr<Dia> openImage(const QString &path, quint32 loadAddress = 0)
{
    return openImages(QList<ModInfo>() << ModInfo(loadAddress, path));
}

const FunctionInfo *findByName(const QList<const FunctionInfo *> &all, const QString &name,
                               int occurrence = 0)
{
    for (const FunctionInfo *f : all)
        if (f->name == name && occurrence-- == 0)
            return f;
    return nullptr;
}

QStringList names(const QList<ClassInfo *> &list)
{
    QStringList result;
    for (const ClassInfo *c : list)
        result << c->name;
    return result;
}

} // namespace

TEST(DiaOnImages, FindsThePenterHookAtItsMapAddress)
{
    for (const QString &image : {QStringLiteral("sample"), QStringLiteral("classes")}) {
        SCOPED_TRACE(image.toStdString());
        quint32 rva = 0;
        ASSERT_TRUE(mapSymbolRva(imageFile(image, ".map"), "__penter", rva));
        auto dia = openImage(imageFile(image, ".exe"));
        ASSERT_TRUE(dia->modules.first()->valid);
        CoutCapture out;
        const QList<SymbolAddress> found = dia->findSymbols(QStringList("__penter"), 10);
        ASSERT_EQ(found.size(), 1);
        EXPECT_EQ(found.first().address, rva);
        EXPECT_EQ(found.first().name, "__penter");
        // Two patterns for one symbol list it twice.
        const QList<SymbolAddress> twice = dia->findSymbols(QStringList() << "__penter"
                                                                          << "__pent*",
                                                            10);
        ASSERT_EQ(twice.size(), 2);
        EXPECT_EQ(twice.at(1).address, rva);
        EXPECT_TRUE(dia->findSymbols(QStringList("__penter_missing"), 10).isEmpty());
        EXPECT_TRUE(out.lines().isEmpty());
    }
}

TEST(DiaOnImages, DllSymbolsCarryTheLoadAddress)
{
    quint32 rva = 0;
    ASSERT_TRUE(mapSymbolRva(imageFile("sampledll", ".map"), "__penter", rva));
    auto dia = openImage(imageFile("sampledll", ".dll"), 0x10000000);
    const QList<SymbolAddress> found = dia->findSymbols(QStringList("__penter"), 10);
    ASSERT_EQ(found.size(), 1);
    EXPECT_EQ(found.first().address, 0x10000000 + rva);
}

TEST(DiaOnImages, SourceFilesAgreeWithTheLineTables)
{
    for (const QString &image : {QStringLiteral("sample"), QStringLiteral("classes")}) {
        SCOPED_TRACE(image.toStdString());
        const PdbFacts facts = PdbFacts::read(imageFile(image, ".pdb"));
        ASSERT_TRUE(facts.errors.isEmpty()) << facts.errors.join(", ").toStdString();
        auto dia = openImage(imageFile(image, ".exe"));
        CoutCapture out;
        // Every address of every procedure, asked in address order (how a resolve run asks),
        // backwards and shuffled: lookups start from the last one's place when they can.
        QList<QPair<quint32, QString>> expected;
        for (const PdbFacts::Procedure &p : facts.procedures) {
            const QList<PdbFacts::LineEntry> lines = facts.linesIn(p.rva, qMax(p.size, 1u));
            if (lines.isEmpty() || lines.first().rva != p.rva)
                continue;
            for (int i = 0; i < lines.size(); ++i) {
                // A record reaches to the next one, the last to the end of the procedure.
                const quint32 end = i + 1 < lines.size() ? lines[i + 1].rva : p.rva + p.size;
                for (quint32 rva = lines[i].rva; rva < end; ++rva)
                    expected.append(qMakePair(rva, lines[i].file));
            }
        }
        ASSERT_GT(expected.size(), 100);
        std::sort(expected.begin(), expected.end());
        QList<QPair<quint32, QString>> backwards(expected.rbegin(), expected.rend());
        QList<QPair<quint32, QString>> shuffled = expected;
        std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
        for (const auto *order : {&expected, &backwards, &shuffled})
            for (const auto &probe : *order)
                ASSERT_EQ(dia->sourceFileOf(probe.first), probe.second) << probe.first;
        // Past the end of the code there are no line records. A path without backslashes
        // is its own module name.
        const QString fallback = imageFile(image, ".exe") + ":???";
        EXPECT_EQ(dia->sourceFileOf(0x7fffffff), fallback);
        EXPECT_EQ(dia->sourceFileOf(0), fallback);
        EXPECT_TRUE(out.lines().isEmpty());
    }
}

TEST(DiaOnImages, AllFunctionInfosAgreeWithTheFunctionList)
{
    const PdbFacts facts = PdbFacts::read(imageFile("classes", ".pdb"));
    ASSERT_TRUE(facts.errors.isEmpty()) << facts.errors.join(", ").toStdString();
    auto dia = openImage(imageFile("classes", ".exe"));
    CoutCapture out;
    const QList<const FunctionInfo *> all = dia->allFunctionInfos();
    ASSERT_EQ(all.size(), facts.procedures.size());
    QMap<quint32, const FunctionInfo *> byStart;
    for (const FunctionInfo *f : all) {
        EXPECT_EQ(f->address, f->startAddress);
        byStart.insert(f->startAddress, f);
    }
    for (const PdbFacts::Procedure &p : facts.procedures) {
        SCOPED_TRACE(p.name.toStdString());
        const FunctionInfo *f = byStart.value(p.rva);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->name, p.name);
        const QList<PdbFacts::LineEntry> lines = facts.linesIn(p.rva, p.size);
        if (lines.isEmpty()) {
            EXPECT_EQ(f->firstLine, 0u);
            EXPECT_EQ(f->lastLine, 0u);
            EXPECT_EQ(f->sourceFile, "classes.exe:???");
        } else {
            EXPECT_EQ(f->firstLine, lines.first().line);
            EXPECT_EQ(f->lastLine, lines.last().line);
            EXPECT_EQ(f->sourceFile, lines.first().file);
        }
    }
    EXPECT_EQ(dia->allFunctionInfos(), all);
}

TEST(DiaOnImages, FunctionRecordsAreCachedAndInnerAddressesShareTheFunction)
{
    const PdbFacts facts = PdbFacts::read(imageFile("classes", ".pdb"));
    auto dia = openImage(imageFile("classes", ".exe"), 0x400000);
    const PdbFacts::Procedure *mainProc = nullptr;
    for (const PdbFacts::Procedure &p : facts.procedures)
        if (p.name == "main")
            mainProc = &p;
    ASSERT_NE(mainProc, nullptr);
    const QList<PdbFacts::LineEntry> lines = facts.linesIn(mainProc->rva, mainProc->size);
    ASSERT_GT(lines.size(), 2);

    const FunctionInfo *start = dia->functionInfo(0x400000 + mainProc->rva);
    EXPECT_EQ(dia->functionInfo(0x400000 + mainProc->rva), start);
    EXPECT_EQ(start->startAddress, 0x400000 + mainProc->rva);
    EXPECT_EQ(start->line, lines.first().line);

    const PdbFacts::LineEntry third = lines.at(2);
    const FunctionInfo *inner = dia->functionInfo(0x400000 + third.rva + 1);
    EXPECT_NE(inner, start);
    EXPECT_EQ(inner->address, 0x400000 + third.rva + 1);
    EXPECT_EQ(inner->line, third.line);
    EXPECT_EQ(inner->startAddress, start->startAddress);
    EXPECT_EQ(inner->firstLine, start->firstLine);
    EXPECT_EQ(inner->lastLine, start->lastLine);
    EXPECT_EQ(inner->name, start->name);
}

TEST(DiaOnImages, ClassWithBaseAndVirtualBase)
{
    auto dia = openImage(imageFile("classes", ".exe"));
    CoutCapture out;
    const QList<const FunctionInfo *> all = dia->allFunctionInfos();
    const FunctionInfo *value = findByName(all, "D::value");
    ASSERT_NE(value, nullptr);
    ASSERT_NE(value->classInfo, nullptr);
    const ClassInfo *d = value->classInfo;
    EXPECT_EQ(d->name, "D");
    ASSERT_THAT(d->bases.keys(), ElementsAre(0));
    EXPECT_THAT(names(d->bases.value(0)), ElementsAre("B"));
    // B holds 2 + 6 + 5 ints and 4 pointers: 68 bytes, then D's virtual-base pointer.
    ASSERT_THAT(d->virtualBases.keys(), ElementsAre(68));
    EXPECT_THAT(names(d->virtualBases.value(68)), ElementsAre("V"));
    const ClassInfo *b = d->bases.value(0).first();
    const ClassInfo *v = d->virtualBases.value(68).first();
    EXPECT_LT(b->id, d->id);
    EXPECT_LT(v->id, d->id);

    EXPECT_TRUE(d->methodNames.contains("value"));
    EXPECT_TRUE(d->methodNames.contains("make"));
    for (const QString &m : d->methodNames)
        EXPECT_FALSE(m.startsWith("D::")) << m.toStdString();
    EXPECT_TRUE(d->dataNames.contains("d"));
    EXPECT_TRUE(d->dataNames.contains("tag"));
    EXPECT_TRUE(b->dataNames.contains("count")); // static members too
    EXPECT_TRUE(v->dataNames.contains("label"));
    // Arrays of numbers and of pointers record nothing.
    EXPECT_TRUE(b->nestedUdts.isEmpty());
    EXPECT_EQ(b->size, 68u);

    // The same class from several functions: one description.
    const FunctionInfo *ctor = findByName(all, "D::D");
    ASSERT_NE(ctor, nullptr);
    EXPECT_EQ(ctor->classInfo, d);
    int named = 0;
    for (const ClassInfo *c : dia->classInfos())
        named += c->name == "D";
    EXPECT_EQ(named, 1);
    EXPECT_TRUE(out.lines().isEmpty()) << out.lines().join("\n").toStdString();
}

TEST(DiaOnImages, ClassArraysRecordEveryElement)
{
    auto dia = openImage(imageFile("dia_layout", ".exe"));
    const FunctionInfo *sum = findByName(dia->allFunctionInfos(), "Holder::sum");
    ASSERT_NE(sum, nullptr);
    ASSERT_NE(sum->classInfo, nullptr);
    const ClassInfo *holder = sum->classInfo;
    EXPECT_THAT(holder->nestedUdts.keys(), ElementsAre(8, 12, 16, 20, 24, 28));
    for (const QList<ClassInfo *> &list : holder->nestedUdts)
        EXPECT_THAT(names(list), ElementsAre("T"));
    EXPECT_TRUE(holder->dataNames.contains("total"));
    EXPECT_TRUE(holder->dataNames.contains("links"));
}

TEST(DiaOnImages, MethodKindsOfRealFunctions)
{
    auto dia = openImage(imageFile("classes", ".exe"));
    const QList<const FunctionInfo *> all = dia->allFunctionInfos();
    auto kindOf = [&all](const QString &name, int occurrence = 0) -> int {
        const FunctionInfo *f = findByName(all, name, occurrence);
        return f ? int(f->methodKind) : -1;
    };
    EXPECT_EQ(kindOf("D::D"), int(Constructor));
    EXPECT_EQ(kindOf("D::~D"), int(Destructor));
    // The second V::~V is the compiler's scalar deleting destructor.
    EXPECT_EQ(kindOf("V::~V", 1), int(Destructor));
    EXPECT_EQ(kindOf("D::value"), int(OrdinaryMethod));
    EXPECT_EQ(kindOf("Outer::Inner<int>::get"), int(OrdinaryMethod));
    EXPECT_EQ(kindOf("Outer::Inner<int>::Inner"), int(Constructor));
    EXPECT_EQ(kindOf("Outer::Inner<short>::~Inner"), int(Destructor));
    // A static member function is no this-call.
    EXPECT_EQ(kindOf("D::make"), int(NotAMethod));
    EXPECT_EQ(kindOf("main"), int(NotAMethod));

    const FunctionInfo *inner = findByName(all, "Outer::Inner<int>::get");
    ASSERT_NE(inner, nullptr);
    ASSERT_NE(inner->classInfo, nullptr);
    EXPECT_EQ(inner->classInfo->name, "Outer::Inner<int>");

    const FunctionInfo *second = findByName(all, "Multi::second");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->thisAdjust, 8);
    EXPECT_EQ(findByName(all, "Second::second")->thisAdjust, 0);
}

TEST(DiaOnImages, OneClassInTwoImagesIsOneDescription)
{
    auto dia = openImages(QList<ModInfo>() << ModInfo(0x10000000, imageFile("classes2", ".exe"))
                                           << ModInfo(0x400000, imageFile("classes", ".exe")));
    ASSERT_EQ(dia->modules.size(), 2);
    dia->allFunctionInfos();
    auto *first = dynamic_cast<DiaModule *>(dia->modules.at(0));
    auto *second = dynamic_cast<DiaModule *>(dia->modules.at(1));
    ASSERT_TRUE(first && second);
    ASSERT_NE(first->classCache.value("B"), nullptr);
    EXPECT_EQ(first->classCache.value("B"), second->classCache.value("B"));
    // V has another layout in the second program: two descriptions under one name.
    const QList<ClassInfo *> vs = dia->registry->byName.value("V");
    ASSERT_EQ(vs.size(), 2);
    EXPECT_NE(vs.at(0)->id, vs.at(1)->id);
    EXPECT_NE(first->classCache.value("V"), second->classCache.value("V"));
    int named = 0;
    for (const ClassInfo *c : dia->classInfos())
        named += c->name == "B";
    EXPECT_EQ(named, 1);
}

namespace {

// A copy of the classes image whose debug record names a program database that is not there,
// so that only the copy's own folder is searched.
class RelocatedImage : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QFile original(imageFile("classes", ".exe"));
        ASSERT_TRUE(original.open(QIODevice::ReadOnly));
        QByteArray bytes = original.readAll();
        const QByteArray from = "classes.pdb";
        const int at = bytes.indexOf(from);
        ASSERT_GE(at, 0);
        bytes.replace(at, from.size(), "missing.pdb");
        QFile copy(exePath());
        ASSERT_TRUE(copy.open(QIODevice::WriteOnly));
        ASSERT_EQ(copy.write(bytes), bytes.size());
    }

    QString exePath() const { return m_dir.filePath("classes.exe"); }
    QString pdbPath() const { return m_dir.filePath("missing.pdb"); }

    void expectInvalid()
    {
        CoutCapture out;
        auto dia = openImage(exePath());
        EXPECT_FALSE(dia->modules.first()->valid);
        EXPECT_TRUE(dia->findSymbols(QStringList("__penter"), 10).isEmpty());
        EXPECT_EQ(dia->sourceFileOf(0x1000), exePath() + ":???");
        EXPECT_TRUE(dia->allFunctionInfos().isEmpty());
        EXPECT_EQ(dia->functionInfo(0x1000)->sourceFile, exePath() + ":???");
        EXPECT_TRUE(out.lines().isEmpty()) << out.lines().join("\n").toStdString();
    }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(RelocatedImage, FindsTheDatabaseBesideTheImage)
{
    ASSERT_TRUE(QFile::copy(imageFile("classes", ".pdb"), pdbPath()));
    auto dia = openImage(exePath());
    EXPECT_TRUE(dia->modules.first()->valid);
    EXPECT_EQ(dia->findSymbols(QStringList("__penter"), 10).size(), 1);
}

TEST_F(RelocatedImage, WithoutDatabase)
{
    expectInvalid();
}

TEST_F(RelocatedImage, GarbageDatabase)
{
    QFile garbage(pdbPath());
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, '\x5a'));
    garbage.close();
    expectInvalid();
}

TEST_F(RelocatedImage, DatabaseOfAnotherProgram)
{
    ASSERT_TRUE(QFile::copy(imageFile("classes2", ".pdb"), pdbPath()));
    expectInvalid();
}

TEST(DiaOnImages, MissingImage)
{
    CoutCapture out;
    auto dia = openImage("C:\\nowhere\\prog.exe");
    EXPECT_FALSE(dia->modules.first()->valid);
    EXPECT_EQ(dia->sourceFileOf(0x1000), "prog.exe:???");
    EXPECT_EQ(dia->functionInfo(0x1000)->name, "prog.exe:0x00001000");
    EXPECT_TRUE(out.lines().isEmpty());
}
