#include "processrunner.h"

#include "PlatformEnv.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

namespace TQ::SHARED::UTILS::PROCESSRUNNER {

namespace {

constexpr int StartTimeoutMs = 30000;
constexpr int KillTimeoutMs = 30000;
constexpr int WriteTimeoutMs = 30000;
constexpr unsigned long PollIntervalMs = 200;

const char NotFoundMessage[] =
    "ProcessRunner: given executable does not exist or is not executable.";

std::string toMessage(const QString &text)
{
    return text.toUtf8().toStdString();
}

} // namespace

QString expandEnvironmentVariables(const QString &text, bool appendSlash)
{
    QByteArray work = text.toLocal8Bit();
    int expansions = 0;
    int start = work.indexOf('%');
    while (start >= 0) {
        const int end = work.indexOf('%', start + 1);
        if (end < 0)
            break;
        const QByteArray name = work.mid(start + 1, end - start - 1);
        if (name.contains('\0'))
            break;
        const std::optional<QByteArray> found =
            TQ::PLATFORM::ENV::environmentValue(name.constData());
        if (!found)
            break;
        QByteArray value = *found;
        if (appendSlash && !value.isEmpty() && !value.endsWith('\\') && !value.endsWith('/'))
            value.append('/');
        const int tokenLength = end - start + 1;
        // The value is scanned again, so a variable that refers to itself would grow forever.
        if (expansions >= MaxEnvironmentExpansions ||
            work.size() - tokenLength + value.size() > MaxExpandedLength)
            break;
        work.replace(start, tokenLength, value);
        ++expansions;
        start = work.indexOf('%', start);
    }
    work.replace('\\', '/');
    return QString::fromLocal8Bit(work);
}

QString ProcessRunner::findExecutable(const QString &executable)
{
    QString name = executable;
    if (!name.endsWith(QLatin1String(".exe")))
        name += QLatin1String(".exe");
    // The absolute path: QProcess resolves a relative one only after changing to the working
    // directory, where the file the lookup accepted may not be.
    const auto accepted = [](const QString &candidate) {
        const QFileInfo info(candidate);
        return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
    };
    if (name.contains(QLatin1Char('/')))
        return accepted(name);
    const QString searchPath = expandEnvironmentVariables(QStringLiteral("%PATH%"), false);
    const QStringList dirs = searchPath.split(QDir::listSeparator(), Qt::SkipEmptyParts);
    for (const QString &dir : dirs) {
        const QString found = accepted(dir + QLatin1Char('/') + name);
        if (!found.isEmpty())
            return found;
    }
    return QString();
}

bool ProcessRunner::isExecutableFound(const QString &executable)
{
    return !findExecutable(executable).isEmpty();
}

RunResult ProcessRunner::startDetached(const RunParameters &parameters)
{
    const QString program = findExecutable(parameters.executable);
    if (program.isEmpty())
        throw RunException(NotFoundMessage, -1);
    RunResult result;
    result.success =
        QProcess::startDetached(program, parameters.arguments, parameters.workingDirectory);
    result.exitCode = -1;
    return result;
}

RunResult ProcessRunner::run(const RunParameters &parameters, bool *stopFlag)
{
    // Hand QProcess the file the lookup accepted: on this platform nothing appends ".exe" or
    // searches PATH the way the lookup does.
    const QString program = findExecutable(parameters.executable);
    if (program.isEmpty())
        throw RunException(NotFoundMessage, -1);
    const auto stopped = [stopFlag] { return stopFlag != nullptr && *stopFlag; };

    ProcessRunner runner;
    // Declared after the runner, so it goes first and its last notifications still reach it.
    QProcess process;
    runner.process = &process;
    runner.caller = parameters.caller;
    runner.executable = parameters.executable;

    connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &runner,
            &ProcessRunner::procExited);
    connect(&process, &QProcess::errorOccurred, &runner, &ProcessRunner::procRunError);
    if (runner.caller != nullptr) {
        connect(&process, &QProcess::readyReadStandardError, &runner, &ProcessRunner::procHasError);
        connect(&process, &QProcess::readyReadStandardOutput, &runner,
                &ProcessRunner::procHasStdOut);
    }

    if (!parameters.stdOutFile.isEmpty())
        process.setStandardOutputFile(parameters.stdOutFile, QIODevice::Truncate);
    if (!parameters.stdInFile.isEmpty())
        process.setStandardInputFile(parameters.stdInFile);
    if (!parameters.workingDirectory.isEmpty())
        process.setWorkingDirectory(parameters.workingDirectory);
    if (!parameters.environment.isEmpty())
        process.setEnvironment(QProcess::systemEnvironment() + parameters.environment);

