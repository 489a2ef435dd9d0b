// Runs external programs detached or to their end, with a time limit, output callbacks and one
// exception type; expands %NAME% environment references.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <exception>
#include <string>

namespace PORTABLE_EXCEPTION {

class string_exception : public std::exception
{
public:
    explicit string_exception(const std::string &message) : message(message) {}
    explicit string_exception(const char *message) : message(message != nullptr ? message : "") {}
    string_exception(const string_exception &) = default;

    const char *what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

} // namespace PORTABLE_EXCEPTION

namespace TQ::SHARED::UTILS {

// Receives the output of a running process chunk by chunk; an answer that is not empty is
// written to the process's standard input, after which that input is closed.
class IExtProcCaller
{
public:
    virtual QByteArray handleStdErr(const QByteArray &data, qint64 pid) = 0;
    virtual QByteArray handleStdOut(const QByteArray &data, qint64 pid) = 0;
};

} // namespace TQ::SHARED::UTILS

namespace TQ::SHARED::UTILS::PROCESSRUNNER {

class RunException : public PORTABLE_EXCEPTION::string_exception
{
public:
    RunException(const std::string &message, int exitCode)
        : string_exception(message), exitCode(exitCode)
    {
    }
    RunException(const RunException &) = default;

    int exitCode;
};

struct RunParameters
{
    QString executable;
    QStringList arguments;
    IExtProcCaller *caller = nullptr;
    QString displayName;
    QString stdOutFile;
    QString stdInFile;
    QString workingDirectory;
    QStringList environment;
    int timeoutMs = 0;
};

struct RunResult
{
    bool success = false;
    int exitCode = -1;
};

// Replaces %NAME% references by the values of the environment variables, stopping at the first
// one that is not set, and turns every backslash into '/'. With appendSlash, a non-empty value
// that ends in no separator gets a '/'. Values are scanned again for references; the number of
// replacements and the length of the text are bounded, so a self-referring value ends.
QString expandEnvironmentVariables(const QString &text, bool appendSlash);

// The most replacements one expansion makes, and the longest text (in bytes) it produces: the
// size limit of a Windows environment block entry.
constexpr int MaxEnvironmentExpansions = 256;
constexpr int MaxExpandedLength = 32767;

class ProcessRunner : public QObject
{
    Q_OBJECT

public:
    // Runs the program to its end. A stop flag that becomes true during the run ends it early
    // with success false. Throws RunException.
    static RunResult run(const RunParameters &parameters, bool *stopFlag);
    // Starts the program detached; only executable, arguments and workingDirectory are used.
    static RunResult startDetached(const RunParameters &parameters);
    // The name with ".exe" appended unless it ends so; a name with '/' is a path, any other is
    // looked for in each PATH directory in turn.
    static bool isExecutableFound(const QString &executable);

private slots:
    void procExited(int exitCode, QProcess::ExitStatus exitStatus);
    void procHasError();
    void procHasStdOut();
    void procTimeoutReached();
    void procRunError(QProcess::ProcessError error);

private:
    ProcessRunner() = default;

    // The absolute path of the file that the lookup accepts for the name, or an empty string.
    static QString findExecutable(const QString &executable);
    // The same, or a RunException when there is none.
    static QString requireExecutable(const QString &executable);
    static void applyParameters(QProcess &process, const RunParameters &parameters);

    // The steps of run: the notifications wired, the start, the wait (pumping the thread's
    // events when there is an application object, else blocking), and what the end means.
    void connectTo(QProcess &newProcess, const RunParameters &parameters);
    void start(const QString &program, const QStringList &arguments);
    void waitPumpingEvents(const QString &program, const RunParameters &parameters,
                           const bool *stopFlag);
    void waitWithoutEvents(const QString &program, const RunParameters &parameters);
    RunResult outcome(const QString &displayName, int exitCode) const;
    void handleAnswer(const QByteArray &answer);

    QProcess *process = nullptr;
    // Pessimistic until the finished notification says otherwise.
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    bool finishedSeen = false;
    QProcess::ProcessError processError = QProcess::UnknownError;
    bool running = true;
    bool timedOut = false;
    bool inputClosed = false;
    IExtProcCaller *caller = nullptr;
    QString executable;
    QString lastErrorOutput;
};

} // namespace TQ::SHARED::UTILS::PROCESSRUNNER
