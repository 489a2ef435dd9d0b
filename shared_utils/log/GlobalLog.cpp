#include "GlobalLog.h"

#include <cstdarg>
#include <cstdio>

namespace TQ::SHARED::UTILS {

Log::~Log()
{
    qDeleteAll(pending);
}

void Log::writeFormatted(int level, const char *fmt, va_list args)
{
    char buffer[FormatBufferSize];
    const int written = std::vsnprintf(buffer, sizeof buffer, fmt, args);
    if (written < 0)
        return;
    write(level, QString::fromLatin1(buffer), false, false);
}

void Log::info(const char *fmt, ...)
{
    if (fmt == nullptr)
        return;
    va_list args;
    va_start(args, fmt);
    writeFormatted(Information, fmt, args);
    va_end(args);
}

void Log::error(const char *fmt, ...)
{
    if (fmt == nullptr)
        return;
    va_list args;
    va_start(args, fmt);
    writeFormatted(Error, fmt, args);
    va_end(args);
}

void Log::info(const QString &text)
{
    if (!text.isEmpty())
        write(Information, text, false, false);
}

void Log::warning(const QString &text)
{
    if (!text.isEmpty())
        write(Warning, text, false, false);
}

void Log::error(const QString &text)
{
    if (!text.isEmpty())
        write(Error, text, false, false);
}

void Log::write(int level, const QString &text, bool direct, bool withContext)
{
    auto *entry = new LogEntry(level, text);
    if (direct)
        entry->direct = true;
    if (withContext) {
        entry->contextText = contextText;
        entry->contextNumber = contextNumber;
    }
    pending.append(entry);
}

GlobalLog *GlobalLog::instance()
{
    static GlobalLog *theInstance = nullptr;
    if (theInstance == nullptr)
        theInstance = new GlobalLog;
    return theInstance;
}

} // namespace TQ::SHARED::UTILS
