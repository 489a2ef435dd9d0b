// The log's entry points. The global log and its levels are also seen through the settings tests.
#include "GlobalLog.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

using namespace TQ::SHARED::UTILS;

namespace {

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
    log.write(8, QStringLiteral("direct"), true, false);
    log.warning(QStringLiteral("kept"));
    std::vector<std::tuple<int, QString, bool>> kept;
    for (const LogEntry *e : log.pendingEntries())
        kept.emplace_back(e->level, e->text, e->direct);
    EXPECT_EQ(kept, decltype(kept)({{4, "3 files in dir", false},
                                    {16, "code 002a", false},
                                    {16, QString::fromStdString(tooLong.substr(0, 511)), false},
                                    {4, QString::fromStdString(fitting), false},
                                    {8, "direct", true},
                                    {8, "kept", false}}));
}

} // namespace
