// A clean stopped at any moment: at every durable step (a preloaded seam kills the tool just
// before it), with what a power cut would also lose, by SIGINT, SIGTERM and SIGKILL, and with the
// image changed under it. Whatever the stop, the next run leaves image and database as one
// uninterrupted run does, byte for byte and row for row.
#include "TestSupport.h"

#include <QDateTime>
#include <QRandomGenerator>

#include <functional>
#include <signal.h>

using namespace TestSupport;

namespace {

using Step = QPair<QString, QString>; // the call, and the file it changes
// The files a run changes, by path; none for a file that is not there.
using Files = QMap<QString, std::optional<QByteArray>>;

struct Scenario
{
    const char *id;
    const char *image;
    bool earlierClean; // a database holding resolved entries of an earlier clean
    bool linkedAgain;  // ... of an image linked again since
};

void PrintTo(const Scenario &sc, std::ostream *os)
{
    *os << sc.id;
}

const Scenario Scenarios[] = {
    {"LinkedAgainAfterAResolvedClean", "synth3000", true, true},
    {"CleanedAlready", "synth3000", true, false},
    {"SeveralNamesAtOneAddress", "folded", false, false},
    {"Checksummed", "release", false, false},
};

// Puts back every other changed 5-byte site: the writes that a power cut lost.
QByteArray loseEveryOtherSite(QByteArray image, const QByteArray &before)
{
    bool lose = true;
    for (int i = 0; i < qMin(image.size(), before.size()); ++i)
        if (image.at(i) != before.at(i)) {
            if (lose)
                image.replace(i, 5, before.mid(i, 5));
            lose = !lose;
            i += 4;
        }
    return image;
}

class StopE2ETest : public ::testing::Test
{
protected:
    void prepare(const Scenario &sc)
    {
        exe = s.copyImage(sc.image);
        db = s.path("project.db");
        journal = exe + ".patch-journal";
        ASSERT_TRUE(!sc.earlierClean || cleanEarlier(s, exe, db, sc.linkedAgain));
        start = snapshot();
        const RunOutput r = run();
        ASSERT_EQ(r.exitCode, 0);
        // Later names at an address this very run cleaned are no functions of unknown old bytes.
        EXPECT_FALSE(r.out.contains("Warning")) << r.out.toStdString();
        referenceImage = readFile(exe);
        referenceEntries = readEntries(db);
        ASSERT_FALSE(referenceEntries.isEmpty());
        restore(start);
    }

    Files snapshot() const
    {
        Files files;
        for (const QString &f : {exe, db, db + "-journal", journal})
            files[f] = QFileInfo::exists(f) ? std::optional<QByteArray>(readFile(f)) : std::nullopt;
        return files;
    }
    void restore(const Files &files)
    {
        for (auto it = files.begin(); it != files.end(); ++it) {
            QFile::remove(it.key());
            ASSERT_TRUE(!it.value() || writeFile(it.key(), *it.value()));
        }
    }

    // The tool with the seam preloaded and one of its variables set.
    QStringList seam(const char *variable, const QString &value) const
    {
        // A sanitized tool wants its run-time first; the seam only interposes libc calls.
        return {"env", "LD_PRELOAD=" TQT_DURABLE_STEP_KILLER,
                "ASAN_OPTIONS=" + s.env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0",
                QString(variable) + "=" + value};
    }
    QStringList seam(const char *variable, int step) const
    {
        return seam(variable, QString::number(step + 1));
    }

    // Runs the tool; `during` gets its pid once the seam has stopped it (TQT_STOP_AT_STEP) or at
    // once, and the tool is resumed after it.
    RunOutput run(const QStringList &wrapper = {}, const std::function<void(pid_t)> &during = {})
    {
        QProcess p;
        s.wrapper = wrapper;
        s.lastDb = db;
        s.start(p, {exe, db, VsCommon});
        s.wrapper.clear();
        EXPECT_TRUE(p.waitForStarted());
        if (during) {
            const QString stat = QString("/proc/%1/stat").arg(p.processId());
            waitUntil(
                [&] {
                    return wrapper.filter("TQT_STOP_AT_STEP").isEmpty() ||
                           readFile(stat).split(' ').value(2) == "T";
                },
                60000);
            during(pid_t(p.processId()));
            ::kill(pid_t(p.processId()), SIGCONT);
        }
        EXPECT_TRUE(p.waitForFinished(60000));
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromLocal8Bit(p.readAll()), QString()};
    }

