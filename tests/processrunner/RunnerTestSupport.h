// Scoped environment changes and child scripts, for the runner and the settings tests.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <optional>
#include <ostream>
#include <utility>
#include <vector>

// Texts and bytes in failure messages as text.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QByteArray &bytes, std::ostream *out)
{
    *out << '"' << bytes.toStdString() << '"';
}

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
    void set(const std::vector<std::pair<const char *, Value>> &values)
    {
        for (const auto &[name, value] : values) {
            saved.emplace_back(name, qEnvironmentVariableIsSet(name) ? qgetenv(name) : Value());
            apply(name, value);
        }
    }

private:
    static void apply(const char *name, const Value &value)
    {
        value ? qputenv(name, *value) : qunsetenv(name);
    }
    std::vector<std::pair<const char *, Value>> saved;
};

inline void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(content);
}

// A script named like an executable of the product; `interpreter` after "#!".
inline QString writeScript(const QString &path, const QByteArray &body,
                           const QByteArray &interpreter = "/bin/sh")
{
    writeFile(path, "#!" + interpreter + "\n" + body + "\n");
    QFile::setPermissions(path,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace RunnerTest
