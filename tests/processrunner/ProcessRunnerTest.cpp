// The process runner through its entry points, with small shell scripts as children, and the
// expansion of %NAME% references.
#include "TestSupport.h"

#include "processrunner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>

using namespace TQ::SHARED::UTILS::PROCESSRUNNER;
using TestSupport::readFile;
using TestSupport::ScopedEnv;
using TestSupport::writeFile;
using TestSupport::writeScript;

namespace {

const char NotFound[] = "ProcessRunner: given executable does not exist or is not executable.";
// Children that record their process id do it first, in one step, so that it is never half read.
const QByteArray RecordPid = "echo $$ > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"\n";

bool gone(const QByteArray &pidText)
{
    const pid_t pid = pidText.trimmed().toInt();
    return pid > 0 && ::kill(pid, 0) == -1 && errno == ESRCH;
}

TEST(ExpandTest, References)
{
    ScopedEnv env;
    env.set({{"TQT_U", "C:\\u"},
             {"TQT_S", "/a/"},
             {"TQT_B", "/a\\"},
             {"TQT_E", ""},
             {"TQT_N", std::nullopt},
             {"TQT_V", "v"},
             {"TQT_O", "%TQT_V%\\o"},
             {"TQT_SELF", "%TQT_SELF%x"},
             {"TQT_LOOP", "%TQT_LOOP%"},
             {"TQT_BIG", QByteArray(1000, 'y') + "%TQT_BIG%"}});
    const struct
    {
        const char *text;
        bool appendSlash;
        QString expected;
    } rows[] = {
        {"%TQT_U%x", true, "C:/u/x"},
        {"%TQT_U%x", false, "C:/ux"},
        {"%TQT_S%b", true, "/a/b"},
        {"%TQT_B%b", true, "/a/b"},
        // Windows has no empty variables: an empty one is not set.
        {"%TQT_E%\\b", true, "%TQT_E%/b"},
        // The first unset variable ends the expansion; only backslashes change after it.
        {"%TQT_N%\\a\\%TQT_V%", true, "%TQT_N%/a/%TQT_V%"},
        {"%TQT_V%-%TQT_N%-%TQT_V%", false, "v-%TQT_N%-%TQT_V%"},
        {"%%x", false, "%%x"},
        {"50% of c:\\x", false, "50% of c:/x"},
        {"pre-%TQT_V%-post", false, "pre-v-post"},
        {"%TQT_V%%TQT_V%", false, "vv"},
        {"", true, ""},
        // Inserted values are expanded again, within bounds for values that refer to themselves.
        {"%TQT_O%", false, "v/o"},
        {"%TQT_SELF%", false, "%TQT_SELF%" + QString(MaxEnvironmentExpansions, QLatin1Char('x'))},
        {"a%TQT_LOOP%b", false, "a%TQT_LOOP%b"},
        {"%TQT_BIG%", false, QString(32000, QLatin1Char('y')) + "%TQT_BIG%"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(expandEnvironmentVariables(row.text, row.appendSlash), row.expected) << row.text;

    // APPDATA, empty or unset, is the user's configuration folder.
    env.set({{"APPDATA", ""}, {"XDG_CONFIG_HOME", "/cfg"}});
    EXPECT_EQ(expandEnvironmentVariables("%APPDATA%x", true), "/cfg/x");
    env.set({{"APPDATA", std::nullopt}, {"XDG_CONFIG_HOME", ""}, {"HOME", "/home/u"}});
    EXPECT_EQ(expandEnvironmentVariables("%APPDATA%", false), "/home/u/.config");
}

// Collects what a child writes and answers with `answer`.
struct Collector : TQ::SHARED::UTILS::IExtProcCaller
{
    QByteArray handleStdErr(const QByteArray &data, qint64 pid) override
    {
        err += data;
        lastPid = pid;
        return QByteArray();
    }
    QByteArray handleStdOut(const QByteArray &data, qint64 pid) override
    {
        out += data;
        lastPid = pid;
        return answer;
    }
    QByteArray out, err, answer;
    qint64 lastPid = 0;
};

// Each case runs with a QCoreApplication (the wait pumps events) and without one (the wait is
// waitForFinished).
class Runner : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp.isValid());
        if (GetParam())
            app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QString path(const QString &name) const { return temp.filePath(name); }

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
        bool caller;
        const char *displayName;
        int timeoutMs;
        const char *message; // null: success
        int exitCode;
        const char *interpreter = "/bin/sh";
    } rows[] = {
        {"exit 0", false, "", 0, nullptr, 0},
        {"sleep 0.5", false, "", 0, nullptr, 0}, // 0: no limit
        {"exit 3", true, "", 0, "The process exited with exit code 3", 3},
        {"printf first >&2\nsleep 1\nprintf 'last words' >&2\nexit 3", true, "Tool", 0,
         "Tool exited with exit code 3\nlast words", 3},
        // Without a caller the error output is not read, and the child does not block on it.
        {loud, false, "", 0, "The process exited with exit code 3", 3},
        {"kill -9 $$", false, "", 0, "The process exited with exit code 9", 9},
        {"exec sleep 30", false, "", 500, "Maximum calculation time for external process exceeded.",
         0},
        {"exec sleep 30", false, "undname", 500, "Maximum calculation time for undname exceeded.",
         0},
        {"exit 0", false, "", 0, "execvp: No such file or directory", 255, "/no/such/sh"},
        {"", false, "", 0, NotFound, -1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.body.toStdString());
        const QString pidFile = path("pid");
        QFile::remove(pidFile);
        Collector collector;
        RunParameters p;
        p.executable = path(QString("child.%1.exe").arg(&row - rows));
        if (!row.body.isEmpty())
            writeScript(p.executable, RecordPid + row.body, row.interpreter);
        p.arguments << pidFile;
        p.caller = row.caller ? &collector : nullptr;
        p.displayName = row.displayName;
        p.timeoutMs = row.timeoutMs;
        try {
            const RunResult result = ProcessRunner::run(p, nullptr);
            EXPECT_EQ(row.message, nullptr);
            EXPECT_TRUE(result.success && result.exitCode == 0);
        } catch (const RunException &e) {
            EXPECT_STREQ(e.what(), row.message ? row.message : "(success)");
            EXPECT_EQ(e.exitCode, row.exitCode);
        }
        if (QFile::exists(pidFile)) {
            EXPECT_TRUE(gone(readFile(pidFile))) << "the child outlived the run";
        }
    }
}

