// The resolve mode of the built tool: started detached by a clean, and run directly.
#include "TestSupport.h"

#include <QRegularExpression>

using namespace TestSupport;

namespace {

// What llvm-undname makes of each decorated name; C names stay as they stand.
QHash<QString, QString> undecorated(const QStringList &names)
{
    QHash<QString, QString> result;
    QStringList decorated;
    for (const QString &n : names) {
        if (n.startsWith('?'))
            decorated.append(n);
        else
            result.insert(n, n);
    }
    QProcess p;
    p.start("llvm-undname-14", decorated);
    p.waitForFinished(30000);
    const QStringList lines = QString::fromLatin1(p.readAllStandardOutput()).split('\n');
    // llvm-undname echoes each name, then its undecorated form, then a blank line.
    for (int i = 0; i + 1 < lines.size(); ++i) {
        if (decorated.contains(lines.at(i)) && !result.contains(lines.at(i)))
            result.insert(lines.at(i), lines.at(i + 1));
    }
    return result;
}

// The PDB's source file for an address, through llvm-symbolizer.
QString symbolizedFile(const QString &exe, quint32 address)
{
    QProcess p;
    p.start("llvm-symbolizer-14", {"--obj=" + exe, "0x" + QString::number(address, 16)});
    p.waitForFinished(30000);
    const QStringList lines = QString::fromLocal8Bit(p.readAllStandardOutput()).split('\n');
    if (lines.size() < 2)
        return QString();
    return lines.at(1).section(':', 0, -3);
}

class ResolveE2ETest : public ::testing::Test
{
protected:
    // Cleans a copy of the image without a resolve run.
    QString cleanImage(const QString &name)
    {
        const QString exe = s.copyImage(name);
        const RunOutput r = s.run({exe, db(), VsCommon});
        EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
        return exe;
    }
    RunOutput resolve(const QString &exe, const QString &name, const QString &vs)
    {
        return s.run({"--resolve", exe, nameListPath(name), db(), vs});
    }
    QString db() const { return s.path("project.db"); }
    QString nameListPath(const QString &name) const { return s.path("cwd/" + name + "_tq.map"); }

    Scratch s;
};

} // namespace

TEST_F(ResolveE2ETest, DetachedRunReplacesEveryPlaceholder)
{
    s.allowResolve();
    s.lastDb = db();
    const QString exe = s.copyImage("sample");
    const RunOutput r = s.run({exe, db(), VsCommon});
    ASSERT_EQ(r.exitCode, 0) << r.out.toStdString();
    ASSERT_TRUE(s.waitForResolve(20000)) << "the resolve run did not finish within 20 s";

    const QMultiHash<quint32, QString> names = nameList(nameListPath("sample"));
    const QHash<QString, QString> expected = undecorated(names.values());
    const QMap<quint32, Entry> entries = readEntries(db());
    ASSERT_GT(entries.size(), 10);
    for (const Entry &e : entries) {
        const QStringList decorated = names.values(e.address);
        ASSERT_EQ(decorated.size(), 1) << std::hex << e.address;
        EXPECT_EQ(e.name, expected.value(decorated.first())) << decorated.first().toStdString();
        EXPECT_EQ(e.sourceFile, symbolizedFile(exe, 0x400000 + e.address))
            << decorated.first().toStdString();
    }
    EXPECT_EQ(entries.value(names.key("_main")).name, "_main");
    EXPECT_TRUE(entries.value(names.key("_main")).sourceFile.endsWith("/examples/sample/main.cpp"));
}

