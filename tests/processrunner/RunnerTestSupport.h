// Scoped environment changes and child scripts, for the runner and the settings tests.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace RunnerTest {

// Sets or unsets environment variables for one scope and puts the old state back afterwards.
class ScopedEnv
{
public:
    using Value = std::optional<QByteArray>;
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;
    ~ScopedEnv()
    {
        for (auto it = saved.rbegin(); it != saved.rend(); ++it)
            apply(it->first, it->second);
    }
    void set(const char *name, const Value &value)
    {
        saved.emplace_back(name, qEnvironmentVariableIsSet(name) ? Value(qgetenv(name)) : Value());
        apply(name, value);
    }
    void set(const std::vector<std::pair<const char *, Value>> &values)
    {
        for (const auto &value : values)
            set(value.first, value.second);
    }

private:
    static void apply(const char *name, const Value &value)
    {
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }
    std::vector<std::pair<const char *, Value>> saved;
};

// A script named like an executable of the product; `interpreter` after "#!".
inline QString writeScript(const QString &path, const QByteArray &body,
                           const QByteArray &interpreter = "/bin/sh")
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write("#!" + interpreter + "\n" + body + "\n");
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace RunnerTest
