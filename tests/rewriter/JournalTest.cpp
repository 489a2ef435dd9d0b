// Journaled writes: nothing reaches the image before the journal is on disk, a stopped writer's
// journal is undone by the next open only where it applies, a damaged one is dropped, and a file
// cut short under the mapping is an error rather than SIGBUS.
#include "TestSupport.h"
#include "PeImage.h"

#include <PatchJournal.h>
#include <exerewriter.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

using namespace TQ::EXTRACTORS::CPP::COMMON;
using namespace TestSupport;

namespace {

const quint32 Hook = 0x1000;
const quint64 Nops = 0x9090909090ull;

QByteArray image()
{
    PeImage::Section text{0x1000, 0x2000, 0x2000};
    PeImage::place(text.bytes, 0x10, PeImage::call(0x1010, Hook, PeImage::frame()));
    PeImage::place(text.bytes, 0x20, PeImage::call(0x1020, Hook, PeImage::frame()));
    PeImage::place(text.bytes, 0x1F00, PeImage::call(0x2F00, Hook, PeImage::frame()));
    return PeImage::build({text});
}

class JournalTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath("image.exe");
        journal = PatchJournal::pathFor(path);
        original = image();
        ASSERT_TRUE(PeImage::write(path, original));
    }

    // Patches every site, twice at 0x1010 as folded names do (the second changes nothing and is
    // not journaled), and leaves the writes applied but
    // neither ended nor reverted; returns the image as a stopped writer leaves it.
    QByteArray stopAfterApplying(QByteArray *journalBytes)
    {
        std::unique_ptr<IExeRewriter> r(createExeRewriter(path));
        r->open();
        r->beginJournaledWrites();
        quint64 old = 0;
        for (const quint32 rva : {0x1010u, 0x1010u, 0x1020u, 0x2F00u})
            r->patchHookCall(rva, old, Nops, Hook);
        EXPECT_TRUE(PeImage::read(path) == original) << "written before the journal";
        EXPECT_FALSE(QFileInfo::exists(journal));
        r->applyJournaledWrites();
        const QByteArray patched = PeImage::read(path);
        *journalBytes = PeImage::read(journal);
        r->endJournaledWrites();
        EXPECT_FALSE(QFileInfo::exists(journal));
        r->close();
        EXPECT_TRUE(PeImage::read(path) == patched);
        return patched;
    }

    // Opens with the given image and journal; returns what open() said.
    std::string openWith(const QByteArray &bytes, const QByteArray &journalBytes)
    {
        PeImage::write(path, bytes);
        PeImage::write(journal, journalBytes);
        CoutCapture out;
        std::unique_ptr<IExeRewriter> r(createExeRewriter(path));
        r->open();
        r->close();
        EXPECT_FALSE(QFileInfo::exists(journal));
        return out.text().toStdString();
    }

    QTemporaryDir dir;
    QString path, journal;
    QByteArray original;
};

} // namespace

TEST_F(JournalTest, StoppedWriterIsUndoneByTheNextOpen)
{
    QByteArray journalBytes;
    const QByteArray patched = stopAfterApplying(&journalBytes);
    ASSERT_EQ(patched.count(QByteArray(5, '\x90')), 3);

    EXPECT_EQ(openWith(patched, journalBytes),
              "Put back the old bytes of an interrupted run at 3 of 3 sites\n");
    EXPECT_TRUE(PeImage::read(path) == original);

    // A site changed by someone else since is left as it is; the others go back.
    QByteArray changed = patched;
    const int site = PeImage::rawOffsets({{0x1000, 0x2000, 0x2000}}).first() + 0x20;
    changed[site] = '\xCC';
    EXPECT_EQ(openWith(changed, journalBytes),
              "Put back the old bytes of an interrupted run at 2 of 3 sites\n");
    QByteArray expected = original;
    expected.replace(site, 5, changed.mid(site, 5));
    EXPECT_TRUE(PeImage::read(path) == expected);
}

TEST_F(JournalTest, DamagedOrForeignJournalsAreDroppedAndTheImageLeftAlone)
{
    QByteArray journalBytes;
    const QByteArray patched = stopAfterApplying(&journalBytes);
    const std::string incomplete =
        "Dropped the incomplete journal of an interrupted run, which had not changed the image\n";
    // Every torn length and every flipped byte: the writer cannot have touched the image yet.
    for (int length = 0; length < journalBytes.size(); ++length) {
        ASSERT_EQ(openWith(original, journalBytes.left(length)), incomplete) << length;
        ASSERT_TRUE(PeImage::read(path) == original) << length;
    }
    for (int at = 0; at < journalBytes.size(); ++at) {
        QByteArray flipped = journalBytes;
        flipped[at] = char(flipped[at] ^ 0x10);
        ASSERT_EQ(openWith(patched, flipped), incomplete) << at;
        ASSERT_TRUE(PeImage::read(path) == patched) << at;
    }

    // Linked again (another time stamp in the headers) or grown: not the image journaled.
    QByteArray relinked = patched;
    PeImage::put32(relinked, PeImage::NtOffset + 8, 0x12345678);
    const std::string other =
        "Dropped the journal of an interrupted run: the image has been built again since\n";
    for (const QByteArray &bytes : {relinked, patched + QByteArray(0x200, '\0')}) {
        EXPECT_EQ(openWith(bytes, journalBytes), other);
        EXPECT_TRUE(PeImage::read(path) == bytes);
    }
}

TEST_F(JournalTest, RevertAndCloseTakeEverythingBack)
{
    // Reverted after applying, closed after applying, closed while staging.
    for (const int way : {0, 1, 2}) {
        ASSERT_TRUE(PeImage::write(path, original));
        std::unique_ptr<IExeRewriter> r(createExeRewriter(path));
        r->open();
        r->beginJournaledWrites();
        quint64 old = 0;
        ASSERT_EQ(r->patchHookCall(0x1010, old, Nops, Hook), PatchedFramed);
        r->writeBytes(0x1020, Nops);
        ASSERT_TRUE(r->readBytes(0x1020, old));
        EXPECT_EQ(old, Nops) << "the private copy holds the writes";
        if (way < 2)
            r->applyJournaledWrites();
        if (way == 0) {
            EXPECT_TRUE(r->revertJournaledWrites());
        }
        r->close();
        EXPECT_TRUE(PeImage::read(path) == original) << way;
        EXPECT_FALSE(QFileInfo::exists(journal)) << way;
        EXPECT_EQ(descriptorsTo(path), 0);
        EXPECT_FALSE(mapped(path));
    }
}

TEST_F(JournalTest, FileCutShortUnderTheMappingIsAnError)
{
    std::unique_ptr<IExeRewriter> r(createExeRewriter(path));
    r->open();
    r->beginJournaledWrites();
    quint64 old = 0;
    ASSERT_EQ(r->patchHookCall(0x1010, old, Nops, Hook), PatchedFramed);
    QFile(path).resize(original.size() - 0x1000);
    // The site now lies past the end of the file: it reads as zeros, no SIGBUS.
    EXPECT_EQ(r->patchHookCall(0x2F00, old, Nops, Hook), NotPatchable);
    try {
        r->applyJournaledWrites();
        ADD_FAILURE() << "applied to a file cut short";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("was truncated by another process"), std::string::npos)
            << e.what();
    }
    r->close();
    EXPECT_TRUE(PeImage::read(path) == original.left(original.size() - 0x1000));
    EXPECT_FALSE(QFileInfo::exists(journal));
}
