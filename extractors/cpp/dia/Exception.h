// The one exception type of the debug-information reader.
#pragma once

#include <exception>
#include <string>

namespace TQ::EXTRACTORS::CPP::DIA {

class Exception : public std::exception
{
public:
    explicit Exception(const char *message) : m_message(message ? message : "") {}
    ~Exception() override = default;
    const char *what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message; // copied: the caller's buffer may not outlive the throw
};

} // namespace TQ::EXTRACTORS::CPP::DIA
