#include "RunnerTestSupport.h"

#include <gtest/gtest.h>

using RunnerTest::ScopedEnv;
using TQ::SHARED::UTILS::PROCESSRUNNER::expandEnvironmentVariables;
using TQ::SHARED::UTILS::PROCESSRUNNER::MaxEnvironmentExpansions;
using TQ::SHARED::UTILS::PROCESSRUNNER::MaxExpandedLength;

namespace {

TEST(ExpandTest, AppendsSlashOnlyWhenAskedAndNeeded)
{
    ScopedEnv u("TQT_T_U", QByteArray("C:\\u"));
    EXPECT_EQ(expandEnvironmentVariables("%TQT_T_U%x", true), "C:/u/x");
    EXPECT_EQ(expandEnvironmentVariables("%TQT_T_U%x", false), "C:/ux");

    ScopedEnv slash("TQT_T_SLASH", QByteArray("/a/"));
    ScopedEnv back("TQT_T_BACK", QByteArray("/a\\"));
    ScopedEnv empty("TQT_T_EMPTY", QByteArray(""));
    EXPECT_EQ(expandEnvironmentVariables("%TQT_T_SLASH%b", true), "/a/b");
    EXPECT_EQ(expandEnvironmentVariables("%TQT_T_BACK%b", true), "/a/b");
    EXPECT_EQ(expandEnvironmentVariables("%TQT_T_EMPTY%b", true), "%TQT_T_EMPTY%b");
}

TEST(ExpandTest, UnsetVariableStopsTheExpansion)
{
    ScopedEnv unset("TQT_T_UNSET", std::nullopt);
    ScopedEnv v("TQT_T_V", QByteArray("val"));
    EXPECT_EQ(expandEnvironmentVariables("%TQT_T_UNSET%\\a\\%TQT_T_V%", true),
              "%TQT_T_UNSET%/a/%TQT_T_V%");
    // References before the unset one are replaced, the rest stays.
    EXPECT_EQ(expandEnvironmentVariables("%TQT_T_V%-%TQT_T_UNSET%-%TQT_T_V%", false),
              "val-%TQT_T_UNSET%-%TQT_T_V%");
    EXPECT_EQ(expandEnvironmentVariables("%%x", false), "%%x");
}

TEST(ExpandTest, LoneAndMiddleTokens)
{
    ScopedEnv v("TQT_T_V", QByteArray("val"));
    EXPECT_EQ(expandEnvironmentVariables("50% of c:\\x", false), "50% of c:/x");
    EXPECT_EQ(expandEnvironmentVariables("pre-%TQT_T_V%-post", false), "pre-val-post");
    EXPECT_EQ(expandEnvironmentVariables("%TQT_T_V%%TQT_T_V%", false), "valval");
    EXPECT_EQ(expandEnvironmentVariables("no tokens\\here", false), "no tokens/here");
    EXPECT_EQ(expandEnvironmentVariables(QString(), true), "");
}

TEST(ExpandTest, InsertedValuesAreExpandedAgain)
{
    ScopedEnv v("TQT_T_V", QByteArray("val"));
    ScopedEnv outer("TQT_T_OUTER", QByteArray("%TQT_T_V%\\o"));
    EXPECT_EQ(expandEnvironmentVariables("%TQT_T_OUTER%", false), "val/o");
}

TEST(ExpandTest, SelfReferringValuesEnd)
{
    ScopedEnv grow("TQT_T_SELF", QByteArray("%TQT_T_SELF%x"));
    EXPECT_EQ(expandEnvironmentVariables("%TQT_T_SELF%", false),
              "%TQT_T_SELF%" + QString(MaxEnvironmentExpansions, QLatin1Char('x')));

    ScopedEnv loop("TQT_T_LOOP", QByteArray("%TQT_T_LOOP%"));
    EXPECT_EQ(expandEnvironmentVariables("a%TQT_T_LOOP%b", false), "a%TQT_T_LOOP%b");

    // A large value hits the length bound long before the count bound.
    ScopedEnv big("TQT_T_BIG", QByteArray(1000, 'y') + "%TQT_T_BIG%");
    const QString result = expandEnvironmentVariables("%TQT_T_BIG%", false);
    EXPECT_LE(result.size(), MaxExpandedLength);
    EXPECT_GT(result.size(), MaxExpandedLength - 1100);
    EXPECT_TRUE(result.endsWith("%TQT_T_BIG%"));
}

TEST(ExpandTest, AppDataFallsBackToTheUserConfigFolder)
{
    ScopedEnv appData("APPDATA", std::nullopt);
    {
        ScopedEnv config("XDG_CONFIG_HOME", QByteArray("/cfg/home"));
        EXPECT_EQ(expandEnvironmentVariables("%APPDATA%x", true), "/cfg/home/x");
    }
    {
        ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
        ScopedEnv home("HOME", QByteArray("/home/someone"));
        EXPECT_EQ(expandEnvironmentVariables("%APPDATA%", false), "/home/someone/.config");
    }
    ScopedEnv set("APPDATA", QByteArray("C:\\Users\\x\\AppData"));
    EXPECT_EQ(expandEnvironmentVariables("%APPDATA%", false), "C:/Users/x/AppData");
}

} // namespace
