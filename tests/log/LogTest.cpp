#include "GlobalLog.h"

#include <gtest/gtest.h>

#include <QThread>

#include <functional>
#include <string>
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

TEST(LogTest, EntryPointsKeepLevelTextAndOrder)
{
    const std::string tooLong(2000, 'x'), fitting(Log::FormatBufferSize - 1, 'y');
    const struct
    {
        std::function<void(Log &)> call;
        Lines expected;
    } rows[] = {
        {[](Log &log) { log.info(QStringLiteral("a")); }, {{4, "a"}}},
        {[](Log &log) { log.warning(QStringLiteral("careful")); }, {{8, "careful"}}},
        {[](Log &log) { log.error(QStringLiteral("broken")); }, {{16, "broken"}}},
        {[](Log &log) { log.info("%d files in %s", 3, "dir"); }, {{4, "3 files in dir"}}},
        {[](Log &log) { log.error("code %04x", 0x2a); }, {{16, "code 002a"}}},
        // Empty texts and null formats are dropped.
        {[](Log &log) { log.info(QString()), log.warning(""), log.error(QString()); }, {}},
        {[](Log &log) { log.info(nullptr), log.error(nullptr); }, {}},
        // A formatted text is cut to the buffer, terminating zero included.
        {[&](Log &log) { log.error("%s", tooLong.c_str()); },
         {{16, QString(Log::FormatBufferSize - 1, QLatin1Char('x'))}}},
        {[&](Log &log) { log.info("%s", fitting.c_str()); },
         {{4, QString::fromStdString(fitting)}}},
        {[](Log &log) { log.info(QStringLiteral("1")), log.error(QStringLiteral("2")); },
         {{4, "1"}, {16, "2"}}},
    };
    for (const auto &row : rows) {
        Log log;
        const QDateTime before = QDateTime::currentDateTime();
        row.call(log);
        EXPECT_EQ(linesOf(log), row.expected) << &row - rows;
        for (const LogEntry *entry : log.pendingEntries()) {
            EXPECT_GE(entry->time, before);
            EXPECT_LE(entry->time, QDateTime::currentDateTime());
            EXPECT_FALSE(entry->direct);
            EXPECT_TRUE(entry->contextText.isEmpty());
        }
    }
}

struct RecordingDispatcher : ILogDispatcher
{
    void dispatch(const LogEntry &entry) override { seen.emplace_back(entry.level, entry.text); }
    Lines seen;
};

TEST(LogTest, WriteFlagsAndDispatcher)
{
    Log log;
    log.setContext(QStringLiteral("restore"), 7);
    log.write(8, QStringLiteral("with"), true, true);
    log.write(4, QStringLiteral("without"), false, false);
    ASSERT_EQ(log.pendingEntries().size(), 2);
    const LogEntry *with = log.pendingEntries()[0];
    const LogEntry *without = log.pendingEntries()[1];
    EXPECT_TRUE(with->direct);
    EXPECT_EQ(with->contextText, QStringLiteral("restore"));
    EXPECT_EQ(with->contextNumber, 7);
    EXPECT_FALSE(without->direct);
    EXPECT_TRUE(without->contextText.isEmpty());

    // A dispatcher takes the entries instead of the log; without one they are kept again.
    RecordingDispatcher dispatcher;
    log.setDispatcher(&dispatcher);
    log.warning(QStringLiteral("sent"));
    log.setDispatcher(nullptr);
    log.info(QStringLiteral("kept"));
    EXPECT_EQ(dispatcher.seen, Lines({{8, "sent"}}));
    EXPECT_EQ(linesOf(log), Lines({{8, "with"}, {4, "without"}, {4, "kept"}}));
}

TEST(LogTest, GlobalLogIsOneInstance)
{
    EXPECT_NE(GlobalLog::instance(), nullptr);
    EXPECT_EQ(GlobalLog::instance(), GlobalLog::instance());
}

TEST(LogTest, ThreadSafeLogSerialisesBracketedWriters)
{
    ThreadSafeLog log;
    Log &base = log; // through the base, as callers that share a log hold it
    constexpr int PerThread = 500;
    const auto writer = [&base](const char *tag) {
        return QThread::create([&base, tag] {
            for (int i = 0; i < PerThread; ++i) {
                base.lock();
                base.info("%s %d", tag, i);
                base.unlock();
            }
        });
    };
    std::unique_ptr<QThread> a(writer("a")), b(writer("b"));
    a->start();
    b->start();
    a->wait();
    b->wait();
    // Every entry arrived, and each writer's in its own order.
    int next[2] = {0, 0};
    for (const LogEntry *entry : log.pendingEntries()) {
        const QStringList parts = entry->text.split(QLatin1Char(' '));
        int &expected = next[parts.value(0) == QLatin1String("b")];
        EXPECT_EQ(parts.value(1).toInt(), expected++);
    }
    EXPECT_EQ(next[0], PerThread);
    EXPECT_EQ(next[1], PerThread);
}

} // namespace
