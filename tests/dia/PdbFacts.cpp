#include "PdbFacts.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>

QString PdbFacts::pdbUtil(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("llvm-pdbutil-14"), arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return QString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

PdbFacts PdbFacts::read(const QString &pdbPath)
{
    PdbFacts facts;

    const QString sections = pdbUtil(QStringList() << "dump"
                                                   << "-section-headers" << pdbPath);
    static const QRegularExpression header(QStringLiteral("SECTION HEADER #(\\d+)"));
    static const QRegularExpression address(QStringLiteral("^\\s*([0-9A-F]+) virtual address"));
    int current = -1;
    for (const QString &line : sections.split(QLatin1Char('\n'))) {
        const auto h = header.match(line);
        if (h.hasMatch()) {
            current = h.captured(1).toInt();
            continue;
        }
        const auto a = address.match(line);
        if (a.hasMatch() && current > 0)
            facts.sectionAddresses.insert(current, a.captured(1).toUInt(nullptr, 16));
    }
    if (facts.sectionAddresses.isEmpty())
        facts.errors << "no section headers";

    const QString lineDump = pdbUtil(QStringList() << "dump"
                                                   << "-l" << pdbPath);
    static const QRegularExpression block(
        QStringLiteral("^\\s+([0-9A-F]{4}):([0-9A-F]{8})-([0-9A-F]{8}), line/addr entries"));
    static const QRegularExpression entry(QStringLiteral("(\\d+) ([0-9A-F]{8}) !"));
    QString file;
    quint32 sectionBase = 0;
    for (const QString &line : lineDump.split(QLatin1Char('\n'))) {
        if (line.isEmpty() || line.startsWith(QLatin1String("Mod ")) ||
            line.startsWith(QLatin1Char('=')))
            continue;
        if (!line.at(0).isSpace()) {
            const int paren = line.lastIndexOf(QLatin1String(" ("));
            file = paren > 0 ? line.left(paren) : line;
            continue;
        }
        const auto b = block.match(line);
        if (b.hasMatch()) {
            sectionBase = facts.sectionAddresses.value(b.captured(1).toInt(nullptr, 16));
            continue;
        }
        auto it = entry.globalMatch(line);
        while (it.hasNext()) {
            const auto e = it.next();
            facts.lines.append(
                {sectionBase + e.captured(2).toUInt(nullptr, 16), e.captured(1).toUInt(), file});
        }
    }
    std::stable_sort(facts.lines.begin(), facts.lines.end(),
                     [](const LineEntry &a, const LineEntry &b) { return a.rva < b.rva; });

    const QString symbols = pdbUtil(QStringList() << "dump"
                                                  << "-symbols" << pdbPath);
    static const QRegularExpression proc(
        QStringLiteral("S_[GL]PROC32(?:_ID)? \\[size = \\d+\\] `(.*)`"));
    static const QRegularExpression where(
        QStringLiteral("addr = (\\d+):(\\d+), code size = (\\d+)"));
    QString pending;
    bool havePending = false;
    for (const QString &line : symbols.split(QLatin1Char('\n'))) {
        const auto p = proc.match(line);
        if (p.hasMatch()) {
            pending = p.captured(1);
            havePending = true;
            continue;
        }
        const auto w = where.match(line);
        if (w.hasMatch() && havePending) {
            facts.procedures.append(
                {pending,
                 facts.sectionAddresses.value(w.captured(1).toInt()) + w.captured(2).toUInt(),
                 w.captured(3).toUInt()});
            havePending = false;
        }
    }
    if (facts.procedures.isEmpty())
        facts.errors << "no procedures";
    if (facts.lines.isEmpty())
        facts.errors << "no line entries";
    return facts;
}

QList<PdbFacts::LineEntry> PdbFacts::linesIn(quint32 rva, quint32 size) const
{
    QList<LineEntry> result;
    for (const LineEntry &e : lines)
        if (e.rva >= rva && e.rva - rva < size)
            result.append(e);
    return result;
}

bool mapSymbolRva(const QString &mapPath, const QString &name, quint32 &rva)
{
    QFile file(mapPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QString text = QString::fromLatin1(file.readAll());
    static const QRegularExpression preferred(
        QStringLiteral("Preferred load address is ([0-9a-fA-F]{8})"));
    const auto p = preferred.match(text);
    if (!p.hasMatch())
        return false;
    const quint32 base = p.captured(1).toUInt(nullptr, 16);
    const QRegularExpression symbol(QStringLiteral("^\\s*[0-9a-fA-F]{4}:[0-9a-fA-F]{8}\\s+") +
                                        QRegularExpression::escape(name) +
                                        QStringLiteral("\\s+([0-9a-fA-F]{8})"),
                                    QRegularExpression::MultilineOption);
    const auto s = symbol.match(text);
    if (!s.hasMatch())
        return false;
    rva = s.captured(1).toUInt(nullptr, 16) - base;
    return true;
}