TEST_F(ResolveE2ETest, OnlyEntriesWithAPlaceholderAreRewritten)
{
    const QString exe = cleanImage("sample");
    const QMultiHash<quint32, QString> names = nameList(nameListPath("sample"));
    QMap<quint32, Entry> before = readEntries(db());
    ASSERT_GE(before.size(), 3);
    auto it = before.begin();
    const quint32 resolved = (it++).key();
    const quint32 nameOnly = (it++).key();
    const quint32 sourceOnly = (it++).key();
    ASSERT_TRUE(
        execSql(db(), QString("UPDATE functions SET name = 'kept', source_file = 'kept.cpp' "
                              "WHERE address = %1;"
                              "UPDATE functions SET name = 'half' WHERE address = %2;"
                              "UPDATE functions SET source_file = 'half.cpp' "
                              "WHERE address = %3")
                          .arg(resolved)
                          .arg(nameOnly)
                          .arg(sourceOnly)));

    const RunOutput r = resolve(exe, "sample", VsCommon);
    EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
    const QMap<quint32, Entry> after = readEntries(db());
    ASSERT_EQ(after.keys(), before.keys());
    EXPECT_EQ(after.value(resolved).name, "kept");
    EXPECT_EQ(after.value(resolved).sourceFile, "kept.cpp");
    const QHash<QString, QString> expected = undecorated(names.values());
    for (const quint32 address : {nameOnly, sourceOnly}) {
        EXPECT_EQ(after.value(address).name, expected.value(names.value(address)));
        EXPECT_EQ(after.value(address).sourceFile, symbolizedFile(exe, 0x400000 + address));
    }
    for (const Entry &e : after)
        EXPECT_EQ(e.oldBytes, before.value(e.address).oldBytes);
}

TEST_F(ResolveE2ETest, WrongVisualStudioPathGivesUnknownNames)
{
    const QString exe = cleanImage("sample");
    const RunOutput r = resolve(exe, "sample", s.path("wrong-vs"));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, s.path("wrong-vs") + "/bin/undname.exe" +
                         " is not an executable file. can't run undname... \n");
    const QMap<quint32, Entry> entries = readEntries(db());
    ASSERT_FALSE(entries.isEmpty());
    for (const Entry &e : entries) {
        EXPECT_EQ(e.name, "???");
        EXPECT_EQ(e.sourceFile, symbolizedFile(exe, 0x400000 + e.address));
    }
}

TEST_F(ResolveE2ETest, BadDemanglersLoseNothing)
{
    const QString exe = cleanImage("folded");
    const QMap<quint32, Entry> before = readEntries(db());
    struct Case
    {
        const char *script;
        const char *expectedLine;
    };
    const Case cases[] = {
        {"head -c 20000 /bin/sh\n", nullptr}, // binary garbage
        {"exit 0\n", nullptr},
        {"echo 'half written 10'\nexit 3\n", "The process exited with exit code 3"},
        {"printf 'no line feed at the end 1000'\n", nullptr},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(execSql(db(), "UPDATE functions SET name = 'not resolved yet'"));
        const QString vs = s.path("fake-vs");
        writeScript(vs + "/bin/undname.exe", c.script);
        const RunOutput r = resolve(exe, "folded", vs);
        EXPECT_EQ(r.exitCode, 0) << c.script << r.out.toStdString();
        if (c.expectedLine) {
            EXPECT_TRUE(r.out.contains(c.expectedLine)) << r.out.toStdString();
        }
        const QMap<quint32, Entry> after = readEntries(db());
        ASSERT_EQ(after.keys(), before.keys()) << c.script;
        for (const Entry &e : after) {
            EXPECT_EQ(e.oldBytes, before.value(e.address).oldBytes);
            EXPECT_NE(e.name, NotResolved);
            EXPECT_NE(e.sourceFile, NotResolved);
            if (e.address >= 0x20) { // binary bytes could name a low address by chance
                EXPECT_EQ(e.name, "???") << c.script;
            }
        }
    }
}

TEST_F(ResolveE2ETest, UnsetProductFolderReportsTheMissingTool)
{
    s.env.remove("TQ_VELMORA");
    const QString exe = s.copyImage("sample");
    const RunOutput r = s.run({exe, db(), VsCommon});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.endsWith(
        " ms. \nProcessRunner: given executable does not exist or is not executable.\n"))
        << r.out.toStdString();
    for (const Entry &e : readEntries(db()))
        EXPECT_EQ(e.name, NotResolved);
}