    // The steps of an uninterrupted run, and whether to stop at each: those that touch image,
    // journal or database, but inside a run of like steps (SQLite's page writes) only its first
    // and last.
    QList<Step> trace(const Files &from, QList<bool> *stopAt = nullptr)
    {
        restore(from);
        const QString log = s.path("steps.log");
        QFile::remove(log);
        EXPECT_EQ(run(seam("TQT_STEP_LOG", log)).exitCode, 0);
        restore(from);
        QList<Step> steps;
        for (const QByteArray &line : readFile(log).split('\n'))
            if (line.count(' ') >= 2)
                steps.append({line.split(' ').at(1),
                              QString::fromLocal8Bit(
                                  line.mid(line.indexOf(' ', line.indexOf(' ') + 1) + 1))});
        const auto ours = [&](const Step &st) {
            return st.second.startsWith(db) || st.second == journal || st.first == "msync";
        };
        while (!steps.isEmpty() && !ours(steps.last()))
            steps.removeLast();
        for (int i = 0, inWindow = 0; stopAt && i < steps.size(); ++i) {
            inWindow = inWindow || ours(steps.at(i));
            stopAt->append(inWindow &&
                           !(i > 0 && i + 1 < steps.size() && steps.at(i - 1) == steps.at(i) &&
                             steps.at(i) == steps.at(i + 1)));
        }
        return steps;
    }

    // The first such step at or after `from`; one past the last step when there is none.
    static int indexOf(const QList<Step> &steps, const QString &call, const QString &file = "",
                       int from = 0)
    {
        int i = from;
        while (i < steps.size() &&
               !(steps.at(i).first == call && (file.isEmpty() || steps.at(i).second == file)))
            ++i;
        return i;
    }

    bool complete() const
    {
        return readFile(exe) == referenceImage && readEntries(db) == referenceEntries;
    }

    // After a stop, the next run must give the reference.
    void expectNextRunCompletes(const std::string &where)
    {
        const RunOutput r = run();
        ASSERT_EQ(r.exitCode, 0) << where << "\n" << r.out.toStdString();
        EXPECT_TRUE(complete()) << where;
        EXPECT_EQ(readTimestamp(db), QFileInfo(exe).lastModified().toString(Qt::TextDate)) << where;
        EXPECT_FALSE(QFileInfo::exists(journal)) << where;
    }

    Scratch s;
    QString exe, db, journal;
    Files start;
    QByteArray referenceImage;
    QMap<quint32, Entry> referenceEntries;
};

class KilledAtEveryStep : public StopE2ETest, public ::testing::WithParamInterface<Scenario>
{
};

} // namespace

