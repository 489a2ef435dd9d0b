// Child programs for the runner tests: small shell scripts named *.exe, as executables are
// named on every platform of the product.
#pragma once

#include "processrunner.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include "ScopedEnv.h"

#include <functional>

namespace RunnerTest {

inline QString writeScript(const QString &dir, const QString &name, const QByteArray &body)
{
    QDir().mkpath(dir);
    const QString path = dir + QLatin1Char('/') + name;
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write("#!/bin/sh\n" + body + "\n");
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                        QFileDevice::ReadGroup | QFileDevice::ExeGroup);
    return path;
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// Collects what a child writes; optionally answers or raises a stop flag.
class Collector : public TQ::SHARED::UTILS::IExtProcCaller
{
public:
    QByteArray handleStdErr(const QByteArray &data, qint64 pid) override
    {
        err += data;
        ++errCalls;
        lastPid = pid;
        return QByteArray();
    }
    QByteArray handleStdOut(const QByteArray &data, qint64 pid) override
    {
        out += data;
        ++outCalls;
        lastPid = pid;
        if (stopFlag != nullptr)
            *stopFlag = true;
        return answer;
    }

    QByteArray out;
    QByteArray err;
    int outCalls = 0;
    int errCalls = 0;
    qint64 lastPid = 0;
    QByteArray answer;
    bool *stopFlag = nullptr;
};

inline TQ::SHARED::UTILS::PROCESSRUNNER::RunException
catchRunException(const std::function<void()> &call)
{
    try {
        call();
    } catch (const TQ::SHARED::UTILS::PROCESSRUNNER::RunException &e) {
        return e;
    }
    ADD_FAILURE() << "no RunException was thrown";
    return TQ::SHARED::UTILS::PROCESSRUNNER::RunException("<none>", -12345);
}

} // namespace RunnerTest
