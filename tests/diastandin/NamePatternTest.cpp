#include "NamePattern.h"
#include "DiaInterfaces.h"

#include <gtest/gtest.h>

using TQ::PLATFORM::PDB::NamePattern;

namespace {

bool wild(const std::string &pattern, const std::string &name)
{
    return NamePattern(&pattern, nsRegularExpression).matches(name);
}

TEST(NamePattern, PlainTextMatchesOnlyItselfCaseSensitively)
{
    EXPECT_TRUE(wild("__penter", "__penter"));
    EXPECT_FALSE(wild("__penter", "___penter"));
    EXPECT_FALSE(wild("__penter", "__penter2"));
    EXPECT_FALSE(wild("__penter", "__PENTER"));
    EXPECT_FALSE(wild("__penter", ""));
    // Characters that a real regular expression would treat specially stand for themselves.
    EXPECT_TRUE(wild("?run@D@@QAEXXZ", "?run@D@@QAEXXZ"));
    EXPECT_TRUE(wild("a.b", "a.b"));
    EXPECT_FALSE(wild("a.b", "axb"));
    EXPECT_TRUE(wild("[x]+", "[x]+"));
    EXPECT_FALSE(wild("[x]+", "x"));
}

TEST(NamePattern, StarMatchesAnyRunIncludingNone)
{
    EXPECT_TRUE(wild("*", ""));
    EXPECT_TRUE(wild("*", "anything at all"));
    EXPECT_TRUE(wild("D::*", "D::run"));
    EXPECT_TRUE(wild("D::*", "D::"));
    EXPECT_FALSE(wild("D::*", "B::run"));
    EXPECT_TRUE(wild("*run", "D::run"));
    EXPECT_FALSE(wild("*run", "D::runner"));
    EXPECT_TRUE(wild("a*b*c", "a-b-b-c"));
    EXPECT_TRUE(wild("a*b*c", "abc"));
    EXPECT_FALSE(wild("a*b*c", "a-c-b"));
    EXPECT_TRUE(wild("**x**", "x"));
    EXPECT_TRUE(wild("*aab", "aaab")); // needs the star to back off
}

TEST(NamePattern, QuestionMarkMatchesExactlyOneCharacter)
{
    EXPECT_TRUE(wild("r?n", "run"));
    EXPECT_FALSE(wild("r?n", "rn"));
    EXPECT_FALSE(wild("r?n", "ruun"));
    EXPECT_TRUE(wild("??", "ab"));
    EXPECT_FALSE(wild("??", "a"));
    // One character, not one byte: "ä" is two bytes in UTF-8.
    EXPECT_TRUE(wild("f?o", "f\xC3\xA4o"));
    EXPECT_FALSE(wild("f??o", "f\xC3\xA4o"));
    EXPECT_TRUE(wild("*?", "x"));
    EXPECT_FALSE(wild("*?", ""));
}

TEST(NamePattern, FlagsChooseExactOrWildcardAndCase)
{
    const std::string star = "D*";
    // Without the regular-expression flag a star is an ordinary character.
    EXPECT_FALSE(NamePattern(&star, nsNone).matches("D::run"));
    EXPECT_TRUE(NamePattern(&star, nsNone).matches("D*"));
    EXPECT_FALSE(NamePattern(&star, nsCaseSensitive).matches("d*"));
    EXPECT_TRUE(NamePattern(&star, nsCaseInsensitive).matches("d*"));
    EXPECT_TRUE(NamePattern(&star, nsCaseInRegularExpression).matches("d::run"));
    EXPECT_FALSE(NamePattern(&star, nsRegularExpression).matches("d::run"));
}

TEST(NamePattern, NullPatternMatchesEverything)
{
    const NamePattern all(nullptr, nsNone);
    EXPECT_TRUE(all.matchesAll());
    EXPECT_TRUE(all.matches(""));
    EXPECT_TRUE(all.matches("x"));
    const std::string empty;
    EXPECT_TRUE(NamePattern(&empty, nsNone).matches(""));
    EXPECT_FALSE(NamePattern(&empty, nsNone).matches("x"));
}

} // namespace
