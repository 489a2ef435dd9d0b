// Patch-clean runs of the built tool on copies of built images.
#include "TestSupport.h"

#include <QDateTime>
#include <QRegularExpression>

using namespace TestSupport;

namespace {

// Checks that every changed byte belongs to a hook call turned into five NOPs; returns how many.
int cleanedCalls(const QByteArray &before, const QByteArray &after)
{
    EXPECT_EQ(before.size(), after.size());
    int calls = 0;
    for (int i = 0; i < qMin(before.size(), after.size()); ++i) {
        if (before.at(i) != after.at(i)) {
            EXPECT_EQ(uchar(before.at(i)), 0xE8) << "changed byte at " << i;
            EXPECT_EQ(after.mid(i, 5), QByteArray(5, char(0x90))) << "at " << i;
            ++calls;
            i += 4;
        }
    }
    return calls;
}

} // namespace

// A fresh image, the same image again, and the image linked again with its map's lines ended by
// LF alone, as a checkout on Linux leaves them.
TEST(PatchCleanE2ETest, FreshAgainAndRelinked)
{
    Scratch s;
    const QString exe = s.copyImage("unframed"), db = s.path("project.db");
    const QByteArray linked = readFile(exe);
    s.lastDb = db;
    RunOutput r = s.run({exe, db, VsCommon});
    ASSERT_EQ(r.exitCode, 0) << r.out.toStdString();
    const QMultiHash<quint32, QString> names = nameList(s.path("cwd/unframed_tq.map"));
    // Without the tool's folder in TQ_VELMORA the resolve run cannot start; that is reported.
    EXPECT_TRUE(r.out.contains(QRegularExpression(
        QString("^Patching executable for %1 functions\\.\\.\\. \\d+ ms\\. \\nProcessRunner: given "
                "executable does not exist or is not executable\\.\\n$")
            .arg(names.size()))))
        << r.out.toStdString();
    const quint32 hookRva = names.key("__penter");
    ASSERT_NE(hookRva, 0u);
    const QMap<quint32, Entry> first = readEntries(db);
    ASSERT_GE(first.size(), 3);
    EXPECT_FALSE(first.contains(names.key("_unframedAdd")));
    EXPECT_FALSE(first.contains(names.key("?bump@Counter@Calc@@QAEHXZ")));
    for (const Entry &e : first) {
        EXPECT_TRUE(names.contains(e.address));
        EXPECT_EQ(e.name, NotResolved);
        EXPECT_EQ(e.sourceFile, NotResolved);
        EXPECT_EQ(e.oldBytes, 0xE8 | (quint64(quint32(hookRva - (e.address + 5))) << 8));
    }
    const QByteArray cleaned = readFile(exe);
    EXPECT_EQ(cleanedCalls(linked, cleaned), first.size() + 2); // two unframed
    EXPECT_EQ(readTimestamp(db), QFileInfo(exe).lastModified().toString(Qt::TextDate));

    // Again: NOPs over NOPs change no byte, yet the image counts as written; names are kept.
    ASSERT_TRUE(setNames(db, "resolved_", "src.cpp"));
    const QMap<quint32, Entry> named = readEntries(db);
    const QDateTime longAgo = QDateTime::currentDateTime().addDays(-3);
    QFile image(exe);
    ASSERT_TRUE(image.open(QIODevice::ReadOnly) &&
                image.setFileTime(longAgo, QFileDevice::FileModificationTime));
    image.close();
    ASSERT_EQ(s.run({exe, db, VsCommon}).exitCode, 0);
    EXPECT_EQ(readFile(exe), cleaned);
    EXPECT_GT(QFileInfo(exe).lastModified(), longAgo.addDays(1));
    EXPECT_EQ(readTimestamp(db), QFileInfo(exe).lastModified().toString(Qt::TextDate));
    EXPECT_TRUE(readEntries(db) == named);

    // Linked again: fresh entries. With TQ_VELMORA unset, the missing tool is reported as well.
    ASSERT_TRUE(writeFile(exe, linked));
    const QString map = s.path("unframed.map");
    ASSERT_TRUE(writeFile(map, readFile(map).replace("\r\n", "\n")));
    s.env.remove("TQ_VELMORA");
    r = s.run({exe, db, VsCommon});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.endsWith(
        " ms. \nProcessRunner: given executable does not exist or is not executable.\n"))
        << r.out.toStdString();
    EXPECT_TRUE(readFile(exe) == cleaned);
    EXPECT_TRUE(readEntries(db) == first);
}

TEST(PatchCleanE2ETest, HolderThatLetsGoInTime)
{
    Scratch s;
    const QString exe = s.copyImage("sample");
    const QByteArray linked = readFile(exe);
    FileLock lock(exe);
    ASSERT_TRUE(lock.locked);

    // Let go as soon as the tool has failed once and waits for its second attempt.
    QProcess p;
    s.lastDb = s.path("project.db");
    s.start(p, {exe, s.lastDb, VsCommon});
    QByteArray out;
    waitUntil(
        [&] {
            p.waitForReadyRead(50);
            out += p.readAll();
            return out.contains("trying again...\n") || p.state() == QProcess::NotRunning;
        },
        30000);
    lock.release();
    ASSERT_TRUE(p.waitForFinished(30000));
    out += p.readAll();
    EXPECT_EQ(p.exitCode(), 0) << out.constData();
    // One retry line, and the progress line ends after it.
    EXPECT_TRUE(QString::fromLocal8Bit(out).contains(
        QRegularExpression("^Patching executable for \\d+ functions\\.\\.\\. Failed to open " +
                           QRegularExpression::escape(exe) +
                           "; waiting 333 ms and trying again\\.\\.\\.\\n\\d+ ms\\. \\n")))
        << out.constData();
    EXPECT_GT(cleanedCalls(linked, readFile(exe)), 10);
    EXPECT_FALSE(readEntries(s.lastDb).isEmpty());
}
