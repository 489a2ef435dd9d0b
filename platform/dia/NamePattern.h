// Name filters of findChildren: exact names, or DIA's wildcard patterns where "*" matches any
// run of characters and "?" one character, case-sensitive.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace TQ::PLATFORM::PDB {

class NamePattern
{
public:
    // A null pattern matches every name. flags are DIA's NameSearchOptions.
    NamePattern(const std::string *pattern, uint32_t flags);

    bool matches(std::string_view name) const;

private:
    bool wildcardMatch(std::string_view name) const;

    std::string m_pattern;
    bool m_all = false;
    bool m_wildcards = false;
};

} // namespace TQ::PLATFORM::PDB
