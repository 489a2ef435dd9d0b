// patchHookCall and writeBytes on a hand-made image: results, bytes handed back and written.
#include "PeImage.h"

#include <exerewriter.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

using namespace TQ::EXTRACTORS::CPP::COMMON;

namespace {

const quint32 Hook = 0x1000;
const quint64 NewBytes = 0x1122334455ull; // written as 55 44 33 22 11
const quint64 Untouched = 0xDEADBEEFull;

// .text and .rdata back to back, a gap, a section of virtual size 0, and a last section whose
// raw data (which ends the file) is shorter than its virtual size.
QList<PeImage::Section> layout()
{
    using namespace PeImage;
    Section text{0x1000, 0x100, 0x200};
    place(text.bytes, 0x00, QByteArray("\xC3", 1));
    place(text.bytes, 0x10, call(0x1010, Hook, frame()));
    place(text.bytes, 0x20, call(0x1020, Hook, QByteArray("\x55\x8B\xE5", 3)));
    place(text.bytes, 0x30, call(0x1030, 0x1080, frame()));
    place(text.bytes, 0x40, call(0x1040, 0x1088, frame()));
    place(text.bytes, 0x50, call(0x1050, 0x1010, frame()));
    place(text.bytes, 0x60, QByteArray("\x90\x90\x90\x90\xAB\x55\x8B\xEC", 8));
    place(text.bytes, 0x68, QByteArray("\x55\x8B\xEC\x90", 4));
    place(text.bytes, 0x70, QByteArray("\x90\x90\x90\xC3", 4));
    place(text.bytes, 0x80, jump(0x1080, Hook));
    place(text.bytes, 0x88, jump(0x1088, 0x1020));
    place(text.bytes, 0x90, jump(0x1090, 0x1080)); // a jump to the jump to the hook
    place(text.bytes, 0x98, call(0x1098, 0x1090, frame()));
    place(text.bytes, 0xF8, call(0x10F8, Hook, frame()));
    Section rdata{0x1100, 0x80, 0x200};
    place(rdata.bytes, 0x00, call(0x1100, Hook, frame()));
    place(rdata.bytes, 0x10, call(0x1110, 0x1080, frame()));
    Section midShort{0x6000, 0x800, 0x200}; // raw data followed by the next section's
    place(midShort.bytes, 0x1FB, call(0x61FB, Hook));
    Section empty{0x5000, 0, 0x200};
    place(empty.bytes, 0x00, frame()); // not the frame of the call before it
    Section shortRaw{0x3000, 0x1000, 0x200};
    place(shortRaw.bytes, 0x000, call(0x3000, Hook, frame()));
    place(shortRaw.bytes, 0x1FB, call(0x31FB, Hook));
    return {text, rdata, midShort, empty, shortRaw};
}

class RewriterPatchTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath("image.exe");
        sections = layout();
        original = PeImage::build(sections);
        ASSERT_TRUE(PeImage::write(path, original));
        rewriter.reset(createExeRewriter(path));
        rewriter->open();
    }

    void TearDown() override
    {
        if (rewriter)
            rewriter->close();
    }

    // The file offset of an rva, found independently of the rewriter from the built layout.
    int offsetOf(quint32 rva) const
    {
        const QList<quint32> raw = PeImage::rawOffsets(sections);
        for (int i = 0; i < sections.size(); ++i)
            if (rva >= sections[i].virtualAddress &&
                rva < sections[i].virtualAddress + sections[i].virtualSize)
                return int(raw[i] + rva - sections[i].virtualAddress);
        return -1;
    }

    QByteArray fileNow()
    {
        rewriter->close();
        return PeImage::read(path);
    }

    QTemporaryDir dir;
    QString path;
    QList<PeImage::Section> sections;
    QByteArray original;
    std::unique_ptr<IExeRewriter> rewriter;
};

struct Case
{
    const char *name;
    quint32 rva;
    PatchResult expected;
};

class PatchCases : public RewriterPatchTest, public ::testing::WithParamInterface<Case>
{
};

TEST_P(PatchCases, ResultAndBytes)
{
    const Case c = GetParam();
    quint64 oldBytes = Untouched;
    EXPECT_EQ(rewriter->patchHookCall(c.rva, oldBytes, NewBytes, Hook), c.expected);
    const QByteArray after = fileNow();
    ASSERT_EQ(after.size(), original.size());

    if (c.expected == NotPatchable) {
        EXPECT_EQ(oldBytes, Untouched);
        EXPECT_TRUE(after == original) << "a byte changed";
        return;
    }
    const int at = offsetOf(c.rva);
    ASSERT_GE(at, 0);
    quint64 expectedOld = 0;
    for (int i = 4; i >= 0; --i)
        expectedOld = (expectedOld << 8) | uchar(original[at + i]);
    EXPECT_EQ(oldBytes, expectedOld);
    EXPECT_EQ(after.mid(at, 5), QByteArray("\x55\x44\x33\x22\x11", 5));
    QByteArray rest = after;
    rest.replace(at, 5, original.mid(at, 5));
    EXPECT_TRUE(rest == original) << "bytes beyond the five changed";
}

