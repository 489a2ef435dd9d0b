// The patch-clean workflow's own exception type.
#pragma once

#include <exception>
#include <string>

namespace TQ::EXTRACTORS::CPP::COMMON {

class Exception : public std::exception
{
public:
    explicit Exception(const std::string &message) : m_message(message) {}
    explicit Exception(const char *message) : m_message(message ? message : "") {}
    const char *what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

// A SIGINT or SIGTERM ended the run; the image and the database are as they were before it.
class Interrupted : public std::exception
{
public:
    static constexpr const char *Text = "The run was interrupted; the image and the database are "
                                        "as they were before it.";
    const char *what() const noexcept override { return Text; }
};

} // namespace TQ::EXTRACTORS::CPP::COMMON
