// The demangler-output parser.
#include "BinaryPatchCleaner.h"

#include <gtest/gtest.h>

using TQ::EXTRACTORS::CPP::COMMON::BinaryPatchCleaner;

namespace {

QHash<int, QString> parse(const QByteArray &output)
{
    return BinaryPatchCleaner::parseUndnameOutput(output);
}

} // namespace

TEST(UndnameOutputTest, NameBeforeTheLastBlankKeyedByTheRva)
{
    const QHash<int, QString> table = parse("  int __cdecl add(int,int)  1a0\r\n"
                                            "_main 1000\r\n"
                                            "public: void __thiscall A::f(void) 7fffffff\r\n");
    ASSERT_EQ(table.size(), 3);
    EXPECT_EQ(table.value(0x1a0), "int __cdecl add(int,int)");
    EXPECT_EQ(table.value(0x1000), "_main");
    EXPECT_EQ(table.value(0x7fffffff), "public: void __thiscall A::f(void)");
}

TEST(UndnameOutputTest, LinesThatGiveNoEntry)
{
    const QHash<int, QString> table = parse("noblank\r\n"
                                            "name xyz\r\n"
                                            "name 80000000\r\n" // beyond the signed range
                                            "trailing blank \r\n"
                                            "blank last \n"
                                            "\r\n"
                                            "\n"
                                            "kept 10\r\n");
    ASSERT_EQ(table.size(), 1);
    EXPECT_EQ(table.value(0x10), "kept");
    EXPECT_TRUE(parse(QByteArray()).isEmpty());
}

TEST(UndnameOutputTest, LastByteOfEachLineIsTakenForTheCarriageReturn)
{
    // Without a CR the last digit is lost; a last line without LF is not read at all.
    const QHash<int, QString> table = parse("lf 1234\ncrlf 1234\r\nunended 99\r");
    ASSERT_EQ(table.size(), 2);
    EXPECT_EQ(table.value(0x123), "lf");
    EXPECT_EQ(table.value(0x1234), "crlf");
}

TEST(UndnameOutputTest, LaterLinesWin)
{
    const QHash<int, QString> table = parse("first 20\r\nsecond 20\r\n");
    ASSERT_EQ(table.size(), 1);
    EXPECT_EQ(table.value(0x20), "second");
}

TEST(UndnameOutputTest, NumbersReadAsQtReadsThem)
{
    // Qt's conversion takes a 0x prefix and upper-case digits.
    const QHash<int, QString> table = parse("a 0x30\r\nb ABC\r\n");
    EXPECT_EQ(table.value(0x30), "a");
    EXPECT_EQ(table.value(0xabc), "b");
}

TEST(UndnameOutputTest, EveryAddressTextReadExactlyAsQByteArrayToInt)
{
    // Plain digits take a quick path, the rest goes through Qt: both must agree with Qt. (A
    // blank would move the line's last blank, so none is among them.)
    const char *const texts[] = {
        "0",          "7",         "ff", "FfFf", "1a2b3c4d",  "7fffffff",   "80000000", "ffffffff",
        "00000001f",  "000000000", "-1", "+1f",  "-80000000", "-80000001",  "1f\t",     "\t1f",
        "0x7fffffff", "0X10",      "1g", "g1",   "123456789", "0000000010", "--1",      "0x"};
    for (const char *text : texts) {
        bool ok = false;
        const int expected = QByteArray(text).toInt(&ok, 16);
        const QHash<int, QString> table = parse(QByteArray("n ") + text + "\r\n");
        if (ok) {
            ASSERT_EQ(table.size(), 1) << text;
            EXPECT_EQ(table.constBegin().key(), expected) << text;
        } else {
            EXPECT_TRUE(table.isEmpty()) << text;
        }
    }
}

TEST(UndnameOutputTest, NamesTrimmedOfAnyWhiteSpace)
{
    const QHash<int, QString> table = parse("\t\xc2\xa0"
                                            "f(void)\xc2\xa0\t 10\r\n"
                                            "g\xe2\x80\x83 11\r\n");
    EXPECT_EQ(table.value(0x10), "f(void)");
    EXPECT_EQ(table.value(0x11), "g");
}

TEST(UndnameOutputTest, GarbageDoesNotCrash)
{
    QByteArray garbage;
    for (int i = 0; i < 4096; ++i)
        garbage += char((i * 131 + 7) & 0xFF);
    const QHash<int, QString> table = parse(garbage);
    for (auto it = table.constBegin(); it != table.constEnd(); ++it)
        EXPECT_FALSE(it.value().startsWith(' '));
}
