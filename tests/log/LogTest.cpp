// The log's entry points. The global log and its levels are seen through the settings tests.
#include "GlobalLog.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace TQ::SHARED::UTILS;

namespace {

using Lines = std::vector<std::pair<int, QString>>;

Lines linesOf(const Log &log)
{
    Lines lines;
    for (const LogEntry *entry : log.pendingEntries())
        lines.emplace_back(entry->level, entry->text);
    return lines;
}

struct RecordingDispatcher : ILogDispatcher
{
    void dispatch(const LogEntry &entry) override { seen.emplace_back(entry.level, entry.text); }
    Lines seen;
};

TEST(LogTest, EntryPoints)
{
    const std::string tooLong(2000, 'x'), fitting(Log::FormatBufferSize - 1, 'y');
    Log log;
    const QDateTime before = QDateTime::currentDateTime();
    log.info("%d files in %s", 3, "dir");
    log.error("code %04x", 0x2a);
    // Empty texts and null formats are dropped.
    log.info(QString()), log.warning(""), log.error(QString()), log.info(nullptr),
        log.error(nullptr);
    // A formatted text is cut to the buffer, terminating zero included.
    log.error("%s", tooLong.c_str());
    log.info("%s", fitting.c_str());
    log.setContext(QStringLiteral("restore"), 7);
    log.write(8, QStringLiteral("direct, with context"), true, true);
    EXPECT_EQ(linesOf(log), Lines({{4, "3 files in dir"},
                                   {16, "code 002a"},
                                   {16, QString(Log::FormatBufferSize - 1, QLatin1Char('x'))},
                                   {4, QString::fromStdString(fitting)},
                                   {8, "direct, with context"}}));
    for (const LogEntry *entry : log.pendingEntries()) {
        EXPECT_GE(entry->time, before);
        EXPECT_LE(entry->time, QDateTime::currentDateTime());
        EXPECT_EQ(entry->direct, entry->level == 8);
        EXPECT_EQ(entry->contextText, entry->level == 8 ? "restore" : "");
        EXPECT_EQ(entry->contextNumber, entry->level == 8 ? 7 : 0);
    }

    // A dispatcher takes the entries instead of the log; without one they are kept again.
    RecordingDispatcher dispatcher;
    log.setDispatcher(&dispatcher);
    log.warning(QStringLiteral("sent"));
    log.setDispatcher(nullptr);
    log.info(QStringLiteral("kept"));
    EXPECT_EQ(dispatcher.seen, Lines({{8, "sent"}}));
    EXPECT_EQ(linesOf(log).back(), std::make_pair(4, QString("kept")));
}

TEST(LogTest, ThreadSafeLogSerialisesBracketedWriters)
{
    ThreadSafeLog log;
    Log &base = log; // through the base, as callers that share a log hold it
    const auto write = [&base](int tag) {
        for (int i = 0; i < 500; ++i) {
            base.lock();
            base.info("%d %d", tag, i);
            base.unlock();
        }
    };
    std::thread a(write, 0), b(write, 1);
    a.join();
    b.join();
    // Every entry arrived, each writer's in its own order.
    int next[2] = {0, 0};
    for (const LogEntry *entry : log.pendingEntries()) {
        const QStringList parts = entry->text.split(QLatin1Char(' '));
        EXPECT_EQ(parts.value(1).toInt(), next[parts.value(0).toInt() & 1]++);
    }
    EXPECT_EQ(next[0] + next[1], 1000);
}

} // namespace
