// The process runner through its entry points, with small shell scripts as children, and the
// expansion of %NAME% references.
#include "RunnerTestSupport.h"

#include "processrunner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTemporaryDir>
#include <QThread>

#include <cerrno>
#include <csignal>

using namespace TQ::SHARED::UTILS::PROCESSRUNNER;
using RunnerTest::readAll;
using RunnerTest::ScopedEnv;
using RunnerTest::writeScript;

namespace {

const char NotFound[] = "ProcessRunner: given executable does not exist or is not executable.";
// Children that record their process id do it first, in one step, so that it is never half read.
const QByteArray RecordPid = "echo $$ > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"\n";

bool gone(const QByteArray &pidText)
{
    const pid_t pid = pidText.trimmed().toInt();
    return pid > 0 && ::kill(pid, 0) == -1 && errno == ESRCH;
}

// Waits for a file that a detached child writes.
QByteArray awaitFile(const QString &path)
{
    QElapsedTimer clock;
    clock.start();
    while (!QFile::exists(path) && clock.elapsed() < 20000)
        QThread::msleep(20);
    return readAll(path);
}

TEST(ExpandTest, References)
{
    const struct
    {
        std::vector<std::pair<const char *, ScopedEnv::Value>> env;
        const char *text;
        bool appendSlash;
        QString expected;
    } rows[] = {
        {{{"TQT_U", "C:\\u"}}, "%TQT_U%x", true, "C:/u/x"},
        {{{"TQT_U", "C:\\u"}}, "%TQT_U%x", false, "C:/ux"},
        {{{"TQT_U", "/a/"}}, "%TQT_U%b", true, "/a/b"},
        {{{"TQT_U", "/a\\"}}, "%TQT_U%b", true, "/a/b"},
        // Windows has no empty variables: an empty one is not set.
        {{{"TQT_U", ""}}, "%TQT_U%\\b", true, "%TQT_U%/b"},
        // The first unset variable ends the expansion; only backslashes change after it.
        {{{"TQT_U", std::nullopt}, {"TQT_V", "v"}},
         "%TQT_U%\\a\\%TQT_V%",
         true,
         "%TQT_U%/a/%TQT_V%"},
        {{{"TQT_U", std::nullopt}, {"TQT_V", "v"}},
         "%TQT_V%-%TQT_U%-%TQT_V%",
         false,
         "v-%TQT_U%-%TQT_V%"},
        {{}, "%%x", false, "%%x"},
        {{}, "50% of c:\\x", false, "50% of c:/x"},
        {{{"TQT_V", "v"}}, "pre-%TQT_V%-post", false, "pre-v-post"},
        {{{"TQT_V", "v"}}, "%TQT_V%%TQT_V%", false, "vv"},
        {{}, "", true, ""},
        // Inserted values are expanded again, up to bounds for values that refer to themselves.
        {{{"TQT_V", "v"}, {"TQT_U", "%TQT_V%\\o"}}, "%TQT_U%", false, "v/o"},
        {{{"TQT_U", "%TQT_U%x"}},
         "%TQT_U%",
         false,
         "%TQT_U%" + QString(MaxEnvironmentExpansions, QLatin1Char('x'))},
        {{{"TQT_U", "%TQT_U%"}}, "a%TQT_U%b", false, "a%TQT_U%b"},
        {{{"TQT_U", QByteArray(1000, 'y') + "%TQT_U%"}},
         "%TQT_U%",
         false,
         QString(32000, QLatin1Char('y')) + "%TQT_U%"},
        // APPDATA, unset or empty, is the user's configuration folder.
        {{{"APPDATA", std::nullopt}, {"XDG_CONFIG_HOME", "/cfg"}}, "%APPDATA%x", true, "/cfg/x"},
        {{{"APPDATA", ""}, {"XDG_CONFIG_HOME", ""}, {"HOME", "/home/u"}},
         "%APPDATA%",
         false,
         "/home/u/.config"},
        {{{"APPDATA", "C:\\Users\\x"}}, "%APPDATA%", false, "C:/Users/x"},
    };
    for (const auto &row : rows) {
        ScopedEnv env;
        env.set(row.env);
        EXPECT_EQ(expandEnvironmentVariables(row.text, row.appendSlash), row.expected) << row.text;
    }
}

// Collects what a child writes, answers with `answer`, and may raise a stop flag.
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
        if (stopFlag != nullptr)
            *stopFlag = true;
        return answer;
    }
    QByteArray out, err, answer;
    qint64 lastPid = 0;
    bool *stopFlag = nullptr;
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
    QString script(const QString &name, const QByteArray &body)
    {
        return writeScript(path(name), body);
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
        const char *name;
        QByteArray body; // empty: no such file
        const char *interpreter;
        bool caller;
        const char *displayName;
        int timeoutMs;
        const char *message; // null: success
        int exitCode;
    } rows[] = {
        {"exit 0", "exit 0", "/bin/sh", false, "", 0, nullptr, 0},
        {"no limit", "sleep 0.5", "/bin/sh", false, "", 0, nullptr, 0},
        {"exit 3", "exit 3", "/bin/sh", true, "", 0, "The process exited with exit code 3", 3},
        {"last error chunk", "printf first >&2\nsleep 1\nprintf 'last words' >&2\nexit 3",
         "/bin/sh", true, "Tool", 0, "Tool exited with exit code 3\nlast words", 3},
        // Without a caller the error output is not read, and the child does not block on it.
        {"no caller", loud, "/bin/sh", false, "", 0, "The process exited with exit code 3", 3},
        {"killed", "kill -9 $$", "/bin/sh", false, "", 0, "The process exited with exit code 9", 9},
        {"time limit", "exec sleep 30", "/bin/sh", false, "", 500,
         "Maximum calculation time for external process exceeded.", 0},
        {"named time limit", "exec sleep 30", "/bin/sh", false, "undname", 500,
         "Maximum calculation time for undname exceeded.", 0},
        {"no interpreter", "exit 0", "/no/such/sh", false, "", 0,
         "execvp: No such file or directory", 255},
        {"no file", "", "", false, "", 0, NotFound, -1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
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
            EXPECT_TRUE(result.success);
            EXPECT_EQ(result.exitCode, 0);
        } catch (const RunException &e) {
            EXPECT_STREQ(e.what(), row.message ? row.message : "(success)");
            EXPECT_EQ(e.exitCode, row.exitCode);
        }
        if (QFile::exists(pidFile)) {
            EXPECT_TRUE(gone(readAll(pidFile))) << "the child outlived the run";
        }
    }
}

