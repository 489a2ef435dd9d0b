// The log's entry points. The global log and its levels are also seen through the settings tests.
#include "GlobalLog.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace TQ::SHARED::UTILS;

namespace {

// Level, text, context text and number, direct.
using Line = std::tuple<int, QString, QString, int, bool>;

struct Recorder : ILogDispatcher
{
    void dispatch(const LogEntry &e) override { seen.emplace_back(e.level, e.text, "", 0, false); }
    std::vector<Line> seen;
};

TEST(LogTest, EntryPoints)
{
    const std::string tooLong(2000, 'x'), fitting(Log::FormatBufferSize - 1, 'y');
    Log log;
    log.info("%d files in %s", 3, "dir");
    log.error("code %04x", 0x2a);
    // Empty texts and null formats are dropped.
    log.info(QString());
    log.warning("");
    log.error(QString());
    log.info(nullptr);
    log.error(nullptr);
    // A formatted text is cut to the buffer, terminating zero included.
    log.error("%s", tooLong.c_str());
    log.info("%s", fitting.c_str());
    log.setContext(QStringLiteral("restore"), 7);
    log.write(8, QStringLiteral("direct, with context"), true, true);
    log.warning(QStringLiteral("no context"));
    // A dispatcher takes the entries instead of the log; without one they are kept again.
    Recorder recorder;
    log.setDispatcher(&recorder);
    log.warning(QStringLiteral("sent"));
    log.setDispatcher(nullptr);
    log.info(QStringLiteral("kept"));
    std::vector<Line> kept;
    for (const LogEntry *e : log.pendingEntries())
        kept.emplace_back(e->level, e->text, e->contextText, e->contextNumber, e->direct);
    EXPECT_EQ(kept,
              std::vector<Line>({{4, "3 files in dir", "", 0, false},
                                 {16, "code 002a", "", 0, false},
                                 {16, QString::fromStdString(tooLong.substr(0, 511)), "", 0, false},
                                 {4, QString::fromStdString(fitting), "", 0, false},
                                 {8, "direct, with context", "restore", 7, true},
                                 {8, "no context", "", 0, false},
                                 {4, "kept", "", 0, false}}));
    EXPECT_EQ(recorder.seen, std::vector<Line>({{8, "sent", "", 0, false}}));
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
