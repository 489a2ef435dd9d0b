// Patch-clean runs of the built tool on copies of built images.
#include "TestSupport.h"

#include <QDateTime>
#include <QRegularExpression>

using namespace TestSupport;

namespace {

const QRegularExpression
    ProgressLine("^Patching executable for (\\d+) functions\\.\\.\\. (\\d+) ms\\. $",
                 QRegularExpression::MultilineOption);

quint64 hookCall(quint32 rva, quint32 hookRva)
{
    return 0xE8 | (quint64(quint32(hookRva - (rva + 5))) << 8);
}

// Checks that every changed byte belongs to a hook call turned into five NOPs; returns how many.
int cleanedCalls(const QByteArray &before, const QByteArray &after)
{
    EXPECT_EQ(before.size(), after.size());
    int calls = 0;
    for (int i = 0; i < qMin(before.size(), after.size());) {
        if (before.at(i) == after.at(i)) {
            ++i;
            continue;
        }
        EXPECT_EQ(uchar(before.at(i)), 0xE8) << "changed byte at " << i;
        EXPECT_EQ(after.mid(i, 5), QByteArray(5, char(0x90))) << "at " << i;
        ++calls;
        i += 5;
    }
    return calls;
}

class PatchCleanE2ETest : public ::testing::Test
{
protected:
    RunOutput clean(const QString &exe)
    {
        s.lastDb = db();
        return s.run({exe, db(), VsCommon});
    }
    QString db() const { return s.path("project.db"); }
    QString nameListPath(const QString &name) const { return s.path("cwd/" + name + "_tq.map"); }

    Scratch s;
};

} // namespace

TEST_F(PatchCleanE2ETest, FreshImage)
{
    const QString exe = s.copyImage("unframed");
    const QByteArray before = readFile(exe);
    const RunOutput r = clean(exe);
    ASSERT_EQ(r.exitCode, 0) << r.out.toStdString();

    const auto progress = ProgressLine.match(r.out);
    ASSERT_TRUE(progress.hasMatch()) << r.out.toStdString();
    // Without the tool's folder in TQ_VELMORA the resolve run cannot start; that is reported.
    EXPECT_TRUE(
        r.out.contains("\nProcessRunner: given executable does not exist or is not executable.\n"));

    const QMultiHash<quint32, QString> names = nameList(nameListPath("unframed"));
    EXPECT_EQ(progress.captured(1).toInt(), names.size());
    const quint32 hookRva = names.key("__penter");
    const quint32 unframedA = names.key("_unframedAdd");
    const quint32 unframedB = names.key("?bump@Counter@Calc@@QAEHXZ");
    ASSERT_NE(hookRva, 0u);

    const QMap<quint32, Entry> entries = readEntries(db());
    ASSERT_GE(entries.size(), 3);
    EXPECT_FALSE(entries.contains(unframedA));
    EXPECT_FALSE(entries.contains(unframedB));
    for (const Entry &e : entries) {
        EXPECT_TRUE(names.contains(e.address));
        EXPECT_EQ(e.name, NotResolved);
        EXPECT_EQ(e.sourceFile, NotResolved);
        EXPECT_EQ(e.oldBytes, hookCall(e.address, hookRva));
    }
    EXPECT_EQ(cleanedCalls(before, readFile(exe)), entries.size() + 2);
    EXPECT_EQ(readTimestamp(db()), QFileInfo(exe).lastModified().toString(Qt::TextDate));
}

TEST_F(PatchCleanE2ETest, SecondRunKeepsNamesAndTakesANewTimestamp)
{
    const QString exe = s.copyImage("folded");
    const RunOutput fresh = clean(exe);
    ASSERT_EQ(fresh.exitCode, 0);
    // The later names at a folded address find the NOPs of this very run: no functions with
    // unknown old bytes.
    EXPECT_FALSE(fresh.out.contains("Warning")) << fresh.out.toStdString();
    const QMap<quint32, Entry> first = readEntries(db());
    // Folded names: one entry for their one address.
    const QMultiHash<quint32, QString> names = nameList(nameListPath("folded"));
    const quint32 folded = names.key("_sevenMore");
    EXPECT_EQ(names.values(folded).size(), 3);
    EXPECT_TRUE(first.contains(folded));

    ASSERT_TRUE(setNames(db(), "resolved_", "src.cpp"));
    ASSERT_TRUE(execSql(db(), "UPDATE meta SET value = 'old' WHERE key = 'executable_timestamp'"));
    const QByteArray cleaned = readFile(exe);
    // NOPs over NOPs change no byte, yet the image counts as written.
    const QDateTime longAgo = QDateTime::currentDateTime().addDays(-3);
    QFile image(exe);
    ASSERT_TRUE(image.open(QIODevice::ReadOnly) &&
                image.setFileTime(longAgo, QFileDevice::FileModificationTime));
    image.close();

    const RunOutput r = clean(exe);
    ASSERT_EQ(r.exitCode, 0) << r.out.toStdString();
    EXPECT_EQ(readFile(exe), cleaned);
    EXPECT_GT(QFileInfo(exe).lastModified(), longAgo.addDays(1));
    const QMap<quint32, Entry> second = readEntries(db());
    ASSERT_EQ(second.keys(), first.keys());
    for (const Entry &e : second) {
        EXPECT_EQ(e.name, "resolved_" + QString::number(e.address, 16));
        EXPECT_EQ(e.sourceFile, "src.cpp");
        EXPECT_EQ(e.oldBytes, first.value(e.address).oldBytes);
    }
    EXPECT_EQ(readTimestamp(db()), QFileInfo(exe).lastModified().toString(Qt::TextDate));
}

