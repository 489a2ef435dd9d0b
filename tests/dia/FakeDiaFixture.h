// Common set-up of the tests that run the reader against the scripted data source.
#pragma once

#include "Dia.h"
#include "DiaModule.h"
#include "FakeDia.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <memory>
#include <sstream>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

// Collects what the code under test writes to standard output, line by line.
class CoutCapture
{
public:
    CoutCapture() : m_old(std::cout.rdbuf(m_buffer.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(m_old); }
    CoutCapture(const CoutCapture &) = delete;
    CoutCapture &operator=(const CoutCapture &) = delete;

    QStringList lines() const
    {
        QStringList result =
            QString::fromStdString(m_buffer.str()).split(QLatin1Char('\n'), Qt::KeepEmptyParts);
        if (!result.isEmpty() && result.last().isEmpty())
            result.removeLast();
        return result;
    }
    void clear() { m_buffer.str(std::string()); }

private:
    std::ostringstream m_buffer;
    std::streambuf *m_old;
};

namespace DiaTest {

using namespace TQ::EXTRACTORS::CPP::DIA;
using ::testing::ElementsAre;

inline const QString ProgPath = QStringLiteral("C:\\dir\\prog.exe");

// A function record in one line, the queried address left out.
inline QString describe(const FunctionInfo *f)
{
    return QStringLiteral("%1 | %2:%3 | @%4 %5-%6 | kind %7 adjust %8 | ")
               .arg(f->name, f->sourceFile)
               .arg(f->line)
               .arg(f->startAddress, 0, 16)
               .arg(f->firstLine)
               .arg(f->lastLine)
               .arg(f->methodKind)
               .arg(f->thisAdjust) +
           (f->classInfo ? f->classInfo->name : "-");
}

class FakeDiaTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FakeDia::reset();
        m_baseline = FakeDia::liveObjects();
    }
    void TearDown() override { close(); }
    // Every reference the reader took must have been given back.
    void close()
    {
        m_dia.reset();
        EXPECT_EQ(FakeDia::liveObjects(), m_baseline);
    }

    Dia *open(const QList<ModInfo> &infos)
    {
        m_dia.reset(static_cast<Dia *>(createDia(infos)));
        return m_dia.get();
    }
    Dia *open(quint32 loadAddress = 0, const QString &path = ProgPath)
    {
        return open({ModInfo(loadAddress, path)});
    }
    DiaModule *module(int index = 0) { return dynamic_cast<DiaModule *>(m_dia->modules.at(index)); }
    // Starts afresh from the records of prog.exe.
    void restart()
    {
        FakeDia::reset();
        FakeDia::define(ProgPath, m_records);
    }
    void edit(const QStringList &changes, const QString &path = ProgPath)
    {
        for (const QString &c : changes)
            if (!c.isEmpty())
                FakeDia::edit(path, c);
    }

    // One row of a table: prog.exe afresh with the row's edits, opened at the load address.
    // Gives the query's answers, then the lines written meanwhile.
    QStringList row(const QStringList &edits, quint32 loadAddress,
                    const std::function<QStringList()> &query)
    {
        SCOPED_TRACE(edits.join(' ').toStdString());
        restart();
        edit(edits);
        open(loadAddress);
        CoutCapture out;
        QStringList answers = query();
        answers += out.lines();
        close();
        return answers;
    }

    QStringList m_records;
    std::unique_ptr<Dia> m_dia;
    int m_baseline = 0;
};

} // namespace DiaTest
