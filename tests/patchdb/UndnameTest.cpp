// undname.exe against LLVM's own undname tool, and its line layout byte for byte.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString Undname = QStringLiteral(TQT_VS_COMMON_DIR "/bin/undname.exe");

struct ProgramRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

ProgramRun runProgram(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    ProgramRun r;
    if (!p.waitForStarted(10000) || !p.waitForFinished(60000))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

class UndnameTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        ASSERT_TRUE(QFile::exists(Undname)) << Undname.toStdString();
    }
    QString write(const QString &name, const QByteArray &content)
    {
        const QString path = m_dir.filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        return path;
    }
    QTemporaryDir m_dir;
};

// What llvm-undname makes of each name: its output is, per name, the name, the undecorated
// form when there is one, and a blank line.
QStringList referenceUndecorations(const QString &tool, const QStringList &names)
{
    const ProgramRun r = runProgram(tool, names);
    QStringList result;
    const QList<QByteArray> blocks = r.out.split('\n');
    int i = 0;
    for (const QString &name : names) {
        if (i >= blocks.size() || blocks[i] != name.toLatin1())
            return QStringList();
        ++i;
        if (i < blocks.size() && !blocks[i].isEmpty()) {
            result.append(QString::fromLatin1(blocks[i]));
            ++i;
        } else {
            result.append(name);
        }
        ++i; // the blank line
    }
    return result;
}

} // namespace

TEST_F(UndnameTest, AgreesWithLlvmUndname)
{
    const QString tool = QStandardPaths::findExecutable("llvm-undname-14");
    if (tool.isEmpty())
        GTEST_SKIP() << "llvm-undname-14 is not installed";
    const QStringList names = {
        "_main", // C names pass unchanged
        "_printf",
        "__penter",
        "main",
        "?x@@3HA",                   // data
        "?bar@Foo@@QAEXH@Z",         // method
        "?baz@Foo@@SAHPBD@Z",        // static method
        "?vf@Foo@@UBEHXZ",           // virtual const method
        "??0Foo@@QAE@XZ",            // constructor
        "??1Foo@@UAE@XZ",            // destructor
        "??_GFoo@@UAEPAXI@Z",        // scalar deleting destructor
        "??_EFoo@@UAEPAXI@Z",        // vector deleting destructor
        "??$max@H@std@@YAHHH@Z",     // function template
        "??$?0H@?$Box@N@@QAE@ABH@Z", // template constructor of a class template
        "?get@?$Box@PAVFoo@@@@QAEPAVFoo@@XZ",
        "??HFoo@@QAE?AV0@ABV0@@Z", // operator+
        "??4Foo@@QAEAAV0@ABV0@@Z", // operator=
        "??2@YAPAXI@Z",            // operator new
        "??3@YAXPAX@Z",            // operator delete
        "??BFoo@@QBEHXZ",          // conversion operator
        "?f@inner@outer@@YGXN@Z",  // nested namespaces, __stdcall
        "?g@@YIXH@Z",              // __fastcall
        "?cb@@YAXP6AXH@Z@Z",       // function pointer parameter
        "?notvalid",               // broken: passes unchanged
        "??_7Foo@@6B@",            // vftable
    };
    const QStringList expected = referenceUndecorations(tool, names);
    ASSERT_EQ(expected.size(), names.size()) << "unexpected llvm-undname output";

    QByteArray input;
    QByteArray wanted;
    for (int i = 0; i < names.size(); ++i) {
        const QByteArray rva = QByteArray::number(0x1000 + i * 0x30, 16);
        input += names[i].toLatin1() + ' ' + rva + '\n';
        wanted += expected[i].toLatin1() + ' ' + rva + "\r\n";
    }
    const ProgramRun r = runProgram(Undname, {write("names.txt", input)});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(r.out, wanted);
}

TEST_F(UndnameTest, LineLayoutByteForByte)
{
    const ProgramRun r = runProgram(Undname, {write("names.txt", "?x@@3HA 1f\n"
                                                                 "_main 401000\n"
                                                                 "??1Foo@@UAE@XZ 00ab\n")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, QByteArray("int x 1f\r\n"
                                "_main 401000\r\n"
                                "public: virtual __thiscall Foo::~Foo(void) 00ab\r\n"));
    EXPECT_TRUE(r.err.isEmpty());

    // A last line without LF, CR LF input, an empty line and a line without a blank.
    const ProgramRun odd =
        runProgram(Undname, {write("odd.txt", "?x@@3HA 10\r\n\n_lone\n?y@@3HA 20")});
    EXPECT_EQ(odd.exitCode, 0);
    EXPECT_EQ(odd.out, QByteArray("int x 10\r\n\r\n_lone\r\nint y 20\r\n"));

    const ProgramRun empty = runProgram(Undname, {write("empty.txt", "")});
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_TRUE(empty.out.isEmpty());
}

TEST_F(UndnameTest, ManyLinesComeOutCompleteAndInOrder)
{
    // Far more input and output than one read or write block, so that lines straddle blocks;
    // a name longer than a whole read block sits in the middle.
    const int count = 60000;
    const int longAt = 31000;
    const QByteArray longName(3 << 20, 'x');
    QByteArray input;
    for (int i = 0; i < count; ++i) {
        if (i == longAt)
            input += longName + ' ' + QByteArray::number(i * 16, 16) + '\n';
        else
            input += "?func" + QByteArray::number(i) + "@Widget@@QAEXH@Z " +
                     QByteArray::number(i * 16, 16) + '\n';
    }
    const ProgramRun r = runProgram(Undname, {write("many.txt", input)});
    ASSERT_EQ(r.exitCode, 0);
    const QList<QByteArray> lines = r.out.split('\n');
    ASSERT_EQ(lines.size(), count + 1);
    EXPECT_TRUE(lines.last().isEmpty());
    EXPECT_EQ(lines[longAt], longName + ' ' + QByteArray::number(longAt * 16, 16) + '\r');
    for (int i = 0; i < count; ++i) {
        if (i == longAt)
            continue;
        const QByteArray want = "public: void __thiscall Widget::func" + QByteArray::number(i) +
                                "(int) " + QByteArray::number(i * 16, 16) + '\r';
        ASSERT_EQ(lines[i], want) << i;
    }
}

TEST_F(UndnameTest, BackslashPathIsFoundOnThisPlatform)
{
    const QString path = write("sub dir/names.txt", "?x@@3HA 1\n");
    QString backslashed = path;
    backslashed.replace('/', '\\');
    const ProgramRun r = runProgram(Undname, {backslashed});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(r.out, QByteArray("int x 1\r\n"));
}

TEST_F(UndnameTest, MissingFileOrArgumentFails)
{
    const QString missing = m_dir.filePath("absent.txt");
    const ProgramRun r = runProgram(Undname, {missing});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_TRUE(r.err.contains(missing.toLocal8Bit())) << r.err.constData();
    for (const QStringList &args : {QStringList{m_dir.path()}, QStringList{}}) {
        const ProgramRun bad = runProgram(Undname, args);
        EXPECT_NE(bad.exitCode, 0);
        EXPECT_FALSE(bad.err.isEmpty());
    }
}
