// The rewriter on hand-made images with the cases no linker writes (thunks, broken headers, short
// raw data): the sites it patches, the five failure points, and journals left by stopped writers.
// (Failed and stopped runs, and a file cut short under the mapping, are met end to end.)
#include "PeBuilder.h"
#include "TestSupport.h"

#include <PatchFileMap.h>
#include <PatchJournal.h>
#include <PeHeaders.h>
#include <exerewriter.h>

#include <QRegularExpression>

#include <memory>
#include <set>

using namespace TQ::EXTRACTORS::CPP::COMMON;
using namespace TestSupport;
using namespace PeBuilder;
namespace FM = TQ::PLATFORM::FILEMAP;

namespace {

const quint32 Hook = 0x1000;
const quint64 NewBytes = 0x1122334455ull; // written as 55 44 33 22 11
const quint64 Nops = 0x9090909090ull;
const quint64 Untouched = 0xDEADBEEFull;

// .text and .rdata back to back, a gap, a section whose raw data is followed by the next one's, a
// section of virtual size 0, one of pages, and a last section whose raw data (which ends the file)
// is shorter than its virtual size.
const QList<Section> Layout = [] {
    Section text{0x1000, 0x100, 0x200, QByteArray("\xC3", 1)};
    place(text.bytes, 0x10, call(0x1010, Hook, Frame));
    place(text.bytes, 0x20, call(0x1020, Hook, QByteArray("\x55\x8B\xE5", 3)));
    place(text.bytes, 0x30, call(0x1030, 0x1080, Frame));
    place(text.bytes, 0x40, call(0x1040, 0x1088, Frame));
    place(text.bytes, 0x50, call(0x1050, 0x1010, Frame));
    place(text.bytes, 0x60, QByteArray("\x90\x90\x90\x90\xAB\x55\x8B\xEC", 8));
    place(text.bytes, 0x68, QByteArray("\x55\x8B\xEC\x90", 4));
    place(text.bytes, 0x70, QByteArray("\x90\x90\x90\xC3", 4));
    place(text.bytes, 0x80, call(0x1080, Hook, {}, char(0xE9)));
    place(text.bytes, 0x88, call(0x1088, 0x1020, {}, char(0xE9)));
    place(text.bytes, 0x90, call(0x1090, 0x1080, {}, char(0xE9))); // a jump to the jump to the hook
    place(text.bytes, 0x98, call(0x1098, 0x1090, Frame));
    place(text.bytes, 0xA8, QByteArray(5, char(0x90)));
    place(text.bytes, 0xF8, call(0x10F8, Hook, Frame));
    Section rdata{0x1100, 0x80, 0x200, call(0x1100, Hook, Frame)};
    place(rdata.bytes, 0x10, call(0x1110, 0x1080, Frame));
    Section midShort{0x6000, 0x800, 0x200};
    place(midShort.bytes, 0x1FB, call(0x61FB, Hook));
    Section empty{0x5000, 0, 0x200, Frame}; // not the frame of the call before it
    Section big{0x8000, 0x2000, 0x2000};
    place(big.bytes, 0x1F00, call(0x9F00, Hook, Frame));
    Section shortRaw{0x3000, 0x1000, 0x200, call(0x3000, Hook, Frame)};
    place(shortRaw.bytes, 0x1FB, call(0x31FB, Hook));
    return QList<Section>{text, rdata, midShort, empty, big, shortRaw};
}();

// The file offset of an rva from its section's header, without the rewriter's bounds rule.
int offsetOf(const QByteArray &image, quint32 rva)
{
    TQ::PLATFORM::PE::PeHeaders pe;
    pe.read(reinterpret_cast<const uint8_t *>(image.constData()), quint64(image.size()));
    const TQ::PLATFORM::PE::Section *s = pe.sectionOf(rva);
    return s ? int(rva - s->virtualAddress + s->rawPointer) : -1;
}

class RewriterTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(writeFile(path, original)); }

    QByteArray closedImage()
    {
        rewriter->close();
        return readFile(path);
    }

    // The source line named by the open error of file, after checking the rest of the message
    // and that nothing is left open or mapped; -1 when open succeeds.
    int failureLine(const QString &file)
    {
        std::unique_ptr<IExeRewriter> r(createExeRewriter(file));
        try {
            r->open();
        } catch (const std::exception &e) {
            const auto m =
                QRegularExpression("^Error opening \"" + QRegularExpression::escape(file) +
                                   "\" for patching at .*/patchtools/"
                                   "exerewriter\\.cpp:(\\d+)$")
                    .match(QString::fromUtf8(e.what()));
            EXPECT_TRUE(m.hasMatch()) << e.what();
            EXPECT_EQ(descriptorsTo(file), 0);
            EXPECT_FALSE(mapped(file));
            return m.hasMatch() ? m.captured(1).toInt() : -1;
        }
        ADD_FAILURE() << "open succeeded on " << file.toStdString();
        return -1;
    }

    // Patches 0x1010 (twice, as folded names do: the second changes nothing and is not
    // journaled), 0x1020 and 0x3000, applies and ends; returns the image and keeps the journal as
    // they stood after applying, which is what a writer stopped there leaves.
    QByteArray stopAfterApplying()
    {
        rewriter->open();
        rewriter->beginJournaledWrites();
        quint64 old = 0;
        for (const quint32 rva : {0x1010u, 0x1010u, 0x1020u, 0x3000u})
            rewriter->patchHookCall(rva, old, Nops, Hook);
        EXPECT_TRUE(readFile(path) == original) << "written before the journal";
        EXPECT_FALSE(QFileInfo::exists(journal));
        rewriter->applyJournaledWrites();
        const QByteArray patched = readFile(path);
        journalBytes = readFile(journal);
        rewriter->endJournaledWrites();
        EXPECT_FALSE(QFileInfo::exists(journal));
        EXPECT_TRUE(closedImage() == patched);
        return patched;
    }

    // Opens with the given image and journal; returns what open() said.
    std::string openWith(const QByteArray &bytes, const QByteArray &journalBytes)
    {
        writeFile(path, bytes);
        writeFile(journal, journalBytes);
        CoutCapture out;
        rewriter->open();
        rewriter->close();
        EXPECT_FALSE(QFileInfo::exists(journal));
        return out.text().toStdString();
    }

    QTemporaryDir dir;
    const QString path = dir.filePath("image.exe");
    const QString journal = PatchJournal::pathFor(path);
    const QByteArray original = build(Layout);
    QByteArray journalBytes;
    std::unique_ptr<IExeRewriter> rewriter{createExeRewriter(path)};
};