TEST_P(Runner, OutputReachesTheCallerAndOneAnswerEndsTheInput)
{
    Collector collector;
    collector.answer = "hello\nworld\n";
    RunParameters p;
    p.executable = script("talk.exe", "echo ready\nread line\necho \"got:$line\"\necho oops >&2\n"
                                      "cat > \"$1\"\nsleep 0.3\necho end");
    p.arguments << path("rest");
    p.caller = &collector;
    p.timeoutMs = 10000;
    EXPECT_TRUE(ProcessRunner::run(p, nullptr).success);
    EXPECT_EQ(collector.out, "ready\ngot:hello\nend\n");
    EXPECT_EQ(collector.err, "oops\n");
    EXPECT_GT(collector.lastPid, 0);
    // The rest of the one answer, then the end of the input: nothing was written twice.
    EXPECT_EQ(readAll(path("rest")), "world\n");
}

TEST_P(Runner, FilesWorkingDirectoryAndEnvironmentTakeEffect)
{
    QFile in(path("in.txt")), out(path("out.txt"));
    ASSERT_TRUE(in.open(QIODevice::WriteOnly) && out.open(QIODevice::WriteOnly));
    in.write("line one\nline two\n");
    out.write(QByteArray(4096, 'z'));
    in.close();
    out.close();
    RunParameters copy;
    copy.executable = script("copy.exe", "cat");
    copy.stdInFile = in.fileName();
    copy.stdOutFile = out.fileName();
    EXPECT_TRUE(ProcessRunner::run(copy, nullptr).success);
    EXPECT_EQ(readAll(out.fileName()), "line one\nline two\n");

    ASSERT_TRUE(QDir().mkpath(path("work")));
    ScopedEnv env;
    env.set("TQT_BASE", QByteArray("base"));
    Collector collector;
    RunParameters where;
    where.executable = script("where.exe", "pwd -P\necho \"$TQT_EXTRA|$TQT_BASE\"");
    where.caller = &collector;
    where.workingDirectory = path("work");
    where.environment << QStringLiteral("TQT_EXTRA=abc");
    EXPECT_TRUE(ProcessRunner::run(where, nullptr).success);
    EXPECT_EQ(collector.out, QDir(path("work")).canonicalPath().toLocal8Bit() + "\nabc|base\n");
}

class RunnerWithLoop : public Runner
{
};

INSTANTIATE_TEST_SUITE_P(Paths, RunnerWithLoop, ::testing::Values(true),
                         [](const auto &) { return "EventLoop"; });

TEST_P(RunnerWithLoop, StopFlagEndsTheRunAndTheChild)
{
    bool stop = false;
    Collector collector;
    collector.stopFlag = &stop;
    RunParameters p;
    p.executable = script("long.exe", RecordPid + "echo tick\nexec sleep 30");
    p.arguments << path("pid");
    p.caller = &collector;
    p.timeoutMs = 60000;
    // Raised by the callback, then raised before the run.
    for (int round = 0; round < 2; ++round) {
        EXPECT_FALSE(ProcessRunner::run(p, &stop).success);
        EXPECT_TRUE(gone(readAll(path("pid"))));
    }
}

