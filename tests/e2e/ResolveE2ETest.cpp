// The resolve mode of the built tool: started detached by a clean, and run directly.
#include "TestSupport.h"

using namespace TestSupport;

namespace {

// What llvm-undname makes of each decorated name; C names stay as they stand.
QHash<QString, QString> undecorated(const QStringList &names)
{
    QHash<QString, QString> result;
    QProcess p;
    p.start("llvm-undname-14", names.filter(QRegExp("^\\?")));
    p.waitForFinished(30000);
    // llvm-undname echoes each name, then its undecorated form, then a blank line.
    const QStringList lines = QString::fromLatin1(p.readAllStandardOutput()).split('\n');
    for (int i = 0; i + 1 < lines.size(); ++i)
        if (lines.at(i).startsWith('?') && !result.contains(lines.at(i)))
            result.insert(lines.at(i), lines.at(i + 1));
    for (const QString &n : names)
        if (!n.startsWith('?'))
            result.insert(n, n);
    return result;
}

// The PDB's source file for an address, through llvm-symbolizer.
QString symbolizedFile(const QString &exe, quint32 address)
{
    QProcess p;
    p.start("llvm-symbolizer-14", {"--obj=" + exe, "0x" + QString::number(0x400000 + address, 16)});
    p.waitForFinished(30000);
    return QString::fromLocal8Bit(p.readAllStandardOutput())
        .section('\n', 1, 1)
        .section(':', 0, -3);
}

// Every entry named and placed as the image's own build names and places it.
void expectResolvedAs(const QString &db, const QString &exe, const QByteArray &list)
{
    const QString listPath = scratchFile("list-" + QFileInfo(exe).absolutePath().section('/', -1) +
                                             QString::number(qHash(list)),
                                         list);
    const QMultiHash<quint32, QString> names = nameList(listPath);
    const QHash<QString, QString> expected = undecorated(names.values());
    const QMap<quint32, Entry> entries = readEntries(db);
    ASSERT_GT(entries.size(), 5) << db.toStdString();
    for (const Entry &e : entries) {
        EXPECT_EQ(e.name, expected.value(names.value(e.address))) << std::hex << e.address;
        const QString file = symbolizedFile(exe, e.address);
        EXPECT_EQ(e.sourceFile, file == "??" ? exe + ":???" : file) << std::hex << e.address;
    }
}

// The real demangler behind a gate: each run, numbered in the order the runs start, waits until
// the test lets it go; release waits until the resolve run that started it has ended.
class GatedDemangler
{
public:
    explicit GatedDemangler(Scratch &s) : vs(s.path("gated-vs")), gate(s.path("gate"))
    {
        QDir().mkpath(gate);
        writeScript(vs + "/bin/undname.exe",
                    QString("d='%1'; i=1\n"
                            "while ! mkdir \"$d/slot.$i\" 2>/dev/null; do i=$((i+1)); done\n"
                            "echo $PPID > \"$d/slot.$i/pid\"\n"
                            "while [ ! -e \"$d/go.$i\" ]; do sleep 0.02; done\n"
                            "exec '%2/bin/undname.exe' \"$@\"")
                        .arg(gate, VsCommon)
                        .toUtf8());
    }
    bool started(int run) const
    {
        return waitUntil([&] { return !pid(run).isEmpty(); }, 20000);
    }
    bool release(int run) const
    {
        writeFile(QString("%1/go.%2").arg(gate).arg(run), "");
        const QString proc = "/proc/" + pid(run);
        return waitUntil(
            [&] { return !QFileInfo::exists(proc) || readFile(proc + "/stat").contains(") Z "); },
            20000);
    }

    const QString vs;

private:
    QString pid(int run) const
    {
        return QString::fromLatin1(
            readFile(QString("%1/slot.%2/pid").arg(gate).arg(run)).trimmed());
    }
    const QString gate;
};

// Puts a build of an image in place as a linker does: a new file under the old name, and its
// program database beside it.
void link(const QString &builtImage, const QString &exe)
{
    const QString base = builtImageDir(builtImage) + "/" + builtImage;
    const QString target = QFileInfo(exe).absolutePath() + "/" + QFileInfo(exe).completeBaseName();
    for (const char *ext : {".exe", ".map"}) {
        writeFile(target + ext + ".new", readFile(base + ext));
        QFile::remove(target + ext);
        QFile::rename(target + ext + ".new", target + ext);
    }
    const QString pdb = QFileInfo(exe).absolutePath() + "/" + builtImage + ".pdb";
    QFile::remove(pdb);
    QFile::copy(base + ".pdb", pdb);
}

} // namespace