TEST_P(KilledAtEveryStep, AndByPowerCuts)
{
    const Scenario &sc = GetParam();
    prepare(sc);
    QList<bool> stopAt;
    const QList<Step> steps = trace(start, &stopAt);
    // The order that makes every stop safe: journal and its name on disk, then the image
    // written (no call) and on disk, then the database's commit, then the journal removed. An
    // image that is clean already is not written at all.
    const int journalSync = indexOf(steps, "fsync", journal);
    const int folderSync = indexOf(steps, "fsync", QFileInfo(exe).absolutePath(), journalSync);
    const int imageSync = indexOf(steps, "msync", "", folderSync);
    const int removal =
        indexOf(steps, "unlink", journal, indexOf(steps, "fdatasync", db, imageSync));
    const bool writes = !sc.earlierClean || sc.linkedAgain;
    EXPECT_EQ(indexOf(steps, "write", journal) < journalSync, writes);
    EXPECT_EQ(indexOf(steps, "msync") < steps.size(), writes);
    EXPECT_EQ(removal < steps.size(), writes);

    std::optional<QByteArray> lastJournal;
    for (int n = 0; n < steps.size(); ++n) {
        if (!stopAt.at(n))
            continue;
        const std::string where = QString("stopped before step %1 (%2 %3)")
                                      .arg(n + 1)
                                      .arg(steps.at(n).first, steps.at(n).second)
                                      .toStdString();
        restore(start);
        EXPECT_EQ(run(seam("TQT_KILL_AT_STEP", n)).exitCode, -1) << where;
        const Files killed = snapshot();
        if (killed[journal])
            lastJournal = killed[journal];

        // What was synced before the stop survives a power cut; the rest may be lost.
        QList<std::pair<const char *, std::function<void()>>> cuts = {{"as killed", [] {}}};
        if (killed[journal] && n <= folderSync) {
            cuts.append({"journal lost", [&] { QFile::remove(journal); }});
            cuts.append({"journal torn", [&] {
                             writeFile(journal, killed[journal]->left(killed[journal]->size() / 2));
                         }});
        }
        if (n > folderSync && n <= imageSync)
            cuts.append({"half of the image's writes lost",
                         [&] { writeFile(exe, loseEveryOtherSite(*killed[exe], *start[exe])); }});
        if (n > removal && lastJournal)
            cuts.append({"removed journal back", [&] { writeFile(journal, *lastJournal); }});
        for (const auto &cut : cuts) {
            restore(killed);
            cut.second();
            expectNextRunCompletes(where + ", " + cut.first);
        }
    }

    // A stop after the database's commit and before the journal's removal: the commit decided,
    // so every later run sees the whole clean, and a restore gives back the linker's image.
    if (writes) {
        restore(start);
        run(seam("TQT_KILL_AT_STEP", removal));
        const Files committed = snapshot();
        ASSERT_TRUE(committed[journal] && readEntries(db) == referenceEntries);
        const RunOutput verified = runProgram(TQT_BIN_DIR "/tqt_patchdb.exe", {"verify", exe, db});
        EXPECT_EQ(verified.exitCode, 0) << verified.out.toStdString();
        const RunOutput restored = runProgram(TQT_BIN_DIR "/tqt_patchdb.exe", {"restore", exe, db});
        EXPECT_EQ(restored.exitCode, 0) << restored.out.toStdString();
        EXPECT_TRUE(readFile(exe) == *start[exe] && !QFileInfo::exists(journal));
        restore(committed);
        expectNextRunCompletes("after the commit, before the journal's removal");
    }

    // A stop while the next run puts back what the stopped one wrote: each of that run's
    // steps up to its own journal.
    if (writes) {
        restore(start);
        run(seam("TQT_KILL_AT_STEP", imageSync));
        const Files stopped = snapshot();
        const QList<Step> again = trace(stopped);
        for (int n = 0; n <= indexOf(again, "write", journal); ++n) {
            restore(stopped);
            run(seam("TQT_KILL_AT_STEP", n));
            expectNextRunCompletes("recovery stopped before step " + std::to_string(n + 1));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, KilledAtEveryStep, ::testing::ValuesIn(Scenarios),
                         [](const auto &info) { return std::string(info.param.id); });

// Signals at fixed and random moments, and the image changed under the run.
TEST_F(StopE2ETest, SignalsAndChanges)
{
    prepare(Scenarios[0]);
    const QList<Step> steps = trace(start);
    const int journalWrite = indexOf(steps, "write", journal);
    const int imageSync = indexOf(steps, "msync");
    ASSERT_TRUE(steps.value(imageSync + 1).second.startsWith(db));
    const QString undone = "The run was interrupted; the image and the database are as they "
                           "were before it.\n";
    const QByteArray other = readFile(builtImageDir("sample") + "/sample.exe");
    const auto asBefore = [&] { return snapshot() == start; };
    const auto dbKept = [&] { return readFile(db) == *start[db] && !QFileInfo::exists(journal); };
    const auto signal = [](int sig) { return [sig](pid_t pid) { ::kill(pid, sig); }; };
    const auto cutInHalf = [&](pid_t) {
        ::truncate(QFile::encodeName(exe), QFileInfo(exe).size() / 2);
    };
    const QString truncated = "was truncated by another process while it was being patched";
    const QString replaced = "was replaced, moved or changed by another process";
    const struct
    {
        const char *what;
        int stopBefore; // -1: while another process holds the database
        std::function<void(pid_t)> action;
        int exitCode;
        QString message;
        std::function<bool()> after;
    } rows[] = {
        // Nothing is written yet: the run ends at once.
        {"SIGINT while the database is held", -1, signal(SIGINT), 1, "The run was interrupted.\n",
         asBefore},
        // The run undoes its writes first.
        {"SIGINT before the journal", journalWrite, signal(SIGINT), 1, undone, asBefore},
        {"SIGTERM before the image's sync", imageSync, signal(SIGTERM), 1, undone, asBefore},
        // Too late to undo: the run finishes.
        {"SIGINT inside the commit", imageSync + 1, signal(SIGINT), 0, "",
         [&] { return complete(); }},
        {"truncated before the journal", journalWrite, cutInHalf, 1, truncated, dbKept},
        // Its pages are gone while the run still has to put its bytes back: no SIGBUS.
        {"truncated after the writes", imageSync, cutInHalf, 1, truncated, dbKept},
        {"replaced by another file", imageSync,
         [&](pid_t) {
             writeFile(exe + ".new", other);
             ::rename(QFile::encodeName(exe + ".new"), QFile::encodeName(exe));
         },
         1, replaced, [&] { return dbKept() && readFile(exe) == other; }},
        {"deleted", journalWrite, [&](pid_t) { QFile::remove(exe); }, 1, replaced, dbKept},
    };
    for (const auto &row : rows) {
        restore(start);
        sqlite3 *holder = nullptr;
        if (row.stopBefore < 0) {
            ASSERT_EQ(sqlite3_open(db.toUtf8().constData(), &holder), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), 0);
        }
        const RunOutput r =
            run(row.stopBefore < 0 ? QStringList() : seam("TQT_STOP_AT_STEP", row.stopBefore),
                [&](pid_t pid) {
                    if (holder)
                        QThread::msleep(1500);
                    row.action(pid);
                });
        sqlite3_close(holder);
        const std::string where = row.what + (": " + r.out.toStdString());
        EXPECT_EQ(r.exitCode, row.exitCode) << where;
        EXPECT_EQ(r.out.count("interrupted"), row.message.contains("interrupted") ? 1 : 0) << where;
        EXPECT_TRUE(row.message.contains("interrupted") ? r.out.endsWith(row.message)
                                                        : r.out.contains(row.message))
            << where;
        EXPECT_TRUE(row.after()) << where;
        if (row.message.isEmpty() || row.message.contains("interrupted"))
            expectNextRunCompletes(where);
    }

    // Two cleans at once: whichever comes second waits for the database, finds the image clean
    // and keeps the first one's entries.
    restore(start);
    QProcess first, second;
    for (QProcess *p : {&first, &second})
        s.start(*p, {exe, db, VsCommon});
    for (QProcess *p : {&first, &second}) {
        EXPECT_TRUE(p->waitForFinished(60000));
        EXPECT_EQ(p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1, 0)
            << p->readAll().constData();
    }
    EXPECT_TRUE(complete());

    // At random moments: the run ended on its own, or was interrupted before or after all of its
    // work, or was killed.
    QElapsedTimer timer;
    timer.start();
    run();
    const int duration = int(timer.elapsed());
    QRandomGenerator random(15);
    for (const int sig : {SIGINT, SIGTERM, SIGKILL}) {
        for (int round = 0; round < 5; ++round) {
            restore(start);
            const RunOutput r = run({}, [&](pid_t pid) {
                QThread::usleep(random.bounded(duration * 1000));
                ::kill(pid, sig);
            });
            const std::string where = "signal " + std::to_string(sig) + " round " +
                                      std::to_string(round) + ": " + r.out.toStdString();
            if (sig != SIGKILL && r.exitCode == 1) {
                EXPECT_EQ(r.out.count("interrupted"), 1) << where;
                EXPECT_TRUE(snapshot() == start ||
                            (!r.out.contains("as they were before") && complete()))
                    << where;
            } else if (sig != SIGKILL) {
                // Done, or stopped before the tool had set up its handlers.
                EXPECT_TRUE(r.exitCode == 0 ? complete() : snapshot() == start) << where;
            }
            expectNextRunCompletes(where);
        }
    }
}
