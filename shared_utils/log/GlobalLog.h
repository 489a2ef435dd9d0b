// The process-wide in-memory log of the settings framework.
#pragma once

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>

#include <cstdarg>

namespace TQ::SHARED::UTILS {

struct LogEntry
{
    LogEntry(int level, const QString &text)
        : level(level), text(text), time(QDateTime::currentDateTime())
    {
    }

    int level;
    QString text;
    QDateTime time;
    QString contextText;
    int contextNumber = 0;
    bool direct = false;
};

class Log
{
public:
    enum Level { Information = 4, Warning = 8, Error = 16 };

    // Room for a printf-style message, terminating zero included; longer texts are truncated.
    static constexpr int FormatBufferSize = 512;

    Log() = default;
    Log(const Log &) = delete;
    Log &operator=(const Log &) = delete;
    // Not virtual: the process-wide log is never destroyed, and no log is deleted through a
    // base pointer. A log that does end frees the entries it still holds.
    ~Log();

    virtual void lock() {}
    virtual void unlock() {}

    void info(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void info(const QString &text);
    void warning(const QString &text);
    void error(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void error(const QString &text);
    void write(int level, const QString &text, bool direct, bool withContext);

    // The entries kept so far, oldest first. They belong to the log.
    const QList<LogEntry *> &pendingEntries() const { return pending; }

private:
    void writeFormatted(int level, const char *fmt, va_list args)
        __attribute__((format(printf, 3, 0)));

    QString contextText;
    int contextNumber = 0;
    QList<LogEntry *> pending;
};

class ThreadSafeLog : public Log
{
public:
    void lock() override { mutex.lock(); }
    void unlock() override { mutex.unlock(); }

private:
    QMutex mutex;
};

class GlobalLog : public ThreadSafeLog
{
public:
    // Created on the first call and kept for the life of the process. The first call must not
    // race with another.
    static GlobalLog *instance();

    virtual ~GlobalLog() = default;

private:
    GlobalLog() = default;
};

} // namespace TQ::SHARED::UTILS
