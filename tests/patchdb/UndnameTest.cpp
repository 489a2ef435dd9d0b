// undname.exe: its line layout byte for byte, around a few names as llvm-undname undecorates
// them. (The names of built images are checked against llvm-undname end to end.)
#include "TestSupport.h"

using namespace TestSupport;

TEST(UndnameTest, OneLinePerInputLineWhateverTheBlocks)
{
    const QString undname = VsCommon + "/bin/undname.exe";
    const QList<QByteArray> names = {"_main", "?x@@3HA", "?bar@Foo@@QAEXH@Z",
                                     "??HFoo@@QAE?AV0@ABV0@@Z", "?notvalid"};
    const QList<QByteArray> undecorated = {
        "_main", "int x", "public: void __thiscall Foo::bar(int)",
        "public: class Foo __thiscall Foo::operator+(class Foo const &)", "?notvalid"};

    // Far more lines than one read or write block, so that lines straddle blocks, with a name
    // longer than a whole block amid them; then a CR LF line, an empty line, a line without a
    // blank and a last line without LF.
    QByteArray input, wanted;
    for (int i = 0; i < 60000; ++i) {
        const QByteArray rva = QByteArray::number(i * 16, 16);
        const int n = i % names.size();
        const QByteArray name = i == 31000 ? QByteArray(3 << 20, 'x') : names[n];
        input += name + ' ' + rva + '\n';
        wanted += (i == 31000 ? name : undecorated[n]) + ' ' + rva + "\r\n";
    }
    input += "?x@@3HA 10\r\n\n_lone\n?x@@3HA 20";
    wanted += "int x 10\r\n\r\n_lone\r\nint x 20\r\n";
    // A Windows path with backslashes is found here too.
    const QString file = scratchFile("sub dir/names.txt", input);
    const RunOutput r = runProgram(undname, {QString(file).replace('/', '\\')}, false);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QByteArray out = r.out.toLatin1();
    int same = 0;
    while (same < qMin(out.size(), wanted.size()) && out[same] == wanted[same])
        ++same;
    EXPECT_EQ(same, wanted.size()) << "first difference: " << wanted.mid(same, 80).constData();
    EXPECT_EQ(out.size(), wanted.size());
    EXPECT_TRUE(runProgram(undname, {scratchFile("empty.txt", "")}).out.isEmpty());
}
