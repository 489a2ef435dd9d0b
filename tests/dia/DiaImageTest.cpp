// The reader over real images and program databases, read by the LLVM-backed data source.
#include "DiaApi.h"
#include "TestSupport.h"

#include <QRegularExpression>

#include <algorithm>
#include <memory>
#include <random>

using namespace TQ::EXTRACTORS::CPP::DIA;

namespace {

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
        const QString path = TestSupport::builtImageDir(image) + "/" + image;
        const QMap<quint32, QString> expected = lineTable(path + ".pdb");
        ASSERT_GT(expected.size(), 1000);
        const std::unique_ptr<DiaApi> dia(createDia({ModInfo(0x400000, path + ".exe")}));
        // In address order (as a resolve run asks), backwards and shuffled: lookups start from
        // the last one's place when they can.
        QList<quint32> forwards = expected.keys(), shuffled = forwards;
        QList<quint32> backwards(forwards.rbegin(), forwards.rend());
        std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
        TestSupport::CoutCapture out;
        QStringList wrong;
        for (const QList<quint32> *order : {&forwards, &backwards, &shuffled})
            for (quint32 rva : *order)
                if (dia->sourceFileOf(0x400000 + rva) != expected.value(rva))
                    wrong << QString::number(rva, 16);
        EXPECT_TRUE(wrong.isEmpty())
            << wrong.size() << " wrong, at " << wrong.join(" ").toStdString();
        EXPECT_EQ(dia->sourceFileOf(0x7fffffff), path + ".exe:???");
        // The records of every function and class: each call the reader makes is answered.
        EXPECT_GT(dia->allFunctionInfos().size(), 10);
        EXPECT_EQ(out.text(), "");
    }
}
