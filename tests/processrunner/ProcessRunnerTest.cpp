#include "RunnerTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaMethod>
#include <QTemporaryDir>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <memory>
#include <sys/types.h>

using namespace TQ::SHARED::UTILS::PROCESSRUNNER;
using RunnerTest::catchRunException;
using RunnerTest::Collector;
using RunnerTest::readAll;
using RunnerTest::ScopedEnv;
using RunnerTest::writeScript;

namespace {

bool processGone(const QByteArray &pidText)
{
    bool ok = false;
    const pid_t pid = pidText.trimmed().toInt(&ok);
    if (!ok || pid <= 0)
        return false;
    return ::kill(pid, 0) == -1 && errno == ESRCH;
}

class RunnerFixture : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(temp.isValid()); }
    QString dir() const { return temp.path(); }
    QString script(const QString &name, const QByteArray &body)
    {
        return writeScript(dir(), name, body);
    }

    QTemporaryDir temp;
};

// Each case runs once with a QCoreApplication (the wait pumps events) and once without one
// (the wait is waitForFinished).
class RunTest : public RunnerFixture, public ::testing::WithParamInterface<bool>
{
protected:
    void SetUp() override
    {
        RunnerFixture::SetUp();
        if (GetParam())
            app = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { app.reset(); }

    static inline int argc = 1;
    static inline char arg0[] = "tqt_processrunner_tests";
    static inline char *argv[] = {arg0, nullptr};
    std::unique_ptr<QCoreApplication> app;
};

INSTANTIATE_TEST_SUITE_P(Paths, RunTest, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "EventLoop" : "NoApp"; });

TEST_P(RunTest, ExitZeroSucceeds)
{
    RunParameters p;
    p.executable = script("ok.exe", "exit 0");
    const RunResult result = ProcessRunner::run(p, nullptr);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.exitCode, 0);
}

TEST_P(RunTest, NonZeroExitThrowsWithTheLastErrorChunk)
{
    Collector collector;
    RunParameters p;
    p.executable =
        script("fail.exe", "printf 'first' >&2\nsleep 1\nprintf 'last words' >&2\nexit 3");
    p.caller = &collector;
    p.displayName = QStringLiteral("Tool");
    const RunException e = catchRunException([&] { ProcessRunner::run(p, nullptr); });
    EXPECT_STREQ(e.what(), "Tool exited with exit code 3\nlast words");
    EXPECT_EQ(e.exitCode, 3);
    EXPECT_EQ(collector.err, "firstlast words");
    EXPECT_GT(collector.lastPid, 0);

    // Without error output there is no line break; without a name the generic wording.
    RunParameters quiet;
    quiet.executable = script("quiet.exe", "exit 3");
    quiet.caller = &collector;
    const RunException q = catchRunException([&] { ProcessRunner::run(quiet, nullptr); });
    EXPECT_STREQ(q.what(), "The process exited with exit code 3");
    EXPECT_EQ(q.exitCode, 3);
}

TEST_P(RunTest, ProcessThatOutlivesTheLimitIsKilled)
{
    RunParameters p;
    const QString pidFile = dir() + "/pid";
    p.executable = script("slow.exe", "echo $$ > \"$1\"\nexec sleep 30");
    p.arguments << pidFile;
    p.timeoutMs = 500;
    QElapsedTimer clock;
    clock.start();
    const RunException e = catchRunException([&] { ProcessRunner::run(p, nullptr); });
    EXPECT_STREQ(e.what(), "Maximum calculation time for external process exceeded.");
    EXPECT_LT(clock.elapsed(), 20000);
    EXPECT_TRUE(processGone(readAll(pidFile))) << readAll(pidFile).toStdString();

    p.displayName = QStringLiteral("undname");
    const RunException named = catchRunException([&] { ProcessRunner::run(p, nullptr); });
    EXPECT_STREQ(named.what(), "Maximum calculation time for undname exceeded.");
}

TEST_P(RunTest, ZeroLimitWaitsForTheEnd)
{
    RunParameters p;
    p.executable = script("late.exe", "sleep 1\nexit 0");
    p.timeoutMs = 0;
    EXPECT_TRUE(ProcessRunner::run(p, nullptr).success);
}