TEST_F(PatchCleanE2ETest, RelinkedImageGetsFreshEntries)
{
    const QString exe = s.copyImage("sample");
    const QByteArray linked = readFile(exe);
    ASSERT_EQ(clean(exe).exitCode, 0);
    ASSERT_TRUE(setNames(db(), "old_", "old.cpp"));
    const QMap<quint32, Entry> first = readEntries(db());

    // Linked again: the hook calls are back.
    ASSERT_TRUE(writeFile(exe, linked));
    ASSERT_EQ(clean(exe).exitCode, 0);
    const QMap<quint32, Entry> second = readEntries(db());
    EXPECT_EQ(second.keys(), first.keys());
    for (const Entry &e : second) {
        EXPECT_EQ(e.name, NotResolved);
        EXPECT_EQ(e.sourceFile, NotResolved);
    }
}

TEST_F(PatchCleanE2ETest, FailuresBeforePatchingLeaveEverythingAsItWas)
{
    struct Case
    {
        const char *image;
        const char *remove; // file of the copy to take away first
        const char *message;
        int exitCode;
    };
    const Case cases[] = {
        {"nopenter", nullptr, "Error: symbol __penter() was not found in executable\n", 1},
        {"sample", ".pdb", "Error: symbol __penter() was not found in executable\n", 1},
        {"sample", ".map", nullptr, 0},
    };
    for (const Case &c : cases) {
        Scratch scratch;
        const QString exe = scratch.copyImage(c.image);
        if (c.remove)
            QFile::remove(scratch.path(QString(c.image) + c.remove));
        if (QByteArray(".pdb") == c.remove) {
            // The reader would find the original program database through the path that the
            // image names; point that at a file that is nowhere.
            QByteArray bytes = readFile(exe);
            ASSERT_EQ(bytes.count("/sample.pdb"), 1);
            ASSERT_TRUE(writeFile(exe, bytes.replace("/sample.pdb", "/absent.pdb")));
        }
        const QByteArray before = readFile(exe);
        const QString dbPath = scratch.path("project.db");
        const RunOutput r = scratch.run({exe, dbPath, VsCommon});
        EXPECT_EQ(r.exitCode, c.exitCode) << c.image << " " << r.out.toStdString();
        const QString expected = c.message ? QString(c.message)
                                           : "Map file " + scratch.path(QString(c.image) + ".map") +
                                                 " does not exist. Can't patchclean...\n";
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(readFile(exe), before);
        EXPECT_FALSE(QFileInfo::exists(dbPath));
        EXPECT_FALSE(QFileInfo::exists(scratch.path(QString("cwd/") + c.image + "_tq.map")));
    }
}

TEST_F(PatchCleanE2ETest, LockedImage)
{
    const QString exe = s.copyImage("sample");
    const QByteArray linked = readFile(exe);
    ASSERT_EQ(clean(exe).exitCode, 0);
    ASSERT_TRUE(setNames(db(), "kept_", "kept.cpp"));
    const QMap<quint32, Entry> entriesBefore = readEntries(db());
    const QString timestampBefore = readTimestamp(db());
    ASSERT_TRUE(writeFile(exe, linked)); // linked again, so a run would rewrite the entries

    const QString ini = s.path("appdata/Corvane/Velmora/tq_velmora.ini");
    ASSERT_TRUE(QFile::remove(ini));

    FileLock lock(exe);
    ASSERT_TRUE(lock.locked);
    const RunOutput r = clean(exe);
    EXPECT_EQ(r.exitCode, 1);
    // The settings are saved also after the exception was reported.
    EXPECT_TRUE(QFileInfo::exists(ini));
    const QString retry = "Failed to open " + exe + "; waiting 333 ms and trying again...\n";
    EXPECT_TRUE(r.out.contains(
        QRegularExpression("^Patching executable for \\d+ functions\\.\\.\\. " +
                           QRegularExpression::escape(retry + retry) + "Error opening \"" +
                           QRegularExpression::escape(exe) + "\" for patching")))
        << r.out.toStdString();
    EXPECT_EQ(readFile(exe), linked);
    const QMap<quint32, Entry> entriesAfter = readEntries(db());
    ASSERT_EQ(entriesAfter.keys(), entriesBefore.keys());
    for (const Entry &e : entriesAfter)
        EXPECT_EQ(e.name, entriesBefore.value(e.address).name);
    EXPECT_EQ(readTimestamp(db()), timestampBefore);
}

TEST_F(PatchCleanE2ETest, HolderThatLetsGoInTime)
{
    const QString exe = s.copyImage("sample");
    const QByteArray linked = readFile(exe);
    FileLock lock(exe);
    ASSERT_TRUE(lock.locked);

    // Let go as soon as the tool has failed once and waits for its second attempt.
    QProcess p;
    s.lastDb = db();
    s.start(p, {exe, db(), VsCommon});
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (!out.contains("trying again...\n") && timer.elapsed() < 30000 &&
           p.state() != QProcess::NotRunning) {
        p.waitForReadyRead(50);
        out += p.readAll();
    }
    lock.release();
    ASSERT_TRUE(p.waitForFinished(30000));
    out += p.readAll();
    EXPECT_EQ(p.exitCode(), 0) << out.constData();
    EXPECT_EQ(out.count("trying again...\n"), 1) << out.constData();
    // The progress line ends after the retry line.
    EXPECT_TRUE(QString::fromLocal8Bit(out).contains(QRegularExpression(
        " functions\\.\\.\\. Failed to open .*trying again\\.\\.\\.\\n\\d+ ms\\. \\n")))
        << out.constData();
    EXPECT_GT(cleanedCalls(linked, readFile(exe)), 10);
    EXPECT_FALSE(readEntries(db()).isEmpty());
}
