// Environment changes that last for one scope of a test.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

namespace RunnerTest {

// Sets an environment variable for one scope and puts the old state back afterwards.
class ScopedEnv
{
public:
    ScopedEnv(const char *name, const std::optional<QByteArray> &value) : name(name)
    {
        if (qEnvironmentVariableIsSet(name))
            old = qgetenv(name);
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }
    ~ScopedEnv()
    {
        if (old)
            qputenv(name, *old);
        else
            qunsetenv(name);
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *name;
    std::optional<QByteArray> old;
};

} // namespace RunnerTest
