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

// A null flag is one that stays false.
bool stopRequested(const bool *stopFlag)
{
    return stopFlag != nullptr && *stopFlag;
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

QString ProcessRunner::requireExecutable(const QString &executable)
{
    const QString program = findExecutable(executable);
    if (program.isEmpty())
        throw RunException(NotFoundMessage, -1);
    return program;
}

RunResult ProcessRunner::startDetached(const RunParameters &parameters)
{
    const QString program = requireExecutable(parameters.executable);
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
    const QString program = requireExecutable(parameters.executable);

    ProcessRunner runner;
    // Declared after the runner, so it goes first and its last notifications still reach it.
    QProcess process;
    runner.connectTo(process, parameters);
    applyParameters(process, parameters);
    if (QCoreApplication::instance() != nullptr)
        runner.waitPumpingEvents(program, parameters, stopFlag);
    else
        runner.waitWithoutEvents(program, parameters);

    const int exitCode = process.exitCode();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(KillTimeoutMs);
    }
    if (stopRequested(stopFlag))
        return RunResult{false, exitCode};
    return runner.outcome(parameters.displayName, exitCode);
}

void ProcessRunner::connectTo(QProcess &newProcess, const RunParameters &parameters)
{
    process = &newProcess;
    caller = parameters.caller;
    executable = parameters.executable;
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &ProcessRunner::procExited);
    connect(process, &QProcess::errorOccurred, this, &ProcessRunner::procRunError);
    if (caller != nullptr) {
        connect(process, &QProcess::readyReadStandardError, this, &ProcessRunner::procHasError);
        connect(process, &QProcess::readyReadStandardOutput, this, &ProcessRunner::procHasStdOut);
    }
}

void ProcessRunner::applyParameters(QProcess &process, const RunParameters &parameters)
{
    if (!parameters.stdOutFile.isEmpty())
        process.setStandardOutputFile(parameters.stdOutFile, QIODevice::Truncate);
    if (!parameters.stdInFile.isEmpty())
        process.setStandardInputFile(parameters.stdInFile);
    if (!parameters.workingDirectory.isEmpty())
        process.setWorkingDirectory(parameters.workingDirectory);
    if (!parameters.environment.isEmpty())
        process.setEnvironment(QProcess::systemEnvironment() + parameters.environment);
}

void ProcessRunner::start(const QString &program, const QStringList &arguments)
{
    process->start(program, arguments, QIODevice::ReadWrite);
    if (!process->waitForStarted(StartTimeoutMs))
        throw RunException(toMessage(process->errorString()), process->exitCode());
}

void ProcessRunner::waitPumpingEvents(const QString &program, const RunParameters &parameters,
                                      const bool *stopFlag)
{
    QTimer timer;
    if (parameters.timeoutMs > 0) {
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, this, &ProcessRunner::procTimeoutReached);
        timer.start(parameters.timeoutMs);
    }
    start(program, parameters.arguments);
    while (running) {
        if (stopRequested(stopFlag))
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        // Between two pumps of the event queue, pass output on as the child writes it: a
        // child that writes more than a pipe holds would otherwise stall a whole interval
        // per pipe-full (the demangler's output for 100,000 names took 20 s that way).
        const QDeadlineTimer turn{qint64(PollIntervalMs)};
        while (running && !stopRequested(stopFlag) && !turn.hasExpired() &&
               process->state() != QProcess::NotRunning &&
               process->waitForReadyRead(int(turn.remainingTime()))) {
        }
        if (running && !stopRequested(stopFlag) && !turn.hasExpired())
            QThread::msleep(static_cast<unsigned long>(turn.remainingTime()));
    }
}

void ProcessRunner::waitWithoutEvents(const QString &program, const RunParameters &parameters)
{
    start(program, parameters.arguments);
    // No limit means no limit here too; a wait that runs out is the time-out it stands for.
    QElapsedTimer clock;
    clock.start();
    const int limit = parameters.timeoutMs > 0 ? parameters.timeoutMs : -1;
    if (!process->waitForFinished(limit) && process->state() != QProcess::NotRunning && limit > 0 &&
        clock.elapsed() >= limit)
        timedOut = true;
}

RunResult ProcessRunner::outcome(const QString &displayName, int exitCode) const
{
    if (timedOut) {
        const QString name =
            displayName.isEmpty() ? QStringLiteral("external process") : displayName;
        throw RunException(toMessage(QStringLiteral("Maximum calculation time for ") + name +
                                     QStringLiteral(" exceeded.")),
                           exitCode);
    }

    // Only a finished notification tells a normal exit; without one the run did not succeed.
    if (exitCode == 0 && finishedSeen && exitStatus == QProcess::NormalExit)
        return RunResult{true, 0};

    QString message = displayName.isEmpty() ? QStringLiteral("The process") : displayName;
    message += QStringLiteral(" exited with exit code ") + QString::number(exitCode);
    if (!lastErrorOutput.isEmpty())
        message += QLatin1Char('\n') + lastErrorOutput;
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
