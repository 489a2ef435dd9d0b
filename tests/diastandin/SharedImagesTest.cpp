// The reader over the data source answering what llvm-pdbutil reads in the PDB, on
// representative test images. An image whose database has Microsoft's shapes, which
// llvm-pdbutil cannot always read, is compared with its twin's: the same image with lld-link's.
#include "DiaApi.h"
#include "DiaInterfaces.h"
#include "TestSupport.h"

#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <memory>
#include <random>

using namespace TQ::EXTRACTORS::CPP::DIA;

namespace {

QString pdbutil(const QStringList &arguments)
{
    return TestSupport::runProgram(DS_PDBUTIL, arguments, false).out;
}

// Publics (name by RVA), functions (length by RVA), the line and file at each line record's
// start (by RVA) and the file of every byte of code, as llvm-pdbutil lists them, section:offset
// turned into RVAs. A line entry reaches to the next one of its block, the last one to the
// block's end.
void pdbutilSays(const QString &pdb, QMultiMap<DWORD, QString> &publics,
                 QMap<DWORD, DWORD> &functions, QMultiMap<DWORD, QPair<DWORD, QString>> &lines,
                 QMap<DWORD, QString> &fileAt)
{
    QList<DWORD> sections = {0};
    static const QRegularExpression va("^\\s*([0-9A-F]+) virtual address$",
                                       QRegularExpression::MultilineOption);
    for (auto it = va.globalMatch(pdbutil({"dump", "-section-headers", pdb})); it.hasNext();)
        sections.append(it.next().captured(1).toUInt(nullptr, 16));
    const auto rva = [&](const QString &section, const QString &offset, int base) {
        return sections.value(section.toInt(nullptr, base)) + offset.toUInt(nullptr, base);
    };
    static const QRegularExpression pub(
        "S_PUB32 \\[size = \\d+\\] `(.*)`\\n.*addr = (\\d+):(\\d+)");
    for (auto it = pub.globalMatch(pdbutil({"dump", "-publics", pdb})); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        publics.insert(rva(m.captured(2), m.captured(3), 10), m.captured(1));
    }
    static const QRegularExpression proc(
        "S_[GL]PROC32 .*\\n.*addr = (\\d+):(\\d+), code size = (\\d+)");
    for (auto it = proc.globalMatch(pdbutil({"dump", "-symbols", pdb})); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        functions.insert(rva(m.captured(1), m.captured(2), 10), m.captured(3).toUInt());
    }
    static const QRegularExpression file("^(/\\S+) \\(MD5"),
        block("^\\s+([0-9A-F]{4}):[0-9A-F]{8}-([0-9A-F]{8}), line/addr");
    static const QRegularExpression entry("(\\d+) ([0-9A-F]{8}) !");
    QString current, section;
    DWORD end = 0;
    QMap<DWORD, QString> entries; // those of the current block
    const auto fill = [&] {
        for (auto e = entries.cbegin(); e != entries.cend(); ++e)
            for (DWORD at = e.key(); at < (e + 1 == entries.cend() ? end : (e + 1).key()); ++at)
                fileAt.insert(at, e.value());
        entries.clear();
    };
    for (const QString &line : pdbutil({"dump", "-l", pdb}).split('\n')) {
        if (const auto m = file.match(line); m.hasMatch())
            current = m.captured(1);
        if (const auto m = block.match(line); m.hasMatch()) {
            fill();
            section = m.captured(1);
            end = rva(section, m.captured(2), 16);
        }
        for (auto it = entry.globalMatch(line); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            const DWORD at = rva(section, m.captured(2), 16);
            lines.insert(at, {m.captured(1).toUInt(), current});
            entries.insert(at, current);
        }
    }
    fill();
}

// A DLL at its own load address, one above 2 GB, the classes of C++, and the databases in
// Microsoft's shapes (stale publics of an incremental link, fast-link hashes).
TEST(SharedImages, PublicsLinesAndSourceFilesAreWhatLlvmPdbutilReads)
{
    const struct
    {
        const char *name;
        quint32 base;
    } images[] = {{"sampledll", 0x10000000},
                  {"highbase", 0x80000000},
                  {"classes", 0x400000},
                  {"msvcinc", 0x400000},
                  {"msvcfast", 0x400000}};
    for (const auto &image : images) {
        SCOPED_TRACE(image.name);
        const QString file = TestSupport::builtImageDir(image.name) + "/" + image.name +
                             (image.base == 0x10000000 ? ".dll" : ".exe");
        QMultiMap<DWORD, QString> publics;
        QMap<DWORD, DWORD> functions;
        QMultiMap<DWORD, QPair<DWORD, QString>> lines;
        QMap<DWORD, QString> fileAt;
        const QString twin = QString(image.name).startsWith("msvc") ? "sample" : image.name;
        pdbutilSays(TestSupport::builtImageDir(twin) + "/" + twin + ".pdb", publics, functions,
                    lines, fileAt);
        // The line index is built first, as a resolve run does, or at the first lookup.
        const std::unique_ptr<DiaApi> reader(createDia({ModInfo(image.base, file)}));
        if ((&image - images) % 2)
            reader->buildLineIndex();
        QStringList got, want;
        for (const SymbolAddress &p : reader->findSymbols({"*"}, SymTagPublicSymbol))
            got << QString::number(p.address - image.base, 16) + " " + p.name;
        for (auto p = publics.cbegin(); p != publics.cend(); ++p)
            want << QString::number(p.key(), 16) + " " + p.value();
        got.sort();
        want.sort();
        EXPECT_GT(got.size(), 10);
        EXPECT_EQ(got, want);

        // Every function's record is answered; of a fast-link database no type is taken, and
        // each record says so.
        TestSupport::CoutCapture out;
        const int count = reader->allFunctionInfos().size();
        const bool untyped = QString(image.name) == "msvcfast";
        EXPECT_EQ(count, functions.size());
        EXPECT_EQ(
            out.text(),
            QString(untyped ? "error: could not resolve function type\n" : "").repeated(count));

        // Every function found by its first and last byte, not by the one after it; each line
        // record by its first byte alone, as the PDB has it (folded functions have one each at
        // their address).
        const auto startOf = [&](DWORD rva) {
            return reader->functionInfo(image.base + rva)->startAddress - image.base;
        };
        for (auto f = functions.cbegin(); f != functions.cend(); ++f) {
            EXPECT_EQ(startOf(f.key()), f.key());
            EXPECT_EQ(startOf(f.key() + f.value() - 1), f.key());
            EXPECT_NE(startOf(f.key() + f.value()), f.key());
        }
        for (const DWORD rva : lines.uniqueKeys()) {
            const FunctionInfo *f = reader->functionInfo(image.base + rva);
            EXPECT_TRUE(lines.values(rva).contains({f->line, f->sourceFile})) << rva;
        }

        // The source file of every byte from the first line record's to the last one's, asked
        // in address order (as a resolve run asks) and shuffled: a lookup starts from the last
        // one's place when it can.
        QList<DWORD> order, shuffled;
        for (DWORD rva = fileAt.firstKey(); rva <= fileAt.lastKey(); ++rva)
            order << rva;
        shuffled = order;
        std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
        const QString none = file + ":???"; // no backslash: the whole path names the module
        QStringList wrong;
        for (const DWORD rva : order + shuffled)
            if (reader->sourceFileOf(image.base + rva) != fileAt.value(rva, none))
                wrong << QString::number(rva, 16);
        EXPECT_TRUE(wrong.isEmpty())
            << wrong.size() << " wrong: " << wrong.join(' ').left(200).toStdString();
    }
}

// Folded functions: one address, several names; the function and the line found there agree.
TEST(SharedImages, FoldedFunctionsShareAnAddressAndAnswerAsOne)
{
    const std::unique_ptr<DiaApi> reader(
        createDia({ModInfo(0x400000, TestSupport::builtImageDir("folded/folded.exe"))}));
    QSet<quint32> addresses;
    for (const SymbolAddress &p : reader->findSymbols(
             {"?addSeven@@YAHH@Z", "?plusSeven@@YAHH@Z", "_sevenMore"}, SymTagPublicSymbol))
        addresses.insert(p.address);
    ASSERT_EQ(addresses.size(), 1);
    const FunctionInfo *f = reader->functionInfo(*addresses.begin());
    EXPECT_EQ(reader->functionInfo(f->address + 1)->name, f->name);
    const QMap<QString, quint32> lineOf = {{"addSeven", 3}, {"plusSeven", 8}, {"sevenMore", 13}};
    quint32 line = 0;
    for (auto it = lineOf.cbegin(); it != lineOf.cend(); ++it)
        line = f->name.contains(it.key()) ? it.value() : line;
    EXPECT_EQ(f->line, line) << f->name.toStdString();
}

} // namespace
