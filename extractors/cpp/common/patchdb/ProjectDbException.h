// The error of the project patch database: its text names the file and the reason.
#pragma once

#include <stdexcept>
#include <string>

namespace TQ::EXTRACTORS::CPP::COMMON {

class ProjectDbException : public std::runtime_error
{
public:
    explicit ProjectDbException(const std::string &message) : std::runtime_error(message) {}
};

} // namespace TQ::EXTRACTORS::CPP::COMMON
