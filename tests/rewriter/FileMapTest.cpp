// The file-mapping layer: Win32-style failure values, the patcher's lock, shared writable views.
#include "PeImage.h"
#include "RewriterTestSupport.h"

#include <PatchFileMap.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace FM = TQ::PLATFORM::FILEMAP;
using namespace RewriterTest;

namespace {

std::u16string utf16(const QString &s)
{
    return std::u16string(reinterpret_cast<const char16_t *>(s.utf16()), size_t(s.size()));
}

class FileMapTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath("data.bin");
        ASSERT_TRUE(PeImage::write(path, QByteArray("0123456789")));
    }
    QTemporaryDir dir;
    QString path;
};

TEST_F(FileMapTest, FailuresAnswerAsWin32Does)
{
    EXPECT_EQ(FM::invalidHandleValue(), reinterpret_cast<FM::Handle>(~std::uintptr_t(0)));
    EXPECT_EQ(FM::createFileForPatching(utf16(dir.filePath("missing")).c_str()),
              FM::invalidHandleValue());
    EXPECT_EQ(FM::createFileForPatching(utf16(dir.path()).c_str()), FM::invalidHandleValue());
    EXPECT_EQ(FM::createFileForPatching(nullptr), FM::invalidHandleValue());
    EXPECT_EQ(FM::createFileMapping(FM::invalidHandleValue()), nullptr);
    EXPECT_EQ(FM::createFileMapping(nullptr), nullptr);
    EXPECT_EQ(FM::mapViewOfFile(nullptr), nullptr);
    EXPECT_FALSE(FM::closeHandle(nullptr));
    EXPECT_FALSE(FM::closeHandle(FM::invalidHandleValue()));
    unsigned char notAView[8];
    EXPECT_FALSE(FM::unmapViewOfFile(notAView));

    const FM::Handle file = FM::createFileForPatching(utf16(path).c_str());
    ASSERT_NE(file, FM::invalidHandleValue());
    EXPECT_EQ(FM::mapViewOfFile(file), nullptr) << "a file handle is no mapping";
    EXPECT_TRUE(FM::closeHandle(file));
    EXPECT_FALSE(FM::closeHandle(file)) << "closed twice";
}

TEST_F(FileMapTest, ViewWritesReachTheFile)
{
    const FM::Handle file = FM::createFileForPatching(utf16(path).c_str());
    const FM::Handle mapping = FM::createFileMapping(file);
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(FM::mappingSize(mapping), 10u);
    unsigned char *view = FM::mapViewOfFile(mapping);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[3], '3');
    view[3] = 'x';
    EXPECT_TRUE(FM::unmapViewOfFile(view));
    EXPECT_TRUE(FM::closeHandle(mapping));
    EXPECT_TRUE(FM::closeHandle(file));
    EXPECT_EQ(PeImage::read(path), QByteArray("012x456789"));
}

TEST_F(FileMapTest, LockLastsWhileFileOrMappingIsOpen)
{
    const FM::Handle file = FM::createFileForPatching(utf16(path).c_str());
    ASSERT_NE(file, FM::invalidHandleValue());
    EXPECT_EQ(FM::createFileForPatching(utf16(path).c_str()), FM::invalidHandleValue());
    EXPECT_FALSE(LockHolder(path).isLocked());

    // As with a Win32 section object, the mapping keeps the file open on its own.
    const FM::Handle mapping = FM::createFileMapping(file);
    ASSERT_NE(mapping, nullptr);
    EXPECT_TRUE(FM::closeHandle(file));
    EXPECT_FALSE(LockHolder(path).isLocked());
    EXPECT_TRUE(FM::closeHandle(mapping));
    EXPECT_EQ(descriptorsTo(path), 0);

    LockHolder other(path);
    ASSERT_TRUE(other.isLocked());
    EXPECT_EQ(FM::createFileForPatching(utf16(path).c_str()), FM::invalidHandleValue());
    EXPECT_EQ(descriptorsTo(path), 1) << "the failed open left its descriptor";
}

} // namespace