TEST_P(RunTest, OutputReachesTheCallerAndOneAnswerEndsTheInput)
{
    Collector collector;
    collector.answer = "hello\nworld\n";
    const QString rest = dir() + "/rest";
    RunParameters p;
    p.executable = script("talk.exe", "echo ready\nread line\necho \"got:$line\"\ncat > \"$1\"\n"
                                      "sleep 0.3\necho end");
    p.arguments << rest;
    p.caller = &collector;
    p.timeoutMs = 10000;
    const RunResult result = ProcessRunner::run(p, nullptr);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(collector.out, "ready\ngot:hello\nend\n");
    EXPECT_GE(collector.outCalls, 2);
    // The rest of the one answer, then end of input: nothing was written a second time.
    EXPECT_EQ(readAll(rest), "world\n");
}

TEST_P(RunTest, FilesWorkingDirectoryAndEnvironmentTakeEffect)
{
    const QString in = dir() + "/in.txt";
    const QString out = dir() + "/out.txt";
    {
        QFile f(in);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("line one\nline two\n");
        QFile o(out);
        ASSERT_TRUE(o.open(QIODevice::WriteOnly));
        o.write(QByteArray(4096, 'z'));
    }
    RunParameters copy;
    copy.executable = script("copy.exe", "cat");
    copy.stdInFile = in;
    copy.stdOutFile = out;
    EXPECT_TRUE(ProcessRunner::run(copy, nullptr).success);
    EXPECT_EQ(readAll(out), "line one\nline two\n");

    const QString work = dir() + "/work";
    ASSERT_TRUE(QDir().mkpath(work));
    ScopedEnv base("TQT_T_BASE", QByteArray("base"));
    Collector collector;
    RunParameters where;
    where.executable = script("where.exe", "pwd -P\necho \"$TQT_T_EXTRA|$TQT_T_BASE\"");
    where.caller = &collector;
    where.workingDirectory = work;
    where.environment << QStringLiteral("TQT_T_EXTRA=abc");
    EXPECT_TRUE(ProcessRunner::run(where, nullptr).success);
    EXPECT_EQ(collector.out, QDir(work).canonicalPath().toLocal8Bit() + "\nabc|base\n");
}

TEST_P(RunTest, WithoutCallerOutputIsNotRead)
{
    RunParameters p;
    // More than a pipe holds: the child must not block on a full pipe either.
    p.executable = script("loud.exe", "i=0\nwhile [ $i -lt 2000 ]; do\n"
                                      "echo 'some output line that fills the pipe' >&2\n"
                                      "echo 'and standard output too'\ni=$((i+1))\ndone\nexit 3");
    const RunException e = catchRunException([&] { ProcessRunner::run(p, nullptr); });
    // No caller: the error output never became the last error chunk.
    EXPECT_STREQ(e.what(), "The process exited with exit code 3");
}

TEST_P(RunTest, CrashIsNoSuccess)
{
    RunParameters p;
    p.executable = script("crash.exe", "kill -9 $$");
    const RunException e = catchRunException([&] { ProcessRunner::run(p, nullptr); });
    EXPECT_EQ(std::string(e.what()).rfind("The process exited with exit code ", 0), 0u) << e.what();
}

TEST_P(RunTest, StopFlagFromCallbackEndsWithoutException)
{
    bool stop = false;
    Collector collector;
    collector.stopFlag = &stop;
    RunParameters p;
    p.executable = script("ticks.exe", "echo tick\nsleep 0.5\nexit 0");
    p.caller = &collector;
    const RunResult result = ProcessRunner::run(p, &stop);
    EXPECT_FALSE(result.success);
    EXPECT_TRUE(stop);
    EXPECT_EQ(collector.out.left(5), "tick\n");
}

TEST_P(RunTest, MissingExecutableThrows)
{
    RunParameters p;
    p.executable = dir() + "/nothing.exe";
    for (const auto &call : {std::function<void()>([&] { ProcessRunner::run(p, nullptr); }),
                             std::function<void()>([&] { ProcessRunner::startDetached(p); })}) {
        const RunException e = catchRunException(call);
        EXPECT_STREQ(e.what(),
                     "ProcessRunner: given executable does not exist or is not executable.");
        EXPECT_EQ(e.exitCode, -1);
    }
}

class EventLoopRunTest : public RunTest
{
};

INSTANTIATE_TEST_SUITE_P(Paths, EventLoopRunTest, ::testing::Values(true),
                         [](const auto &) { return "EventLoop"; });

