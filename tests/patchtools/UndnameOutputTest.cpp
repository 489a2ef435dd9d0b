// The demangler-output parser.
#include "BinaryPatchCleaner.h"
#include "TestSupport.h"

using TQ::EXTRACTORS::CPP::COMMON::BinaryPatchCleaner;

TEST(UndnameOutputTest, NameBeforeTheLastBlankKeyedByTheRva)
{
    const QHash<int, QString> expected = {{0x1a0, "int __cdecl add(int,int)"},
                                          {0x7fffffff, "public: void __thiscall A::f(void)"},
                                          {0x10, "f(void)"},
                                          {0x11, "g"},
                                          {0x20, "second"},
                                          {0x123, "lf"}};
    EXPECT_EQ(
        BinaryPatchCleaner::parseUndnameOutput("  int __cdecl add(int,int)  1a0\r\n"
                                               "public: void __thiscall A::f(void) 7fffffff\r\n"
                                               "\t\xc2\xa0"
                                               "f(void)\xc2\xa0\t 10\r\n"
                                               "g\xe2\x80\x83 11\r\n"
                                               "first 20\r\nsecond 20\r\n" // later lines win
                                               "noblank\r\n"
                                               "name xyz\r\n"
                                               "trailing blank \r\n"
                                               "blank last \n"
                                               "\r\n"
                                               "\n"
                                               "lf 1234\n" // the last byte is taken for CR
                                               "unended 99\r"),
        expected);

    // Plain digits take a quick path, the rest goes through Qt: both must agree with Qt. (A
    // blank would move the line's last blank, so none is among them.)
    for (const char *text : {"0", "FfFf", "7fffffff", "80000000", "00000001f", "-1", "+1f", "1f\t",
                             "0x7fffffff", "1g", "--1", "0x"}) {
        bool ok = false;
        const int address = QByteArray(text).toInt(&ok, 16);
        const QHash<int, QString> table =
            BinaryPatchCleaner::parseUndnameOutput(QByteArray("n ") + text + "\r\n");
        const QHash<int, QString> expected = {{address, "n"}};
        EXPECT_EQ(table, (ok ? expected : QHash<int, QString>())) << text;
    }
}
