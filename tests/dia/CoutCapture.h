// Collects what the code under test writes to standard output, line by line.
#pragma once

#include <QString>
#include <QStringList>

#include <iostream>
#include <ostream>
#include <sstream>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

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
