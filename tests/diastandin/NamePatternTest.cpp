#include "NamePattern.h"
#include "DiaInterfaces.h"

#include <gtest/gtest.h>

using TQ::PLATFORM::PDB::NamePattern;

namespace {

TEST(NamePattern, MatchesAsTheFlagsSay)
{
    const struct
    {
        const char *pattern; // null: no pattern at all
        DWORD flags;
        std::vector<const char *> matching, other;
    } cases[] = {
        // Plain text matches itself only, case-sensitively, whatever a regular expression makes
        // of its characters.
        {"__penter", nsRegularExpression, {"__penter"}, {"___penter", "__penter2", "__PENTER", ""}},
        {"?run@D@@QAEXXZ", nsRegularExpression, {"?run@D@@QAEXXZ"}, {}},
        {"a.b", nsRegularExpression, {"a.b"}, {"axb"}},
        {"[x]+", nsRegularExpression, {"[x]+"}, {"x"}},
        // A star is any run, none included; the last star backs off when the rest fails.
        {"*", nsRegularExpression, {"", "anything at all"}, {}},
        {"D::*", nsRegularExpression, {"D::run", "D::"}, {"B::run"}},
        {"*run", nsRegularExpression, {"D::run"}, {"D::runner"}},
        {"a*b*c", nsRegularExpression, {"a-b-b-c", "abc"}, {"a-c-b"}},
        {"**x**", nsRegularExpression, {"x"}, {}},
        {"*aab", nsRegularExpression, {"aaab"}, {}},
        // A question mark is one character, which in UTF-8 may be more than one byte.
        {"r?n", nsRegularExpression, {"run"}, {"rn", "ruun"}},
        {"??", nsRegularExpression, {"ab"}, {"a"}},
        {"f?o", nsRegularExpression, {"f\xC3\xA4o"}, {}},
        {"f??o", nsRegularExpression, {}, {"f\xC3\xA4o"}},
        {"*?", nsRegularExpression, {"x"}, {""}},
        // Without the wildcard flag a star is a character; case as the flags say.
        {"D*", nsNone, {"D*"}, {"D::run"}},
        {"D*", nsCaseSensitive, {}, {"d*"}},
        {"D*", nsCaseInsensitive, {"d*"}, {}},
        {"D*", nsCaseInRegularExpression, {"d::run"}, {}},
        {"D*", nsRegularExpression, {}, {"d::run"}},
        {nullptr, nsNone, {"", "x"}, {}},
        {"", nsNone, {""}, {"x"}},
    };
    for (const auto &c : cases) {
        const std::string text = c.pattern ? c.pattern : "";
        const NamePattern pattern(c.pattern ? &text : nullptr, c.flags);
        for (const char *name : c.matching)
            EXPECT_TRUE(pattern.matches(name)) << text << " " << c.flags << " " << name;
        for (const char *name : c.other)
            EXPECT_FALSE(pattern.matches(name)) << text << " " << c.flags << " " << name;
    }
}

} // namespace