TEST_P(Runner, OutputReachesTheCallerAndOneAnswerEndsTheInput)
{
    Collector collector;
    collector.answer = "hello\nworld\n";
    RunParameters p;
    p.executable =
        writeScript(path("talk.exe"), "echo ready\nread line\necho \"got:$line\"\n"
                                      "echo oops >&2\ncat > \"$1\"\nsleep 0.3\necho end");
    p.arguments << path("rest");
    p.caller = &collector;
    p.timeoutMs = 10000;
    EXPECT_TRUE(ProcessRunner::run(p, nullptr).success);
    EXPECT_EQ(collector.out, "ready\ngot:hello\nend\n");
    EXPECT_EQ(collector.err, "oops\n");
    EXPECT_GT(collector.lastPid, 0);
    // The rest of the one answer, then the end of the input: nothing was written twice.
    EXPECT_EQ(readFile(path("rest")), "world\n");
}

TEST(RunnerWithLoop, OutputPassedOnAsItComesAndAStopFlagEndsTheRun)
{
    int argc = 1;
    char arg0[] = "tqt_processrunner_tests";
    char *argv[] = {arg0, nullptr};
    QCoreApplication app(argc, argv);
    QTemporaryDir temp;
    // Each turn of the wait pumps the event queue once, and so fires this timer once. 8 MB are
    // 128 pipe-fulls: a runner that passed on one per turn would not be through them when the
    // timer raises the stop flag at the tenth turn.
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
    p.timeoutMs = 10000;
    EXPECT_FALSE(ProcessRunner::run(p, &stop).success);
    EXPECT_EQ(turns, 10);
    EXPECT_EQ(collector.out.size(), 8000000);
    EXPECT_TRUE(gone(readFile(temp.filePath("pid"))));
}