    const auto startProcess = [&] {
        process.start(program, parameters.arguments, QIODevice::ReadWrite);
        if (!process.waitForStarted(StartTimeoutMs))
            throw RunException(toMessage(process.errorString()), process.exitCode());
    };

    QTimer timer;
    if (QCoreApplication::instance() != nullptr) {
        if (parameters.timeoutMs > 0) {
            timer.setSingleShot(true);
            connect(&timer, &QTimer::timeout, &runner, &ProcessRunner::procTimeoutReached);
            timer.start(parameters.timeoutMs);
        }
        startProcess();
        while (runner.running) {
            if (stopped())
                break;
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            // Between two pumps of the event queue, pass output on as the child writes it: a
            // child that writes more than a pipe holds would otherwise stall a whole interval
            // per pipe-full (the demangler's output for 100,000 names took 20 s that way).
            const QDeadlineTimer turn{qint64(PollIntervalMs)};
            while (runner.running && !stopped() && !turn.hasExpired() &&
                   process.state() != QProcess::NotRunning &&
                   process.waitForReadyRead(int(turn.remainingTime()))) {
            }
            if (runner.running && !stopped() && !turn.hasExpired())
                QThread::msleep(static_cast<unsigned long>(turn.remainingTime()));
        }
    } else {
        startProcess();
        // No limit means no limit here too; a wait that runs out is the time-out it stands for.
        QElapsedTimer clock;
        clock.start();
        const int limit = parameters.timeoutMs > 0 ? parameters.timeoutMs : -1;
        if (!process.waitForFinished(limit) && process.state() != QProcess::NotRunning &&
            limit > 0 && clock.elapsed() >= limit)
            runner.timedOut = true;
    }

    const int exitCode = process.exitCode();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(KillTimeoutMs);
    }

    if (stopped())
        return RunResult{false, exitCode};

    if (runner.timedOut) {
        const QString name = parameters.displayName.isEmpty() ? QStringLiteral("external process")
                                                              : parameters.displayName;
        throw RunException(toMessage(QStringLiteral("Maximum calculation time for ") + name +
                                     QStringLiteral(" exceeded.")),
                           exitCode);
    }

    // Only a finished notification tells a normal exit; without one the run did not succeed.
    if (exitCode == 0 && runner.finishedSeen && runner.exitStatus == QProcess::NormalExit)
        return RunResult{true, 0};

    QString message =
        parameters.displayName.isEmpty() ? QStringLiteral("The process") : parameters.displayName;
    message += QStringLiteral(" exited with exit code ") + QString::number(exitCode);
    if (!runner.lastErrorOutput.isEmpty())
        message += QLatin1Char('\n') + runner.lastErrorOutput;
    throw RunException(toMessage(message), exitCode);
}

void ProcessRunner::procExited(int, QProcess::ExitStatus status)
{
    running = false;
    exitStatus = status;
    finishedSeen = true;
}

void ProcessRunner::procRunError(QProcess::ProcessError error)
{
    running = false;
    processError = error;
}

void ProcessRunner::procTimeoutReached()
{
    running = false;
    timedOut = true;
}

void ProcessRunner::procHasError()
{
    if (process == nullptr)
        return;
    const QByteArray chunk = process->readAllStandardError();
    lastErrorOutput = QString::fromLocal8Bit(chunk);
    if (caller == nullptr)
        throw RunException("No process caller specified. Don't know how to handle the error: " +
                               chunk.toStdString(),
                           -1);
    handleAnswer(caller->handleStdErr(chunk, process->processId()));
}

void ProcessRunner::procHasStdOut()
{
    if (caller == nullptr || process == nullptr)
        return;
    const QByteArray chunk = process->readAllStandardOutput();
    handleAnswer(caller->handleStdOut(chunk, process->processId()));
}

void ProcessRunner::handleAnswer(const QByteArray &answer)
{
    // Writing waits, and the wait delivers further output; marking the input as taken first
    // keeps a second answer from slipping in before the channel is closed.
    if (answer.isEmpty() || inputClosed || !process->isWritable())
        return;
    inputClosed = true;
    process->write(answer);
    if (process->waitForBytesWritten(WriteTimeoutMs))
        process->closeWriteChannel();
}

} // namespace TQ::SHARED::UTILS::PROCESSRUNNER