TEST_F(RewriterTest, PatchCases)
{
    const struct
    {
        const char *name;
        quint32 rva;
        PatchResult expected;
    } cases[] = {{"direct framed", 0x1010, PatchedFramed},
                 {"direct unframed", 0x1020, PatchedUnframed},
                 {"thunk to hook", 0x1030, PatchedFramed},
                 {"thunk to thunk to hook", 0x1098, NotPatchable},
                 {"thunk elsewhere", 0x1040, NotPatchable},
                 {"target not a thunk", 0x1050, NotPatchable},
                 {"five NOPs", 0x10A8, AlreadyNops},
                 {"four NOPs and another byte", 0x1060, NotPatchable},
                 {"not a call", 0x1068, NotPatchable},
                 {"three NOPs only", 0x1070, NotPatchable},
                 {"last bytes of section", 0x10F8, PatchedFramed},
                 {"start of next section", 0x1100, PatchedFramed},
                 {"thunk in another section", 0x1110, NotPatchable},
                 {"below first section", 0x0FFF, NotPatchable},
                 {"in gap", 0x2000, NotPatchable},
                 {"end of last section before gap", 0x1180, NotPatchable},
                 {"virtual size zero", 0x5000, NotPatchable},
                 {"start of short raw section", 0x3000, PatchedFramed},
                 {"five bytes end raw data and file", 0x31FB, PatchedUnframed},
                 {"straddles end of raw data and file", 0x31FC, NotPatchable},
                 {"ends raw data before next raw data", 0x61FB, PatchedUnframed},
                 {"straddles into next raw data", 0x61FC, NotPatchable},
                 {"beyond raw before next raw data", 0x6200, NotPatchable},
                 {"past last section", 0x7000, NotPatchable},
                 {"highest rva", 0xFFFFFFFF, NotPatchable}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(writeFile(path, original));
        rewriter->open();
        quint64 oldBytes = Untouched;
        // Bits above 39 of the new bytes are not part of the instruction.
        EXPECT_EQ(rewriter->patchHookCall(c.rva, oldBytes, NewBytes | ~0ull << 40, Hook),
                  c.expected);
        QByteArray expected = original;
        quint64 expectedOld = Untouched;
        if (c.expected != NotPatchable) {
            const int at = offsetOf(original, c.rva);
            expectedOld = 0;
            for (int i = 4; i >= 0; --i)
                expectedOld = (expectedOld << 8) | uchar(original[at + i]);
            expected.replace(at, 5, QByteArray("\x55\x44\x33\x22\x11", 5));
        }
        EXPECT_EQ(oldBytes, expectedOld);
        EXPECT_TRUE(closedImage() == expected);
    }
}

TEST_F(RewriterTest, WriteBytesOnlyInsideRawDataAndTheFile)
{
    rewriter->open();
    for (const quint32 rva : {0x0FFFu, 0x5000u, 0x31FCu, 0x61FCu, 0x6200u, 0xABCDEF01u}) {
        try {
            rewriter->writeBytes(rva, NewBytes);
            ADD_FAILURE() << "written at " << std::hex << rva;
        } catch (const std::exception &e) {
            EXPECT_EQ(QString(e.what()), "patch failed for addr: " + QString::number(rva, 16));
        }
    }
    rewriter->writeBytes(0x1068, NewBytes); // without any check of what stands there
    QByteArray expected = original;
    expected.replace(offsetOf(original, 0x1068), 5, QByteArray("\x55\x44\x33\x22\x11", 5));
    EXPECT_TRUE(closedImage() == expected);

    // Raw data that the section table claims beyond the end of the file.
    ASSERT_TRUE(writeFile(path, original.left(original.size() - 0x100)));
    rewriter->open();
    quint64 oldBytes = Untouched;
    EXPECT_EQ(rewriter->patchHookCall(0x3000, oldBytes, NewBytes, Hook), PatchedFramed);
    EXPECT_EQ(rewriter->patchHookCall(0x31FB, oldBytes, NewBytes, Hook), NotPatchable);
    EXPECT_THROW(rewriter->writeBytes(0x30FC, NewBytes), std::runtime_error);
    EXPECT_EQ(closedImage().size(), original.size() - 0x100);
}

