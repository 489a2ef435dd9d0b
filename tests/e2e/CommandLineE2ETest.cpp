// The command line of the built tool: usage text, modes and exit codes.
#include "TestSupport.h"

using namespace TestSupport;

namespace {

QString usage()
{
    return QString("This tool is used for cleaning an executable or dll that has been created "
                   "with /Gh compiler switch. It is a prerequisite for using the Tracing Engine\n"
                   "Cleaning has only to be done once after the exe/dll has freshly been created "
                   "by the linker.\n\nUsage: %1 <exe or dll> <project patch database file> <path "
                   "to visual studio common>\n")
        .arg(Tool);
}

} // namespace

TEST(CommandLineE2ETest, WrongArgumentListsGiveTheUsage)
{
    Scratch s;
    const QList<QStringList> lists = {
        {},
        {"a", "b", "c", "d"},
        {"a", "b", "c", "d", "e", "f"},
        {"--Resolve", "a", "b", "c", "d"},
        {"-resolve", "a", "b", "c", "d"},
        {"resolve", "a", "b", "c", "d"},
        {"--resolve", "a", "b", "c", "d", "e"},
        {"a", "b"},
    };
    for (const QStringList &args : lists) {
        const RunOutput r = s.run(args);
        EXPECT_EQ(r.exitCode, 1) << args.join(' ').toStdString();
        EXPECT_EQ(r.out, usage()) << args.join(' ').toStdString();
    }
    // The settings are saved also after the usage text.
    EXPECT_TRUE(QFileInfo::exists(s.path("appdata/Corvane/Velmora/tq_velmora.ini")));
}

TEST(CommandLineE2ETest, ThreeArgumentsCleanWhateverTheFirstIs)
{
    Scratch s;
    const RunOutput r = s.run({"--resolve", s.path("db.sqlite"), VsCommon});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "Error: symbol __penter() was not found in executable\n");
    EXPECT_FALSE(QFileInfo::exists(s.path("db.sqlite")));
}

TEST(CommandLineE2ETest, ResolveModeEndsWithZeroWhateverItsWorkDid)
{
    Scratch s;
    // Nothing to resolve and no demangler: reported, and still exit code 0.
    const RunOutput r = s.run({"--resolve", s.path("none.exe"), s.path("none_tq.map"),
                               s.path("db.sqlite"), s.path("no-vs")});
    EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(s.path("no-vs") + "/bin/undname.exe" +
                               " is not an executable file. can't run undname... \n"))
        << r.out.toStdString();
}

TEST(CommandLineE2ETest, ExceptionFromAModeIsOneLineOnStandardOutputAndExitOne)
{
    Scratch s;
    // The database library refuses a file that is not a database of its own.
    ASSERT_TRUE(writeFile(s.path("junk.db"), QByteArray(2048, 'j')));
    const RunOutput r =
        s.run({"--resolve", s.path("none.exe"), s.path("none_tq.map"), s.path("junk.db"), VsCommon},
              60000, QProcess::SeparateChannels);
    EXPECT_EQ(r.exitCode, 1);
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_TRUE(lines.last().contains("junk.db")) << r.out.toStdString();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(s.path("junk.db")), QByteArray(2048, 'j'));
}
