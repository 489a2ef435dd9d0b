// The process runner with small shell scripts as children, and the expansion of %NAME%.
#include "TestSupport.h"

#include "processrunner.h"

#include <QCoreApplication>
#include <QTimer>

#include <cerrno>
#include <csignal>

using namespace TQ::SHARED::UTILS::PROCESSRUNNER;
using namespace TestSupport;

namespace {

// Children record their process id first, in one step, so that it is never half read.
const QByteArray RecordPid = "echo $$ > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"\n";

bool gone(const QByteArray &pidText)
{
    const pid_t pid = pidText.trimmed().toInt();
    return pid > 0 && ::kill(pid, 0) == -1 && errno == ESRCH;
}

TEST(ExpandTest, References)
{
    // The row's value in TQT_X; TQT_V is "v", TQT_N is not set.
    ScopedEnv env;
    env.set({{"TQT_V", "v"}, {"TQT_N", std::nullopt}});
    const struct
    {
        QByteArray value;
        const char *text;
        bool appendSlash;
        QString expected;
    } rows[] = {
        {"C:\\u", "%TQT_X%x", true, "C:/u/x"},
        {"/a\\", "%TQT_X%b", true, "/a/b"},
        // Windows has no empty variables: an empty one is not set.
        {"", "%TQT_X%\\b", true, "%TQT_X%/b"},
        // The first unset variable ends the expansion; only backslashes change after it.
        {"x", "%TQT_N%\\a\\%TQT_X%", true, "%TQT_N%/a/%TQT_X%"},
        {"v", "%TQT_X%%TQT_X%", false, "vv"},
        // Inserted values are expanded again, within bounds for values that refer to themselves.
        {"%TQT_V%\\o", "%TQT_X%", false, "v/o"},
        {"%TQT_X%x", "%TQT_X%", false, "%TQT_X%" + QString(MaxEnvironmentExpansions, 'x')},
        {QByteArray(1000, 'y') + "%TQT_X%", "%TQT_X%", false, QString(32000, 'y') + "%TQT_X%"},
    };
    for (const auto &row : rows) {
        env.set({{"TQT_X", row.value}});
        EXPECT_EQ(expandEnvironmentVariables(row.text, row.appendSlash), row.expected) << row.text;
    }

    // APPDATA, empty or unset, is the user's configuration folder.
    env.set({{"APPDATA", ""}, {"XDG_CONFIG_HOME", "/cfg"}});
    EXPECT_EQ(expandEnvironmentVariables("%APPDATA%x", true), "/cfg/x");
    env.set({{"APPDATA", std::nullopt}, {"XDG_CONFIG_HOME", ""}, {"HOME", "/home/u"}});
    EXPECT_EQ(expandEnvironmentVariables("%APPDATA%", false), "/home/u/.config");
}

// Collects what a child writes and answers with `answer`.
struct Collector : TQ::SHARED::UTILS::IExtProcCaller
{
    QByteArray handleStdErr(const QByteArray &data, qint64) override
    {
        err += data;
        return QByteArray();
    }
    QByteArray handleStdOut(const QByteArray &data, qint64 pid) override
    {
        out += data;
        EXPECT_GT(pid, 0);
        return answer;
    }
    QByteArray out, err, answer;
};

// Each case runs with a QCoreApplication (the wait pumps events) and without one (the wait is
// waitForFinished).
class Runner : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        if (GetParam())
            app = std::make_unique<QCoreApplication>(argc, argv);
    }

    static inline int argc = 1;
    static inline char arg0[] = "tqt_processrunner_tests";
    static inline char *argv[] = {arg0, nullptr};
    QTemporaryDir temp;
    std::unique_ptr<QCoreApplication> app;
};

INSTANTIATE_TEST_SUITE_P(Paths, Runner, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "EventLoop" : "NoApp"; });