TEST(LookupTest, NamesAreFoundAsTheProductNamesExecutables)
{
    QTemporaryDir temp;
    const QString a = temp.filePath("a"), b = temp.filePath("b");
    writeScript(a + "/both.exe", "echo A");
    for (const QString &file : {b + "/both.exe", b + "/onlyb.exe", a + "/sub/nested.exe",
                                a + "/UP.EXE.exe", a + "/UPPER.EXE"})
        writeScript(file, "echo B");
    QDir().mkpath(a + "/folder.exe");
    writeFile(a + "/plain.exe", "#!/bin/sh\n"); // not executable
    ScopedEnv env;
    env.set({{"PATH", (":" + a + "::" + b + ":").toLocal8Bit()}});
    // Upper-case ".EXE" is not the suffix: ".exe" is appended all the same. A name with '/' is a
    // path: PATH is not searched for it.
    for (const QString &name : {QString("both"), QString("both.exe"), QString("onlyb"),
                                QString("UP.EXE"), a + "/sub/nested", b + "/onlyb.exe"})
        EXPECT_TRUE(ProcessRunner::isExecutableFound(name)) << name.toStdString();
    for (const char *name : {"none", "plain", "folder", "UPPER.EXE", "sub/nested"})
        EXPECT_FALSE(ProcessRunner::isExecutableFound(name)) << name;

    // The first directory that has the name wins.
    Collector collector;
    RunParameters p;
    p.executable = QStringLiteral("both");
    p.caller = &collector;
    EXPECT_TRUE(ProcessRunner::run(p, nullptr).success);
    EXPECT_EQ(collector.out, "A\n");
}

TEST(LookupTest, ChildRunsWhereAndWithWhatItIsGiven)
{
    QTemporaryDir temp;
    struct Back
    {
        QString dir;
        ~Back() { QDir::setCurrent(dir); }
    } back{QDir::currentPath()};
    QDir::setCurrent(temp.path());
    writeScript("rel/show.exe", "pwd -P\ncat\necho \"$TQT_EXTRA|$TQT_BASE\"");
    writeScript("rel/where.exe", "pwd -P > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"");
    writeFile("in.txt", "input\n");
    ASSERT_TRUE(QDir().mkpath("work"));
    const QByteArray work = QDir("work").canonicalPath().toLocal8Bit();
    ScopedEnv env;
    env.set({{"PATH", "rel:" + qgetenv("PATH")}, {"TQT_BASE", "base"}});
    // A relative path, and a name found through a relative PATH entry, both from the caller's
    // folder; the child in the working directory, with the files and the extra variable.
    for (const QString dir : {"rel/", ""}) {
        SCOPED_TRACE(dir.toStdString());
        writeFile("out.txt", QByteArray(4096, 'z')); // truncated first
        RunParameters p;
        p.executable = dir + "show";
        p.workingDirectory = "work";
        p.stdInFile = temp.filePath("in.txt");
        p.stdOutFile = temp.filePath("out.txt");
        p.environment << QStringLiteral("TQT_EXTRA=abc");
        EXPECT_TRUE(ProcessRunner::run(p, nullptr).success);
        EXPECT_EQ(readFile(temp.filePath("out.txt")), work + "\ninput\nabc|base\n");

        RunParameters detached;
        detached.executable = dir + "where";
        detached.arguments << temp.filePath("ran");
        detached.workingDirectory = "work";
        const RunResult result = ProcessRunner::startDetached(detached);
        EXPECT_TRUE(result.success && result.exitCode == -1);
        QElapsedTimer clock;
        clock.start();
        while (!QFile::exists(temp.filePath("ran")) && clock.elapsed() < 20000)
            QThread::msleep(20);
        EXPECT_EQ(readFile(temp.filePath("ran")), work + "\n");
        QFile::remove(temp.filePath("ran"));
    }

    // A detached start that fails is no success and no exception; a missing file throws.
    RunParameters broken;
    broken.executable = writeScript(temp.filePath("broken.exe"), "", "/no/such/sh");
    EXPECT_FALSE(ProcessRunner::startDetached(broken).success);
    broken.executable = temp.filePath("missing.exe");
    try {
        ProcessRunner::startDetached(broken);
        ADD_FAILURE() << "no exception";
    } catch (const RunException &e) {
        EXPECT_STREQ(e.what(), NotFound);
        EXPECT_EQ(e.exitCode, -1);
    }
}

} // namespace
