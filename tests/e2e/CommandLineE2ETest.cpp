// The command line of the built tool: usage text, modes, exit codes, and what goes where.
#include "TestSupport.h"

using namespace TestSupport;

TEST(CommandLineE2ETest, ArgumentListsAndWhatTheyGive)
{
    Scratch s;
    const QString usage =
        "This tool is used for cleaning an executable or dll that has been created with /Gh "
        "compiler switch. It is a prerequisite for using the Tracing Engine\nCleaning has only to "
        "be done once after the exe/dll has freshly been created by the linker.\n\nUsage: " +
        Tool + " <exe or dll> <project patch database file> <path to visual studio common>\n";
    const QString db = s.path("db.sqlite"), junk = s.path("junk.db"), none = s.path("none.exe");
    ASSERT_TRUE(writeFile(junk, QByteArray(2048, 'j')));
    const struct
    {
        QStringList args;
        int exitCode;
        QString out; // the usage text, or a part of the output
    } rows[] = {
        {{}, 1, usage},
        {{"a", "b", "c", "d"}, 1, usage},
        {{"a", "b", "c", "d", "e", "f"}, 1, usage},
        {{"--Resolve", "a", "b", "c", "d"}, 1, usage},
        {{"--resolve", "a", "b", "c", "d", "e"}, 1, usage},
        // Three arguments clean, whatever the first is.
        {{"--resolve", db, VsCommon}, 1, "Error: symbol __penter() was not found in executable\n"},
        // An exception reaching main: its text on standard output, exit code 1 (the database
        // library refuses a file that is not a database of its own).
        {{"--resolve", none, "none_tq.map", junk, VsCommon}, 1, "junk.db"},
        // The resolve run says why it cannot read the image, and goes on.
        {{"--resolve", none, "none_tq.map", s.path("r.db"), VsCommon},
         0,
         "Error: the image " + none + " does not exist\n"},
    };
    for (const auto &row : rows) {
        const RunOutput r = s.run(row.args, 60000, QProcess::SeparateChannels);
        const std::string where = row.args.join(' ').toStdString() + ": " + r.out.toStdString();
        EXPECT_EQ(r.exitCode, row.exitCode) << where;
        EXPECT_TRUE(row.out == usage ? r.out == usage : r.out.contains(row.out)) << where;
        EXPECT_EQ(r.err, "") << where;
    }
    EXPECT_FALSE(QFileInfo::exists(db));
    EXPECT_EQ(readFile(junk), QByteArray(2048, 'j'));

    // The tool's own lines carry paths in UTF-8, whatever the locale's character set.
    const QString program = s.path(QString::fromUtf8("b\xc3\xa4r/tqt_patchcl\xc3\xa9\x61n.exe"));
    const QString image = s.path(QString::fromUtf8("\xc3\xb1one/\xe2\x82\xac.exe"));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(program).path()) && QFile::link(Tool, program));
    for (const char *locale : {"C", "POSIX"}) {
        QProcessEnvironment env = s.env;
        env.insert("LC_ALL", locale);
        RunOutput r = runProgram(program, {}, false, env, s.path("cwd"));
        EXPECT_EQ(r.out, QString(usage).replace(Tool, program)) << locale;
        r = runProgram(program, {image, db, VsCommon}, false, env, s.path("cwd"));
        EXPECT_TRUE(r.out.startsWith("Error: the image " + image + " does not exist\n"))
            << locale << r.out.toStdString();
    }
    // The settings are saved also after the usage text and after an exception.
    EXPECT_TRUE(QFileInfo::exists(s.path("appdata/Corvane/Velmora/tq_velmora.ini")));
}