TEST_P(Runner, Outcomes)
{
    const QByteArray loud = "i=0\nwhile [ $i -lt 2000 ]; do echo 'fills the pipe' >&2\n"
                            "echo 'and this one'; i=$((i+1)); done\nexit 3";
    const struct
    {
        QByteArray body; // empty: no such file
        bool caller;     // answers "hello\nworld\n" to output
        const char *displayName;
        int timeoutMs;
        const char *message; // null: success
        int exitCode;
        const char *interpreter = "/bin/sh";
        QByteArray out = "", err = ""; // what the caller received
    } rows[] = {
        {"sleep 0.5", false, "", 0, nullptr, 0}, // 0: no limit
        {"printf first >&2\nsleep 1\nprintf 'last words' >&2\nexit 3", true, "Tool", 0,
         "Tool exited with exit code 3\nlast words", 3, "/bin/sh", "", "firstlast words"},
        // The answer is written once, then the input ends (cat passes on what it reads).
        {"echo ready\nread line\necho \"got:$line\"\necho oops >&2\ncat\nsleep 0.3\necho end", true,
         "", 0, nullptr, 0, "/bin/sh", "ready\ngot:hello\nworld\nend\n", "oops\n"},
        // Without a caller the error output is not read, and the child does not block on it.
        {loud, false, "", 0, "The process exited with exit code 3", 3},
        {"kill -9 $$", false, "", 0, "The process exited with exit code 9", 9},
        {"exec sleep 30", false, "undname", 500, "Maximum calculation time for undname exceeded.",
         0},
        {"exit 0", false, "", 0, "execvp: No such file or directory", 255, "/no/such/sh"},
        {"", false, "", 0, "ProcessRunner: given executable does not exist or is not executable.",
         -1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.body.toStdString());
        const QString pidFile = temp.filePath("pid");
        QFile::remove(pidFile);
        Collector collector;
        collector.answer = "hello\nworld\n";
        RunParameters p;
        p.executable = temp.filePath(QString("child.%1.exe").arg(&row - rows));
        if (!row.body.isEmpty())
            writeScript(p.executable, RecordPid + row.body, row.interpreter);
        p.arguments << pidFile;
        p.caller = row.caller ? &collector : nullptr;
        p.displayName = row.displayName;
        p.timeoutMs = row.timeoutMs;
        try {
            EXPECT_TRUE(ProcessRunner::run(p, nullptr).success);
            EXPECT_EQ(row.message, nullptr);
        } catch (const RunException &e) {
            EXPECT_STREQ(e.what(), row.message ? row.message : "(success)");
            EXPECT_EQ(e.exitCode, row.exitCode);
        }
        EXPECT_EQ(collector.out, row.out);
        EXPECT_EQ(collector.err, row.err);
        EXPECT_TRUE(!QFile::exists(pidFile) || gone(readFile(pidFile))) << "the child lives on";
    }
    if (!app)
        return;

    // Each turn of the wait pumps the event queue once, and so fires this timer once. 8 MB are
    // 128 pipe-fulls: a runner that passed on one per turn would not be through them when the
    // timer raises the stop flag at the tenth turn, which ends the run.
    bool stop = false;
    int turns = 0;
    QTimer turn;
    turn.callOnTimeout([&] { stop = ++turns >= 10; });
    turn.start(0);
    Collector collector;
    RunParameters p;
    p.executable = writeScript(temp.filePath("chatty.exe"),
                               RecordPid + "head -c 8000000 /dev/zero\nexec sleep 30");
    p.arguments << temp.filePath("pid");
    p.caller = &collector;
    EXPECT_FALSE(ProcessRunner::run(p, &stop).success);
    EXPECT_EQ(turns, 10);
    EXPECT_EQ(collector.out.size(), 8000000);
    EXPECT_TRUE(gone(readFile(temp.filePath("pid"))));
}

// Names are looked up as the product names executables, and the child runs where and with what
// it is given.
TEST(LookupTest, FoundAndRun)
{
    QTemporaryDir temp;
    struct Back
    {
        QString dir;
        ~Back() { QDir::setCurrent(dir); }
    } back{QDir::currentPath()};
    QDir::setCurrent(temp.path());
    writeScript("a/both.exe", "pwd -P\ncat\necho \"$TQT_EXTRA|$TQT_BASE\"");
    for (const char *file : {"b/both.exe", "b/onlyb.exe", "a/sub/nested.exe", "a/UPPER.EXE"})
        writeScript(file, "echo B");
    QDir().mkpath("a/folder.exe");
    writeFile("a/plain.exe", "#!/bin/sh\n"); // not executable
    writeFile("in.txt", "input\n");
    ASSERT_TRUE(QDir().mkpath("work"));
    const QByteArray work = QDir("work").canonicalPath().toLocal8Bit();
    ScopedEnv env;
    env.set({{"PATH", ":a::" + temp.filePath("b").toLocal8Bit() + "::" + qgetenv("PATH")},
             {"TQT_BASE", "base"}});
    // Upper-case ".EXE" is not the suffix. A name with '/' is a path: PATH is not searched.
    for (const QString &name :
         QStringList{"onlyb", "both.exe", "a/sub/nested", temp.filePath("b/onlyb.exe")})
        EXPECT_TRUE(ProcessRunner::isExecutableFound(name)) << name.toStdString();
    for (const char *name : {"none", "plain", "folder", "UPPER.EXE", "sub/nested"})
        EXPECT_FALSE(ProcessRunner::isExecutableFound(name)) << name;

    // The first directory that has the name wins, found through a relative PATH entry from the
    // caller's folder; the child in the working directory, with the files and the extra variable.
    for (const QString name : {"a/both", "both"}) {
        writeFile("out.txt", QByteArray(4096, 'z')); // truncated first
        RunParameters p;
        p.executable = name;
        p.workingDirectory = "work";
        p.stdInFile = temp.filePath("in.txt");
        p.stdOutFile = temp.filePath("out.txt");
        p.environment << QStringLiteral("TQT_EXTRA=abc");
        EXPECT_TRUE(ProcessRunner::run(p, nullptr).success);
        EXPECT_EQ(readFile(temp.filePath("out.txt")), work + "\ninput\nabc|base\n")
            << name.toStdString();
    }

    // Detached: from the caller's folder, in the working directory; a start that fails is no
    // success and no exception.
    RunParameters detached;
    detached.executable = writeScript("a/where.exe", "pwd -P > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"");
    detached.arguments << temp.filePath("ran");
    detached.workingDirectory = "work";
    EXPECT_TRUE(ProcessRunner::startDetached(detached).success);
    EXPECT_TRUE(waitUntil([] { return QFile::exists("ran"); }, 20000));
    EXPECT_EQ(readFile("ran"), work + "\n");
    detached.executable = writeScript(temp.filePath("broken.exe"), "", "/no/such/sh");
    EXPECT_FALSE(ProcessRunner::startDetached(detached).success);
}

} // namespace