// A resolve run writes only into the build whose name list and program database it read: not
// into the entries of the image linked and cleaned again meanwhile, nor into those of a
// same-named image cleaned from the same working folder.
TEST(ResolveE2ETest, EachRunResolvesItsOwnBuild)
{
    Scratch s;
    s.allowResolve();
    GatedDemangler demangler(s);
    const QString exe = s.path("a/app.exe"), db = s.path("a.db");
    const QString other = s.path("b/app.exe"), otherDb = s.path("b.db");
    QDir().mkpath(s.path("a"));
    QDir().mkpath(s.path("b"));
    const auto clean = [&](const QString &image, const QString &database) {
        s.lastDb = database;
        const RunOutput r = s.run({image, database, demangler.vs});
        EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
        return readFile(s.path("cwd/app_tq.map"));
    };

    // Linked again and cleaned again while the first resolve run is still at work.
    link("sample", exe);
    clean(exe, db);
    ASSERT_TRUE(demangler.started(1));
    link("classes", exe);
    const QByteArray relinked = clean(exe, db);
    ASSERT_TRUE(demangler.started(2));
    ASSERT_TRUE(demangler.release(1));
    ASSERT_TRUE(demangler.release(2));
    expectResolvedAs(db, exe, relinked);

    // Two same-named images, each with its database, cleaned side by side from one folder.
    const QString freshDb = s.path("a2.db");
    link("classes", exe);
    link("sample", other);
    const QByteArray first = clean(exe, freshDb);
    const QByteArray second = clean(other, otherDb);
    ASSERT_TRUE(demangler.started(3) && demangler.started(4));
    ASSERT_TRUE(demangler.release(3) && demangler.release(4));
    expectResolvedAs(freshDb, exe, first);
    expectResolvedAs(otherDb, other, second);
}

TEST(ResolveE2ETest, DetachedRunThenDirectRuns)
{
    Scratch s;
    s.allowResolve();
    const QString exe = s.copyImage("sample"), db = s.path("project.db");
    const QString nameListPath = s.path("cwd/sample_tq.map");
    s.lastDb = db;
    const RunOutput r = s.run({exe, db, VsCommon});
    ASSERT_EQ(r.exitCode, 0) << r.out.toStdString();
    ASSERT_TRUE(s.waitForResolve(20000)) << "the resolve run did not finish within 20 s";

    const QMultiHash<quint32, QString> names = nameList(nameListPath);
    const QHash<QString, QString> expected = undecorated(names.values());
    const QMap<quint32, Entry> resolved = readEntries(db);
    ASSERT_GT(resolved.size(), 10);
    for (const Entry &e : resolved) {
        const QStringList decorated = names.values(e.address);
        ASSERT_EQ(decorated.size(), 1) << std::hex << e.address;
        EXPECT_EQ(e.name, expected.value(decorated.first())) << decorated.first().toStdString();
        EXPECT_EQ(e.sourceFile, symbolizedFile(exe, e.address)) << decorated.first().toStdString();
    }
    EXPECT_TRUE(
        resolved.value(names.key("_main")).sourceFile.endsWith("/examples/sample/main.cpp"));

    // Demanglers that write garbage, nothing, or fail lose nothing.
    const struct
    {
        const char *script;
        const char *expectedLine;
    } cases[] = {
        {"head -c 20000 /bin/sh\n", ""}, // binary garbage
        {"exit 0\n", ""},
        {"echo 'half written 10'\nexit 3\n", "The process exited with exit code 3"},
        {"printf 'no line feed at the end 1000'\n", ""},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(execSql(db, "UPDATE functions SET name = 'not resolved yet'"));
        writeScript(s.path("fake-vs/bin/undname.exe"), c.script);
        const RunOutput bad = s.run({"--resolve", exe, nameListPath, db, s.path("fake-vs")});
        EXPECT_EQ(bad.exitCode, 0) << c.script << bad.out.toStdString();
        EXPECT_TRUE(bad.out.contains(c.expectedLine)) << bad.out.toStdString();
        const QMap<quint32, Entry> after = readEntries(db);
        ASSERT_EQ(after.keys(), resolved.keys()) << c.script;
        for (const Entry &e : after) {
            EXPECT_EQ(e.oldBytes, resolved.value(e.address).oldBytes);
            EXPECT_EQ(e.sourceFile, resolved.value(e.address).sourceFile);
            // Binary bytes could name a low address by chance.
            EXPECT_TRUE(e.name == "???" || e.address < 0x20) << c.script;
        }
    }
}
