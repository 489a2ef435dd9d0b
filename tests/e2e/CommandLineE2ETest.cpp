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
    // The settings are saved also after the usage text and after an exception.
    EXPECT_TRUE(QFileInfo::exists(s.path("appdata/Corvane/Velmora/tq_velmora.ini")));
}