TEST_F(RewriterTest, FivePointsFiveLines)
{
    const auto broken = [&](int size, int at = -1, quint32 value = 0, int length = 4) {
        QByteArray bytes = original.left(size);
        if (at >= 0)
            put(bytes, at, value, length);
        const QString file = dir.filePath(QString("broken%1.exe").arg(qHash(bytes)));
        EXPECT_TRUE(writeFile(file, bytes));
        return failureLine(file);
    };
    const int all = original.size();
    // No second substitution, and the path in UTF-8.
    const int open1 =
        failureLine(dir.filePath(QString::fromUtf8("missing%2%1_\xC3\xA4\xE2\x82\xAC.exe")));
    const int open2 = broken(0); // an empty file cannot be mapped
    FM::FileMapCalls failingView;
    failingView.mapViewOfFile = [](FM::Handle) -> unsigned char * { return nullptr; };
    FM::setFileMapCalls(&failingView);
    const int open3 = failureLine(path);
    FM::setFileMapCalls(nullptr);
    const int open4 = broken(all, 0, 'X', 1);
    EXPECT_EQ(broken(0x30), open4); // MZ, but e_lfanew is past the end
    const int open5 = broken(all, NtOffset, 'X', 1);
    for (const int wrong : {broken(all, 0x3C, ~1u), broken(SectionTableOffset + 20),
                            broken(all, NtOffset + 6, 0xFFFF, 2)})
        EXPECT_EQ(wrong, open5);
    EXPECT_EQ((std::set<int>{open1, open2, open3, open4, open5, -1}).size(), 6u);
}

TEST_F(RewriterTest, JournalsOfAStoppedWriterAreUndoneWhereTheyApplyAndDroppedElsewhere)
{
    const QByteArray patched = stopAfterApplying();
    ASSERT_EQ(patched.count(QByteArray(5, '\x90')) - original.count(QByteArray(5, '\x90')), 3);
    // A site changed by someone else since is left as it is; the others go back.
    QByteArray changed = patched, expected = original;
    const int at = offsetOf(original, 0x1020);
    changed[at] = '\xCC';
    expected.replace(at, 5, changed.mid(at, 5));
    EXPECT_EQ(openWith(changed, journalBytes),
              "Put back the old bytes of an interrupted run at 2 of 3 sites\n");
    EXPECT_TRUE(readFile(path) == expected);

    const std::string incomplete =
        "Dropped the incomplete journal of an interrupted run, which had not changed the image\n";
    // Every torn length and every flipped byte: the writer cannot have touched the image yet.
    for (int length = 0; length < journalBytes.size(); ++length) {
        ASSERT_EQ(openWith(original, journalBytes.left(length)), incomplete) << length;
        ASSERT_TRUE(readFile(path) == original) << length;
    }
    for (int at = 0; at < journalBytes.size(); ++at) {
        QByteArray flipped = journalBytes;
        flipped[at] = char(flipped[at] ^ 0x10);
        ASSERT_EQ(openWith(patched, flipped), incomplete) << at;
        ASSERT_TRUE(readFile(path) == patched) << at;
    }
    // Linked again (another time stamp in the headers) or grown: not the image journaled.
    QByteArray relinked = patched;
    put(relinked, NtOffset + 8, 0x12345678);
    for (const QByteArray &bytes : {relinked, patched + QByteArray(0x200, '\0')}) {
        EXPECT_EQ(openWith(bytes, journalBytes),
                  "Dropped the journal of an interrupted run: the image has been built again "
                  "since\n");
        EXPECT_TRUE(readFile(path) == bytes);
    }
}

// A failed run reverts its writes itself (met end to end); close() is the net under it.
TEST_F(RewriterTest, CloseTakesBackWritesNeitherEndedNorReverted)
{
    rewriter->open();
    rewriter->beginJournaledWrites();
    quint64 old = 0;
    ASSERT_EQ(rewriter->patchHookCall(0x1010, old, Nops, Hook), PatchedFramed);
    rewriter->writeBytes(0x1020, Nops);
    ASSERT_TRUE(rewriter->readBytes(0x1020, old));
    EXPECT_EQ(old, Nops) << "the private copy holds the writes";
    rewriter->applyJournaledWrites();
    EXPECT_TRUE(closedImage() == original);
    EXPECT_FALSE(QFileInfo::exists(journal));
    EXPECT_EQ(descriptorsTo(path), 0);
    EXPECT_FALSE(mapped(path));
}

} // namespace