TEST_P(EventLoopRunTest, StopFlagKillsALongRun)
{
    bool stop = false;
    Collector collector;
    collector.stopFlag = &stop;
    const QString pidFile = dir() + "/pid";
    RunParameters p;
    p.executable = script("long.exe", "echo $$ > \"$1\"\necho tick\nexec sleep 30");
    p.arguments << pidFile;
    p.caller = &collector;
    p.timeoutMs = 60000;
    QElapsedTimer clock;
    clock.start();
    const RunResult result = ProcessRunner::run(p, &stop);
    EXPECT_FALSE(result.success);
    EXPECT_LT(clock.elapsed(), 20000);
    EXPECT_TRUE(processGone(readAll(pidFile)));

    // A flag that is already set ends the run at the first turn.
    const RunResult early = ProcessRunner::run(p, &stop);
    EXPECT_FALSE(early.success);
    EXPECT_TRUE(processGone(readAll(pidFile)));
}

TEST_P(EventLoopRunTest, OtherQueuedWorkRunsDuringTheWait)
{
    bool ran = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&ran] { ran = true; }, Qt::QueuedConnection);
    RunParameters p;
    p.executable = script("pause.exe", "sleep 0.5");
    EXPECT_TRUE(ProcessRunner::run(p, nullptr).success);
    EXPECT_TRUE(ran);
}

class LookupTest : public RunnerFixture
{
};

TEST_F(LookupTest, BareNamesAreSearchedInPathFirstHitWins)
{
    const QString a = dir() + "/a";
    const QString b = dir() + "/b";
    writeScript(a, "both.exe", "echo A");
    writeScript(b, "both.exe", "echo B");
    writeScript(b, "onlyb.exe", "echo onlyB");
    writeScript(a + "/sub", "nested.exe", "echo nested");
    writeScript(a, "UP.EXE.exe", "echo up");
    writeScript(a, "UPPER.EXE", "echo upper");
    QDir().mkpath(a + "/folder.exe");
    {
        QFile plain(a + "/plain.exe");
        ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
        plain.write("#!/bin/sh\n");
    }

    ScopedEnv path("PATH", (":" + a + "::" + b + ":").toLocal8Bit());
    EXPECT_TRUE(ProcessRunner::isExecutableFound("both"));
    EXPECT_TRUE(ProcessRunner::isExecutableFound("both.exe"));
    EXPECT_TRUE(ProcessRunner::isExecutableFound("onlyb"));
    EXPECT_FALSE(ProcessRunner::isExecutableFound("none"));
    EXPECT_FALSE(ProcessRunner::isExecutableFound("plain"));
    EXPECT_FALSE(ProcessRunner::isExecutableFound("folder"));
    // Upper-case ".EXE" is not the suffix: ".exe" is appended all the same.
    EXPECT_TRUE(ProcessRunner::isExecutableFound("UP.EXE"));
    EXPECT_FALSE(ProcessRunner::isExecutableFound("UPPER.EXE"));
    // A name with '/' is a path; PATH is not searched for it.
    EXPECT_FALSE(ProcessRunner::isExecutableFound("sub/nested"));
    EXPECT_TRUE(ProcessRunner::isExecutableFound(a + "/sub/nested"));
    EXPECT_TRUE(ProcessRunner::isExecutableFound(b + "/onlyb.exe"));

    Collector collector;
    RunParameters p;
    p.executable = QStringLiteral("both");
    p.caller = &collector;
    EXPECT_TRUE(ProcessRunner::run(p, nullptr).success);
    EXPECT_EQ(collector.out, "A\n");
}

TEST_F(LookupTest, StartDetachedStartsInTheWorkingDirectory)
{
    const QString work = dir() + "/detached";
    ASSERT_TRUE(QDir().mkpath(work));
    const QString marker = dir() + "/marker";
    RunParameters p;
    p.executable = script("detach.exe", "pwd -P > \"$1.tmp\"\nmv \"$1.tmp\" \"$1\"");
    p.arguments << marker;
    p.workingDirectory = work;
    const RunResult result = ProcessRunner::startDetached(p);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.exitCode, -1);
    QElapsedTimer clock;
    clock.start();
    while (!QFile::exists(marker) && clock.elapsed() < 20000)
        QThread::msleep(50);
    EXPECT_EQ(readAll(marker), QDir(work).canonicalPath().toLocal8Bit() + "\n");
}

TEST(ProcessRunnerMetaTest, MetaObjectNamesTheClassAndItsSlotsInOrder)
{
    const QMetaObject &meta = ProcessRunner::staticMetaObject;
    EXPECT_STREQ(meta.className(), "TQ::SHARED::UTILS::PROCESSRUNNER::ProcessRunner");
    QStringList slotNames;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        if (meta.method(i).methodType() == QMetaMethod::Slot)
            slotNames << QString::fromLatin1(meta.method(i).name());
    EXPECT_EQ(slotNames, QStringList({"procExited", "procHasError", "procHasStdOut",
                                      "procTimeoutReached", "procRunError"}));
}

} // namespace
