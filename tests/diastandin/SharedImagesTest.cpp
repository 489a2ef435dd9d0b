// The data source answering what llvm-pdbutil reads in the PDB, on representative test images.
// An image whose database has Microsoft's shapes, which llvm-pdbutil cannot always read, is
// compared with its twin's: the same image with lld-link's.
#include "DiaApi.h"
#include "DiaSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <memory>
#include <random>

using namespace DiaTest;
using TQ::EXTRACTORS::CPP::DIA::createDia;
using TQ::EXTRACTORS::CPP::DIA::DiaApi;
using TQ::EXTRACTORS::CPP::DIA::ModInfo;

namespace {

QString pdbutil(const QStringList &arguments)
{
    return TestSupport::runProgram(DS_PDBUTIL, arguments, false).out;
}

// Publics (name by RVA), the line and file at each line record's start (by RVA) and the file of
// every byte of code, as llvm-pdbutil lists them, section:offset turned into RVAs. A line entry
// reaches to the next one of its block, the last one to the block's end.
void pdbutilSays(const QString &pdb, QMultiMap<DWORD, QString> &publics,
                 QMultiMap<DWORD, QPair<DWORD, QString>> &lines, QMap<DWORD, QString> &fileAt)
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
        const QString base = TestSupport::builtImageDir(image.name) + "/" + image.name;
        const QString file = base + (image.base == 0x10000000 ? ".dll" : ".exe");
        Dia dia;
        ASSERT_TRUE(dia.open(file));
        QMultiMap<DWORD, QString> publics;
        QMultiMap<DWORD, QPair<DWORD, QString>> lines;
        QMap<DWORD, QString> fileAt;
        const QString twin = QString(image.name).startsWith("msvc") ? "sample" : image.name;
        pdbutilSays(TestSupport::builtImageDir(twin) + "/" + twin + ".pdb", publics, lines, fileAt);
        QStringList got, want;
        for (const Symbol &p : children(dia.global.get(), SymTagPublicSymbol))
            got << QString::number(rvaOf(p.get()), 16) + " " + nameOf(p.get());
        for (auto p = publics.cbegin(); p != publics.cend(); ++p)
            want << QString::number(p.key(), 16) + " " + p.value();
        got.sort();
        want.sort();
        EXPECT_GT(got.size(), 10);
        EXPECT_EQ(got, want);

        // Every function found by its first and last byte, not by the one after it, where no
        // line record lies unless one starts there.
        for (const Symbol &f : children(dia.global.get(), SymTagFunction)) {
            const DWORD start = rvaOf(f.get()),
                        end = start + value<ULONGLONG>(f.get(), &IDiaSymbol::get_length).toUInt();
            for (DWORD rva : {start, end - 1, end}) {
                Symbol found;
                dia.session->findSymbolByRVA(rva, SymTagFunction, found.receive());
                EXPECT_EQ(rvaOf(found.get()) == start, rva != end) << nameOf(f.get()).toStdString();
            }
            EXPECT_TRUE(lines.contains(end) || linesOf(dia.session.get(), end, 1).isEmpty()) << end;
        }

        // Each line record found by its first byte alone, as the PDB has it (folded functions
        // have one each at their address).
        for (const DWORD rva : lines.uniqueKeys()) {
            const auto found = linesOf(dia.session.get(), rva, 1);
            EXPECT_TRUE(found.size() == 1 && lines.values(rva).contains(found[0])) << rva;
        }

        // The reader's source file of every byte of code, asked in address order (as a resolve
        // run asks) and shuffled: a lookup starts from the last one's place when it can. The line
        // index is built first, as a resolve run does, or at the first lookup. Every call the
        // reader makes for the records of each function and class is answered.
        const std::unique_ptr<DiaApi> reader(createDia({ModInfo(image.base, file)}));
        if ((&image - images) % 2) {
            reader->buildLineIndex();
        }
        QList<DWORD> order = fileAt.keys(), shuffled = order;
        std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
        QStringList wrong;
        TestSupport::CoutCapture out;
        for (const DWORD rva : order + shuffled)
            if (reader->sourceFileOf(image.base + rva) != fileAt.value(rva))
                wrong << QString::number(rva, 16);
        EXPECT_TRUE(wrong.isEmpty())
            << wrong.size() << " wrong: " << wrong.join(' ').left(200).toStdString();
        // Of a fast-link database no type is taken: each function's record says so.
        const int functions = reader->allFunctionInfos().size();
        const bool untyped = QString(image.name) == "msvcfast";
        EXPECT_GT(functions, 3);
        EXPECT_EQ(
            out.text(),
            QString(untyped ? "error: could not resolve function type\n" : "").repeated(functions));
    }
}

// Folded functions: one address, several names; the function and the line found there agree.
TEST(SharedImages, FoldedFunctionsShareAnAddressAndAnswerAsOne)
{
    Dia dia;
    ASSERT_TRUE(dia.open(TestSupport::builtImageDir("folded/folded.exe")));
    QSet<DWORD> rvas;
    for (const char *name : {"?addSeven@@YAHH@Z", "?plusSeven@@YAHH@Z", "_sevenMore"})
        rvas.insert(rvaOf(children(dia.global.get(), SymTagPublicSymbol, name).at(0).get()));
    ASSERT_EQ(rvas.size(), 1);
    const DWORD rva = *rvas.begin();
    Symbol found, again;
    ASSERT_EQ(dia.session->findSymbolByRVA(rva + 1, SymTagFunction, found.receive()), S_OK);
    ASSERT_EQ(dia.session->findSymbolByRVA(rva, SymTagFunction, again.receive()), S_OK);
    EXPECT_EQ(value(again.get(), &IDiaSymbol::get_symIndexId),
              value(found.get(), &IDiaSymbol::get_symIndexId));
    const QMap<QString, DWORD> lineOf = {{"addSeven", 3}, {"plusSeven", 8}, {"sevenMore", 13}};
    const auto lines = linesOf(dia.session.get(), rva, 1);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0].first, lineOf.value(nameOf(found.get()), 0))
        << nameOf(found.get()).toStdString();
}

// Both runs of the built tool on the sample with its database in Microsoft's shapes record
// what the sample with lld-link's database gives.
TEST(SharedImages, MsvcShapedDatabasesGiveTheToolWhatTheUsualOneGives)
{
    const auto cleanAndResolve = [](const QString &image) {
        TestSupport::Scratch scratch;
        const QString exe = scratch.copyImage(image), db = scratch.path("project.db");
        EXPECT_EQ(scratch.run({exe, db, TestSupport::VsCommon}).exitCode, 0);
        EXPECT_EQ(scratch
                      .run({"--resolve", exe, scratch.path("cwd/" + image + "_tq.map"), db,
                            TestSupport::VsCommon})
                      .exitCode,
                  0);
        return TestSupport::readEntries(db).values();
    };
    const auto usual = cleanAndResolve("sample");
    ASSERT_GT(usual.size(), 10);
    ASSERT_TRUE(std::any_of(usual.begin(), usual.end(), [](const TestSupport::Entry &e) {
        return e.name == "_main" && e.sourceFile.endsWith("/examples/sample/main.cpp");
    }));
    for (const QString shaped : {"msvcinc", "msvcfast"})
        EXPECT_EQ(cleanAndResolve(shaped), usual) << shaped.toStdString();
}

} // namespace
