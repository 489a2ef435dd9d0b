// undname.exe against LLVM's own undname tool, and its line layout byte for byte. (The names of
// built images are checked against llvm-undname end to end.)
#include "TestSupport.h"

#include <QStandardPaths>

using namespace TestSupport;

namespace {

const QString Undname = VsCommon + "/bin/undname.exe";

} // namespace

TEST(UndnameTest, AgreesWithLlvmUndname)
{
    const QString llvm = QStandardPaths::findExecutable("llvm-undname-14");
    if (llvm.isEmpty())
        GTEST_SKIP() << "llvm-undname-14 is not installed";
    const QStringList names = {
        "_main",                   // C names pass unchanged
        "?x@@3HA",                 // data
        "?bar@Foo@@QAEXH@Z",       // method
        "??$max@H@std@@YAHHH@Z",   // function template
        "??HFoo@@QAE?AV0@ABV0@@Z", // operator+
        "?notvalid",               // broken: passes unchanged
    };
    // llvm-undname prints each name, its undecorated form when there is one, and a blank line.
    const RunOutput reference = runProgram(llvm, names, false);
    QStringList lines = reference.out.split('\n');
    QList<QByteArray> undecorated;
    for (const QString &name : names) {
        ASSERT_TRUE(lines.size() > 2 && lines.takeFirst() == name) << reference.out.toStdString();
        undecorated << (lines.first().isEmpty() ? name : lines.takeFirst()).toLatin1();
        lines.removeFirst();
    }

    // Far more lines than one read or write block, so that lines straddle blocks, with a name
    // longer than a whole block amid them; then a CR LF line, an empty line, a line without a
    // blank and a last line without LF.
    QByteArray input, wanted;
    for (int i = 0; i < 60000; ++i) {
        const QByteArray rva = QByteArray::number(i * 16, 16);
        const int n = i % names.size();
        const QByteArray name = i == 31000 ? QByteArray(3 << 20, 'x') : names[n].toLatin1();
        input += name + ' ' + rva + '\n';
        wanted += (i == 31000 ? name : undecorated[n]) + ' ' + rva + "\r\n";
    }
    input += "?x@@3HA 10\r\n\n_lone\n?x@@3HA 20";
    wanted += "int x 10\r\n\r\n_lone\r\nint x 20\r\n";
    // A Windows path with backslashes is found here too.
    const QString file = scratchFile("sub dir/names.txt", input);
    const RunOutput r = runProgram(Undname, {QString(file).replace('/', '\\')}, false);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QByteArray out = r.out.toLatin1();
    int same = 0;
    while (same < qMin(out.size(), wanted.size()) && out[same] == wanted[same])
        ++same;
    EXPECT_EQ(same, wanted.size()) << "first difference: " << wanted.mid(same, 80).constData();
    EXPECT_EQ(out.size(), wanted.size());
    EXPECT_TRUE(runProgram(Undname, {scratchFile("empty.txt", "")}).out.isEmpty());
}
