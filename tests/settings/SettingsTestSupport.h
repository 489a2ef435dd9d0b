// A temporary home for the settings tests: every folder the settings look at lies below it.
#pragma once

#include "GlobalLog.h"
#include "ScopedEnv.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>
#include <utility>
#include <vector>

namespace SettingsTest {

using LogLines = std::vector<std::pair<int, QString>>;

class TempHomeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp.isValid());
        root = temp.path();
        set("HOME", root + "/home");
        set("XDG_CONFIG_HOME", root + "/config");
        set("XDG_CONFIG_DIRS", root + "/machine:" + root + "/machine2");
        set("APPDATA", root + "/appdata");
        set("TQ_TRACING", root + "/tracing");
        set("TQ_VELMORA", root + "/velmora");
        logMark = TQ::SHARED::UTILS::GlobalLog::instance()->pendingEntries().size();
    }

    void set(const char *name, const QString &value)
    {
        envs.push_back(std::make_unique<RunnerTest::ScopedEnv>(name, value.toLocal8Bit()));
    }
    void unset(const char *name)
    {
        envs.push_back(std::make_unique<RunnerTest::ScopedEnv>(name, std::nullopt));
    }

    // What the global log received since the test began (or since the last call).
    LogLines takeLog()
    {
        LogLines lines;
        const auto &entries = TQ::SHARED::UTILS::GlobalLog::instance()->pendingEntries();
        for (int i = logMark; i < entries.size(); ++i)
            lines.emplace_back(entries[i]->level, entries[i]->text);
        logMark = entries.size();
        return lines;
    }

    static void writeFile(const QString &path, const QByteArray &content)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
        file.write(content);
    }

    QString settingsFile() const { return root + "/appdata/Corvane/Velmora/tq_velmora.ini"; }

    QTemporaryDir temp;
    QString root;
    int logMark = 0;
    // Declared last: the environment is put back before the folder goes.
    std::vector<std::unique_ptr<RunnerTest::ScopedEnv>> envs;
};

} // namespace SettingsTest
