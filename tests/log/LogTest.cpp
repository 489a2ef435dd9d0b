#include "GlobalLog.h"

#include <gtest/gtest.h>

#include <QThread>

#include <string>
#include <vector>

using TQ::SHARED::UTILS::GlobalLog;
using TQ::SHARED::UTILS::ILogDispatcher;
using TQ::SHARED::UTILS::Log;
using TQ::SHARED::UTILS::LogEntry;
using TQ::SHARED::UTILS::ThreadSafeLog;

namespace {

TEST(LogTest, EmptyTextsAndNullFormatsAreDropped)
{
    Log log;
    log.info(QString());
    log.info(QStringLiteral(""));
    log.warning(QString());
    log.error(QString());
    log.info(static_cast<const char *>(nullptr));
    log.error(static_cast<const char *>(nullptr));
    EXPECT_TRUE(log.pendingEntries().isEmpty());
}

TEST(LogTest, EntriesKeepLevelTextTimeAndOrder)
{
    Log log;
    const QDateTime before = QDateTime::currentDateTime();
    log.info(QStringLiteral("a"));
    log.warning(QStringLiteral("careful"));
    log.error(QStringLiteral("broken"));
    log.info("%d files in %s", 3, "dir");
    log.error("code %04x", 0x2a);
    const QDateTime after = QDateTime::currentDateTime();

    const QList<LogEntry *> &entries = log.pendingEntries();
    ASSERT_EQ(entries.size(), 5);
    const std::vector<std::pair<int, QString>> expected = {
        {4, "a"}, {8, "careful"}, {16, "broken"}, {4, "3 files in dir"}, {16, "code 002a"}};
    for (int i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(entries[i]->level, expected[i].first);
        EXPECT_EQ(entries[i]->text, expected[i].second);
        EXPECT_GE(entries[i]->time, before);
        EXPECT_LE(entries[i]->time, after);
        EXPECT_FALSE(entries[i]->direct);
        EXPECT_TRUE(entries[i]->contextText.isEmpty());
    }
}

TEST(LogTest, LongFormattedMessageIsTruncatedToTheBuffer)
{
    Log log;
    const std::string longText(2000, 'x');
    log.error("%s", longText.c_str());
    ASSERT_EQ(log.pendingEntries().size(), 1);
    EXPECT_EQ(log.pendingEntries()[0]->text, QString(Log::FormatBufferSize - 1, QLatin1Char('x')));

    // Exactly filling the buffer is not truncated.
    const std::string fitting(Log::FormatBufferSize - 1, 'y');
    log.info("%s", fitting.c_str());
    EXPECT_EQ(log.pendingEntries()[1]->text.size(), Log::FormatBufferSize - 1);
}

TEST(LogTest, WriteHonoursDirectAndContext)
{
    Log log;
    log.setContext(QStringLiteral("restore"), 7);
    log.write(8, QStringLiteral("with"), true, true);
    log.write(4, QStringLiteral("without"), false, false);
    ASSERT_EQ(log.pendingEntries().size(), 2);
    const LogEntry *with = log.pendingEntries()[0];
    EXPECT_TRUE(with->direct);
    EXPECT_EQ(with->contextText, QStringLiteral("restore"));
    EXPECT_EQ(with->contextNumber, 7);
    const LogEntry *without = log.pendingEntries()[1];
    EXPECT_FALSE(without->direct);
    EXPECT_TRUE(without->contextText.isEmpty());
    EXPECT_EQ(without->contextNumber, 0);
}

class RecordingDispatcher : public ILogDispatcher
{
public:
    void dispatch(const LogEntry &entry) override { seen.emplace_back(entry.level, entry.text); }
    std::vector<std::pair<int, QString>> seen;
};

TEST(LogTest, DispatcherTakesEntriesInsteadOfThePendingList)
{
    Log log;
    RecordingDispatcher dispatcher;
    log.setDispatcher(&dispatcher);
    log.warning(QStringLiteral("sent"));
    log.error("%s", "also sent");
    EXPECT_TRUE(log.pendingEntries().isEmpty());
    ASSERT_EQ(dispatcher.seen.size(), 2u);
    EXPECT_EQ(dispatcher.seen[0], std::make_pair(8, QStringLiteral("sent")));
    EXPECT_EQ(dispatcher.seen[1], std::make_pair(16, QStringLiteral("also sent")));

    log.setDispatcher(nullptr);
    log.info(QStringLiteral("kept"));
    ASSERT_EQ(log.pendingEntries().size(), 1);
    EXPECT_EQ(log.pendingEntries()[0]->text, QStringLiteral("kept"));
}

TEST(LogTest, GlobalLogIsOneInstanceThatKeepsEntries)
{
    GlobalLog *first = GlobalLog::instance();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GlobalLog::instance(), first);
    const int before = first->pendingEntries().size();
    first->warning(QStringLiteral("global"));
    ASSERT_EQ(GlobalLog::instance()->pendingEntries().size(), before + 1);
    EXPECT_EQ(GlobalLog::instance()->pendingEntries().last()->text, QStringLiteral("global"));
}

TEST(LogTest, ThreadSafeLogSerialisesBracketedWriters)
{
    ThreadSafeLog log;
    Log &base = log;
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
    QThread *a = writer("a");
    QThread *b = writer("b");
    a->start();
    b->start();
    a->wait();
    b->wait();
    delete a;
    delete b;

    ASSERT_EQ(log.pendingEntries().size(), 2 * PerThread);
    // Each writer's entries keep their own order.
    int nextA = 0;
    int nextB = 0;
    for (const LogEntry *entry : log.pendingEntries()) {
        const QStringList parts = entry->text.split(QLatin1Char(' '));
        ASSERT_EQ(parts.size(), 2);
        int &next = parts[0] == QLatin1String("a") ? nextA : nextB;
        EXPECT_EQ(parts[1].toInt(), next);
        ++next;
    }
    EXPECT_EQ(nextA, PerThread);
    EXPECT_EQ(nextB, PerThread);
}

} // namespace