// Counts the turns of the wait loop, each of which pumps the event queue once, and raises the
// stop flag at a bound.
class TurnCounter : public QObject
{
public:
    TurnCounter(bool *stop, int bound) : stop(stop), bound(bound) { post(); }
    bool event(QEvent *e) override
    {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        if (++turns >= bound)
            *stop = true;
        post();
        return true;
    }
    int turns = 0;

private:
    void post() { QCoreApplication::postEvent(this, new QEvent(QEvent::User)); }
    bool *stop;
    int bound;
};

TEST_P(RunnerWithLoop, ChattyChildIsPassedOnAsItWrites)
{
    // 16 MB are 256 pipe-fulls: a runner that took one per turn would need as many turns.
    bool stop = false;
    TurnCounter counter(&stop, 50);
    Collector collector;
    RunParameters p;
    p.executable = script("chatty.exe", "head -c 16000000 /dev/zero");
    p.caller = &collector;
    EXPECT_TRUE(ProcessRunner::run(p, &stop).success) << counter.turns << " turns";
    EXPECT_EQ(collector.out.size(), 16000000);
    EXPECT_GT(counter.turns, 0) << "queued work did not run during the wait";
}

TEST(LookupTest, NamesAreFoundAsTheProductNamesExecutables)
{
    QTemporaryDir temp;
    const QString a = temp.filePath("a"), b = temp.filePath("b");
    writeScript(a + "/both.exe", "echo A");
    writeScript(b + "/both.exe", "echo B");
    for (const QString &file :
         {b + "/onlyb.exe", a + "/sub/nested.exe", a + "/UP.EXE.exe", a + "/UPPER.EXE"})
        writeScript(file, "");
    QDir().mkpath(a + "/folder.exe");
    QFile plain(a + "/plain.exe");
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    ScopedEnv env;
    env.set("PATH", (":" + a + "::" + b + ":").toLocal8Bit());
    const struct
    {
        QString name;
        bool found;
    } rows[] = {
        {"both", true},
        {"both.exe", true},
        {"onlyb", true},
        {"none", false},
        {"plain", false},
        {"folder", false},
        // Upper-case ".EXE" is not the suffix: ".exe" is appended all the same.
        {"UP.EXE", true},
        {"UPPER.EXE", false},
        // A name with '/' is a path; PATH is not searched for it.
        {"sub/nested", false},
        {a + "/sub/nested", true},
        {b + "/onlyb.exe", true},
    };
    for (const auto &row : rows)
        EXPECT_EQ(ProcessRunner::isExecutableFound(row.name), row.found) << row.name.toStdString();

    // The first directory that has the name wins.
    Collector collector;
    RunParameters p;
    p.executable = QStringLiteral("both");
    p.caller = &collector;
    EXPECT_TRUE(ProcessRunner::run(p, nullptr).success);
    EXPECT_EQ(collector.out, "A\n");
}

TEST(LookupTest, RelativeProgramsStartFromTheCallersFolderInTheWorkingDirectory)
{
    QTemporaryDir temp;
    const QString oldCurrent = QDir::currentPath();
    QDir::setCurrent(temp.path());
    writeScript(temp.filePath("rel/where.exe"), "pwd -P > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"");
    ASSERT_TRUE(QDir().mkpath(temp.filePath("work")));
    const QString work = QDir(temp.filePath("work")).canonicalPath();
    const QString marker = temp.filePath("ran");
    ScopedEnv env;
    env.set("PATH", "rel:" + qgetenv("PATH"));
    // A relative path, and a name found through a relative PATH entry.
    for (const char *program : {"rel/where", "where"}) {
        SCOPED_TRACE(program);
        RunParameters p;
        p.executable = QString::fromLatin1(program);
        p.arguments << marker;
        p.workingDirectory = work;
        EXPECT_TRUE(ProcessRunner::run(p, nullptr).success);
        EXPECT_EQ(readAll(marker), work.toLocal8Bit() + "\n");
        QFile::remove(marker);
        const RunResult detached = ProcessRunner::startDetached(p);
        EXPECT_TRUE(detached.success);
        EXPECT_EQ(detached.exitCode, -1);
        EXPECT_EQ(awaitFile(marker), work.toLocal8Bit() + "\n");
        QFile::remove(marker);
    }
    QDir::setCurrent(oldCurrent);
}

TEST(LookupTest, DetachedStartThatFailsIsNoSuccessAndAMissingFileThrows)
{
    QTemporaryDir temp;
    RunParameters p;
    p.executable = writeScript(temp.filePath("broken.exe"), "", "/no/such/sh");
    RunResult result;
    EXPECT_NO_THROW(result = ProcessRunner::startDetached(p));
    EXPECT_FALSE(result.success);
    p.executable = temp.filePath("missing.exe");
    try {
        ProcessRunner::startDetached(p);
        ADD_FAILURE() << "no exception";
    } catch (const RunException &e) {
        EXPECT_STREQ(e.what(), NotFound);
        EXPECT_EQ(e.exitCode, -1);
    }
}

} // namespace
