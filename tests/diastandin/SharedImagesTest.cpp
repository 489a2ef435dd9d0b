// Every test image as the other tests take it for granted: its map in the Microsoft linker's
// layout, the hook calls where /Gh puts them, the load address, and the data source answering
// what llvm-pdbutil reads in the PDB. An image whose database has Microsoft's shapes, which
// llvm-pdbutil cannot always read, is compared with its twin's: the same image with lld-link's.
#include "../imagebuilder/ImageFiles.h"
#include "DiaApi.h"
#include "DiaSupport.h"

#include <QProcess>

#include <algorithm>
#include <memory>
#include <random>

using namespace DiaTest;
using namespace ImageFiles;
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

TEST(SharedImages, MapImageAndPdbAgreeWithEachOtherAndWithLlvmPdbutil)
{
    enum Hooks { Framed, SomeUnframed, None };
    const struct
    {
        const char *name;
        quint32 base;
        Hooks hooks;
    } images[] = {{"sample", 0x400000, Framed},     {"unframed", 0x400000, SomeUnframed},
                  {"folded", 0x400000, Framed},     {"sampledll", 0x10000000, Framed},
                  {"highbase", 0x80000000, Framed}, {"nopenter", 0x400000, None},
                  {"classes", 0x400000, Framed},    {"msvcinc", 0x400000, Framed},
                  {"msvcfast", 0x400000, Framed}};
    for (const auto &image : images) {
        SCOPED_TRACE(image.name);
        const QString base = TestSupport::builtImageDir(image.name) + "/" + image.name;
        const bool dll = image.base == 0x10000000;
        const QString file = base + (dll ? ".dll" : ".exe");
        const QByteArray pe = TestSupport::readFile(file);
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
        EXPECT_EQ(publics.keys("__penter").size(), image.hooks == None ? 0 : 1);

        // Every function found by its first and last byte, not by the one after it, where no
        // line record lies unless one starts there.
        QSet<DWORD> starts;
        for (const Symbol &f : children(dia.global.get(), SymTagFunction)) {
            const DWORD start = rvaOf(f.get()),
                        end = start + value<ULONGLONG>(f.get(), &IDiaSymbol::get_length).toUInt();
            starts.insert(start);
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

        // The map: the load address before every function, each function where the PDB has it.
        EXPECT_EQ(le(pe, le(pe, 0x3C) + 52), image.base);
        EXPECT_EQ((le(pe, le(pe, 0x3C) + 22, 2) & 0x2000) != 0, dll);
        const QList<MapSymbol> map = mapSymbols(TestSupport::readFile(base + ".map"));
        ASSERT_GT(map.size(), 3);
        EXPECT_TRUE(map[0].name == "___ImageBase" && map[0].address == image.base);
        const quint32 penter = publics.key("__penter") + image.base;
        int stubs = 0;
        for (const MapSymbol &s : map) {
            if (!s.function)
                continue;
            const quint32 rva = s.address - image.base;
            EXPECT_TRUE(publics.contains(rva, s.name) || starts.contains(rva))
                << s.name.toStdString();
            const bool stub = s.object == "crtstubs.obj";
            stubs += stub;
            const bool unframed =
                image.hooks == SomeUnframed &&
                (s.name == "_unframedAdd" || s.name == "?bump@Counter@Calc@@QAEHXZ");
            if (image.hooks == None && !stub) {
                EXPECT_EQ(bytesAt(pe, rva, 3), "\x55\x8B\xEC") << s.name.toStdString();
            } else if (image.hooks != None) {
                EXPECT_EQ(entryOf(pe, rva, penter - image.base), stub       ? Entry::NoHook
                                                                 : unframed ? Entry::Unframed
                                                                            : Entry::Framed)
                    << s.name.toStdString();
            }
        }
        EXPECT_GE(stubs, 3); // __penter, the entry point, operator new at least
        if (image.hooks != None) {
            EXPECT_EQ(bytesAt(pe, penter - image.base, 1), "\xC3"); // returns at once
        }
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
