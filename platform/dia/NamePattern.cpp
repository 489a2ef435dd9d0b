#include "NamePattern.h"

#include "DiaInterfaces.h"

namespace TQ::PLATFORM::PDB {

namespace {

bool isContinuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Index after the UTF-8 character that starts at i.
size_t nextCharacter(std::string_view s, size_t i)
{
    ++i;
    while (i < s.size() && isContinuation(s[i]))
        ++i;
    return i;
}

} // namespace

NamePattern::NamePattern(const std::string *pattern, uint32_t flags)
{
    m_wildcards = (flags & nsfRegularExpression) != 0;
    if (!pattern) {
        m_all = true;
        return;
    }
    m_pattern = *pattern;
    m_all =
        m_wildcards && m_pattern.find_first_not_of('*') == std::string::npos && !m_pattern.empty();
}

bool NamePattern::matches(std::string_view name) const
{
    if (m_all)
        return true;
    if (m_wildcards)
        return wildcardMatch(name);
    return name == m_pattern;
}

bool NamePattern::wildcardMatch(std::string_view name) const
{
    const std::string_view p(m_pattern);
    size_t n = 0, i = 0;
    size_t star = std::string::npos, resume = 0;
    while (n < name.size()) {
        if (i < p.size() && p[i] == '*') {
            star = i++;
            resume = n;
        } else if (i < p.size() && p[i] == '?') {
            n = nextCharacter(name, n);
            ++i;
        } else if (i < p.size() && p[i] == name[n]) {
            ++n;
            ++i;
        } else if (star != std::string::npos) {
            // Let the last star swallow one more character and try again from there.
            resume = nextCharacter(name, resume);
            n = resume;
            i = star + 1;
        } else {
            return false;
        }
    }
    while (i < p.size() && p[i] == '*')
        ++i;
    return i == p.size();
}

} // namespace TQ::PLATFORM::PDB
