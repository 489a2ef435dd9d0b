// Name filters of findChildren: exact names, or DIA's wildcard patterns where "*" matches any
// run of characters and "?" one character; case-sensitive unless asked otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace TQ {
namespace PLATFORM {
namespace PDB {

class NamePattern
{
public:
    // A null pattern matches every name. flags are DIA's NameSearchOptions.
    NamePattern(const std::string *pattern, uint32_t flags);

    bool matches(std::string_view name) const;
    bool matchesAll() const { return m_all; }
    // The caller is to match undecorated names rather than the stored ones.
    bool matchesUndecorated() const { return m_undecorated; }

private:
    bool wildcardMatch(std::string_view name) const;
    bool same(char a, char b) const;

    std::string m_pattern;
    bool m_all = false;
    bool m_wildcards = false;
    bool m_ignoreCase = false;
    bool m_undecorated = false;
};

} // namespace PDB
} // namespace PLATFORM
} // namespace TQ