INSTANTIATE_TEST_SUITE_P(
    HandMade, PatchCases,
    ::testing::Values(Case{"DirectFramed", 0x1010, PatchedFramed},
                      Case{"DirectUnframed", 0x1020, PatchedUnframed},
                      Case{"ThunkToHook", 0x1030, PatchedFramed},
                      Case{"ThunkToThunkToHook", 0x1098, NotPatchable},
                      Case{"ThunkElsewhere", 0x1040, NotPatchable},
                      Case{"TargetNotAThunk", 0x1050, NotPatchable},
                      Case{"FourNops", 0x1060, AlreadyNops}, Case{"NotACall", 0x1068, NotPatchable},
                      Case{"ThreeNopsOnly", 0x1070, NotPatchable},
                      Case{"LastBytesOfSection", 0x10F8, PatchedFramed},
                      Case{"StartOfNextSection", 0x1100, PatchedFramed},
                      Case{"ThunkInAnotherSection", 0x1110, NotPatchable},
                      Case{"BelowFirstSection", 0x0FFF, NotPatchable},
                      Case{"ZeroRva", 0x0, NotPatchable}, Case{"InGap", 0x2000, NotPatchable},
                      Case{"EndOfLastSectionBeforeGap", 0x1180, NotPatchable},
                      Case{"VirtualSizeZero", 0x5000, NotPatchable},
                      Case{"StartOfShortRawSection", 0x3000, PatchedFramed},
                      Case{"FiveBytesEndRawData", 0x31FB, PatchedUnframed},
                      Case{"StraddlesEndOfRawData", 0x31FC, NotPatchable},
                      Case{"BeyondRawWithinVirtual", 0x3400, NotPatchable},
                      Case{"EndsRawDataBeforeNextRawData", 0x61FB, PatchedUnframed},
                      Case{"StraddlesIntoNextRawData", 0x61FC, NotPatchable},
                      Case{"BeyondRawBeforeNextRawData", 0x6200, NotPatchable},
                      Case{"PastLastSection", 0x7000, NotPatchable},
                      Case{"HighestRva", 0xFFFFFFFF, NotPatchable}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

TEST_F(RewriterPatchTest, BitLayoutOfOldAndNewBytes)
{
    quint64 oldBytes = 0;
    // Bits above 39 of the new bytes are not part of the instruction.
    ASSERT_EQ(rewriter->patchHookCall(0x1010, oldBytes, 0xFFFFFF9091929394ull, Hook),
              PatchedFramed);
    EXPECT_EQ(oldBytes, 0xFFFFFFEBE8ull); // E8, rel32 = 0x1000 - 0x1015
    ASSERT_EQ(rewriter->patchHookCall(0x1060, oldBytes, NewBytes, Hook), AlreadyNops);
    EXPECT_EQ(oldBytes, 0xAB90909090ull); // the fifth byte as it stood
    ASSERT_EQ(rewriter->patchHookCall(0x1010, oldBytes, NewBytes, Hook), NotPatchable);
    const QByteArray after = fileNow();
    const int at = offsetOf(0x1010);
    EXPECT_EQ(after.mid(at, 8), QByteArray("\x94\x93\x92\x91\x90\x55\x8B\xEC", 8));
}

TEST_F(RewriterPatchTest, WriteBytesWithoutCheckInsideTheFileOnly)
{
    // Outside a section's raw data or the file: an error naming the address, nothing written.
    const struct
    {
        quint32 rva;
        const char *message;
    } outside[] = {
        {0x0FFF, "patch failed for addr: fff"},  {0x2000, "patch failed for addr: 2000"},
        {0x5000, "patch failed for addr: 5000"}, {0x31FC, "patch failed for addr: 31fc"},
        {0x3400, "patch failed for addr: 3400"}, {0x61FC, "patch failed for addr: 61fc"},
        {0x6200, "patch failed for addr: 6200"}, {0xABCDEF01, "patch failed for addr: abcdef01"}};
    for (const auto &c : outside) {
        try {
            rewriter->writeBytes(c.rva, NewBytes);
            ADD_FAILURE() << "no exception for " << c.message;
        } catch (const std::exception &e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
    rewriter->writeBytes(0x1068, NewBytes);
    rewriter->writeBytes(0x31FB, 0x9090909090ull);
    QByteArray expected = original;
    expected.replace(offsetOf(0x1068), 5, QByteArray("\x55\x44\x33\x22\x11", 5));
    expected.replace(offsetOf(0x31FB), 5, QByteArray(5, '\x90'));
    EXPECT_TRUE(fileNow() == expected);
    // A closed rewriter writes nothing either.
    quint64 oldBytes = Untouched;
    EXPECT_EQ(rewriter->patchHookCall(0x1010, oldBytes, NewBytes, Hook), NotPatchable);
    EXPECT_EQ(oldBytes, Untouched);
    EXPECT_THROW(rewriter->writeBytes(0x1010, NewBytes), std::runtime_error);
}

TEST_F(RewriterPatchTest, RawDataClaimedBeyondTheFileIsNotTouched)
{
    rewriter->close();
    QByteArray truncated = original;
    truncated.chop(0x100); // the last section still claims 0x200 bytes of raw data
    ASSERT_TRUE(PeImage::write(path, truncated));
    rewriter->open();
    quint64 oldBytes = Untouched;
    EXPECT_EQ(rewriter->patchHookCall(0x3000, oldBytes, NewBytes, Hook), PatchedFramed);
    oldBytes = Untouched;
    EXPECT_EQ(rewriter->patchHookCall(0x31FB, oldBytes, NewBytes, Hook), NotPatchable);
    EXPECT_EQ(oldBytes, Untouched);
    EXPECT_THROW(rewriter->writeBytes(0x30FC, NewBytes), std::runtime_error);
    EXPECT_EQ(fileNow().size(), truncated.size());
}

} // namespace
