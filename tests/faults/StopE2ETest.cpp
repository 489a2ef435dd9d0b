// A clean stopped at any moment: at every durable step (a preloaded seam kills the tool just
// before it), with what a power cut would also lose, by SIGINT, SIGTERM and SIGKILL, and with the
// image changed under it. Whatever the stop, the next run leaves image and database as one
// uninterrupted run does, byte for byte and row for row.
#include "E2ESupport.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QSet>

#include <algorithm>
#include <functional>
#include <signal.h>

using namespace E2E;

namespace {

const QString Seam = QStringLiteral(TQT_DURABLE_STEP_KILLER);

struct Step
{
    QString call;
    QString file;
};

QList<Step> readSteps(const QString &log)
{
    QList<Step> steps;
    for (const QByteArray &line : readFile(log).split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() >= 3)
            steps.append(
                {QString::fromLatin1(f.at(1)), QString::fromLocal8Bit(f.mid(2).join(' '))});
    }
    return steps;
}

// The bytes of the files a run changes, or none for a file that is not there.
using Files = QMap<QString, std::optional<QByteArray>>;

struct Scenario
{
    const char *name;
    const char *image;
    bool earlierClean; // a database holding resolved entries of an earlier clean
    bool linkedAgain;  // ... of an image linked again since
};

const Scenario Scenarios[] = {
    {"linked again after a resolved clean", "synth3000", true, true},
    {"cleaned already", "synth3000", true, false},
    {"several names at one address", "folded", false, false},
};

class StopE2ETest : public ::testing::Test
{
protected:
    void prepare(const Scenario &sc)
    {
        scratch.emplace();
        exe = s().copyImage(sc.image);
        db = s().path("project.db");
        journal = exe + ".patch-journal";
        const QByteArray linked = readFile(exe);
        if (sc.earlierClean) {
            ASSERT_EQ(run().exitCode, 0);
            ASSERT_TRUE(setNames(db, "earlier_", "earlier.cpp"));
            if (sc.linkedAgain) {
                ASSERT_TRUE(writeFile(exe, linked));
            }
        }
        start = snapshot();
        const RunOutput r = run();
        ASSERT_EQ(r.exitCode, 0) << r.out.toStdString();
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
            if (it.value()) {
                ASSERT_TRUE(writeFile(it.key(), *it.value()));
            }
        }
    }

    RunOutput run(const QMap<QString, QString> &seam = {})
    {
        const QProcessEnvironment plain = s().env;
        if (!seam.isEmpty()) {
            s().env.insert("LD_PRELOAD", Seam);
            // A sanitized tool wants its run-time first; the seam only interposes libc calls.
            s().env.insert("ASAN_OPTIONS",
                           s().env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
            for (auto it = seam.begin(); it != seam.end(); ++it)
                s().env.insert(it.key(), it.value());
        }
        s().lastDb = db;
        const RunOutput r = s().run({exe, db, VsCommon});
        s().env = plain;
        return r;
    }

    // The steps of an uninterrupted run from the start state that touch image, journal or
    // database (not the name list before them nor the settings after them).
    QList<Step> traceFromStart()
    {
        const QString log = s().path("steps.log");
        QFile::remove(log);
        EXPECT_EQ(run({{"TQT_STEP_LOG", log}}).exitCode, 0);
        restore(start);
        QList<Step> steps = readSteps(log);
        skipped.clear();
        const auto ours = [&](const Step &st) {
            return st.file.startsWith(db) || st.file == journal || st.call == "msync";
        };
        while (!steps.isEmpty() && !ours(steps.last()))
            steps.removeLast();
        // Not stopped at, but kept for the numbering: the steps before the window, and inside a
        // run of like steps (SQLite's page writes) all but its first, middle and last.
        QList<bool> skip;
        for (int i = 0; i < steps.size(); ++i) {
            int first = i, last = i;
            while (first > 0 && steps.at(first - 1).call == steps.at(i).call &&
                   steps.at(first - 1).file == steps.at(i).file)
                --first;
            while (last + 1 < steps.size() && steps.at(last + 1).call == steps.at(i).call &&
                   steps.at(last + 1).file == steps.at(i).file)
                ++last;
            skip.append(i != first && i != last && i != (first + last) / 2);
        }
        for (int i = 0; i < steps.size(); ++i)
            if (skip.at(i) || !std::any_of(steps.begin(), steps.begin() + i + 1, ours))
                skipped.insert(i);
        return steps;
    }

    // After a stop, the next run must give the reference.
    void expectNextRunCompletes(const std::string &where)
    {
        const RunOutput r = run();
        ASSERT_EQ(r.exitCode, 0) << where << "\n" << r.out.toStdString();
        EXPECT_TRUE(readFile(exe) == referenceImage) << where;
        EXPECT_TRUE(readEntries(db) == referenceEntries) << where;
        EXPECT_EQ(readTimestamp(db), QFileInfo(exe).lastModified().toString(Qt::TextDate)) << where;
        EXPECT_FALSE(QFileInfo::exists(journal)) << where;
    }

    int indexOf(const QList<Step> &steps, const QString &call, const QString &file)
    {
        for (int i = 0; i < steps.size(); ++i)
            if (steps.at(i).call == call && (file.isEmpty() || steps.at(i).file == file))
                return i;
        ADD_FAILURE() << "no step " << call.toStdString() << " " << file.toStdString();
        return -1;
    }

    // Starts the tool stopped just before step n, lets `act` change the world, then resumes it.
    RunOutput runStoppedAt(int n, const std::function<void(qint64 pid)> &act)
    {
        QProcessEnvironment plain = s().env;
        s().env.insert("LD_PRELOAD", Seam);
        s().env.insert("ASAN_OPTIONS", s().env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        s().env.insert("TQT_STOP_AT_STEP", QString::number(n + 1));
        QProcess p;
        s().lastDb = db;
        s().start(p, {exe, db, VsCommon});
        s().env = plain;
        EXPECT_TRUE(p.waitForStarted());
        const QString stat = QString("/proc/%1/stat").arg(p.processId());
        QElapsedTimer timer;
        timer.start();
        while (readFile(stat).split(' ').value(2) != "T" && timer.elapsed() < 60000 &&
               p.state() == QProcess::Running)
            QThread::msleep(5);
        act(p.processId());
        ::kill(pid_t(p.processId()), SIGCONT);
        RunOutput r;
        EXPECT_TRUE(p.waitForFinished(60000));
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromLocal8Bit(p.readAll());
        return r;
    }

    Scratch &s() { return *scratch; }

    std::optional<Scratch> scratch;
    QString exe, db, journal;
    Files start;
    QSet<int> skipped; // steps of the trace not stopped at
    QByteArray referenceImage;
    QMap<quint32, Entry> referenceEntries;
};

// Puts back every other 5-byte run that differs from the start: writes that a power cut lost.
QByteArray loseEveryOtherSite(QByteArray image, const QByteArray &before)
{
    bool lose = true;
    for (int i = 0; i < qMin(image.size(), before.size()); ++i) {
        if (image.at(i) == before.at(i))
            continue;
        if (lose)
            image.replace(i, 5, before.mid(i, 5));
        lose = !lose;
        i += 4;
    }
    return image;
}

} // namespace

TEST_F(StopE2ETest, KilledAtEveryDurableStepAndByPowerCuts)
{
    for (const Scenario &sc : Scenarios) {
        SCOPED_TRACE(sc.name);
        prepare(sc);
        const QList<Step> steps = traceFromStart();
        const QString folder = QFileInfo(exe).absolutePath();
        // The order that makes every stop safe: journal and its name on disk, then the image
        // written (no call) and on disk, then the database's commit, then the journal removed.
        const int journalSync = indexOf(steps, "fsync", journal);
        const int folderSync = indexOf(steps.mid(journalSync), "fsync", folder) + journalSync;
        const int imageSync = indexOf(steps, "msync", "");
        const int commitSync = indexOf(steps.mid(imageSync), "fdatasync", db) + imageSync;
        EXPECT_TRUE(indexOf(steps, "write", journal) < journalSync && journalSync < folderSync &&
                    folderSync < imageSync && imageSync < commitSync &&
                    commitSync < indexOf(steps, "unlink", journal));
        std::optional<QByteArray> lastJournal;
        int stops = 0;
        for (int n = 0; n < steps.size(); ++n) {
            if (skipped.contains(n))
                continue;
            const std::string where = QString("stopped before step %1 (%2 %3)")
                                          .arg(n + 1)
                                          .arg(steps.at(n).call, steps.at(n).file)
                                          .toStdString();
            restore(start);
            EXPECT_EQ(run({{"TQT_KILL_AT_STEP", QString::number(n + 1)}}).exitCode, -1) << where;
            ++stops;
            const Files killed = snapshot();
            if (killed[journal])
                lastJournal = killed[journal];

            // What synced before the stop survives a power cut; the rest may be lost.
            bool journalWritten = false, journalSynced = false, folderSynced = false;
            bool imageSynced = false, journalRemoved = false;
            for (int i = 0; i < n; ++i) {
                const Step &st = steps.at(i);
                journalWritten |= st.call == "write" && st.file == journal;
                journalSynced |= journalWritten && st.call == "fsync" && st.file == journal;
                folderSynced |= journalSynced && st.call == "fsync" && st.file == folder;
                imageSynced |= folderSynced && st.call == "msync";
                journalRemoved |= journalWritten && st.call == "unlink" && st.file == journal;
            }
            QList<std::pair<const char *, std::function<void()>>> cuts = {{"as killed", [] {}}};
            if (killed[journal] && !(journalSynced && folderSynced)) {
                cuts.append({"journal lost", [&] { QFile::remove(journal); }});
                cuts.append({"journal torn", [&] {
                                 writeFile(journal,
                                           killed[journal]->left(killed[journal]->size() / 2 + 3));
                             }});
            }
            if (folderSynced && !imageSynced)
                cuts.append({"half of the image's writes lost", [&] {
                                 writeFile(exe, loseEveryOtherSite(*killed[exe], *start[exe]));
                             }});
            if (journalRemoved && lastJournal)
                cuts.append({"removed journal back", [&] { writeFile(journal, *lastJournal); }});
            for (const auto &cut : cuts) {
                restore(killed);
                cut.second();
                expectNextRunCompletes(where + ", " + cut.first);
            }
        }
        EXPECT_GT(stops, 10);

        // A stop while the next run puts back what the stopped one wrote: that run's steps up to
        // its own journal.
        if (!sc.earlierClean || sc.linkedAgain) {
            restore(start);
            run({{"TQT_KILL_AT_STEP", QString::number(indexOf(steps, "msync", "") + 1)}});
            const Files stopped = snapshot();
            const QString log = s().path("recovery.log");
            QFile::remove(log);
            run({{"TQT_STEP_LOG", log}});
            const QList<Step> recovery = readSteps(log);
            const int last = indexOf(recovery, "write", journal);
            for (int n = 0; n <= last; ++n) {
                restore(stopped);
                run({{"TQT_KILL_AT_STEP", QString::number(n + 1)}});
                expectNextRunCompletes("recovery stopped before step " + std::to_string(n + 1));
            }
        }
    }
}

TEST_F(StopE2ETest, SignalsEndTheRunCleanly)
{
    prepare(Scenarios[0]);
    const QList<Step> steps = traceFromStart();
    const Files before = snapshot();
    const auto asBefore = [&] { return snapshot() == before; };
    const auto complete = [&] {
        return readFile(exe) == referenceImage && readEntries(db) == referenceEntries;
    };
    const QString deferred = "The run was interrupted; the image and the database are as they "
                             "were before it.\n";

    // At fixed moments: while another process holds the database (nothing written yet, the run
    // ends at once), inside the image's writes and before the commit (the run undoes them
    // first), and inside the commit (too late to undo: the run finishes).
    const int journalWrite = indexOf(steps, "write", journal);
    const int imageSync = indexOf(steps, "msync", "");
    const int commit = imageSync + 1;
    ASSERT_TRUE(steps.value(commit).file.startsWith(db));
    struct Row
    {
        int signal;
        int stopBefore; // -1: while the database is locked
        const char *expected;
    };
    const Row rows[] = {
        {SIGINT, -1, "The run was interrupted.\n"},
        {SIGINT, journalWrite, nullptr},
        {SIGTERM, imageSync, nullptr},
        {SIGINT, commit, ""},
    };
    for (const Row &row : rows) {
        restore(before);
        RunOutput r;
        if (row.stopBefore < 0) {
            sqlite3 *holder = nullptr;
            ASSERT_EQ(sqlite3_open(db.toUtf8().constData(), &holder), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr),
                      SQLITE_OK);
            QProcess p;
            s().start(p, {exe, db, VsCommon});
            QThread::msleep(1500);
            ::kill(pid_t(p.processId()), row.signal);
            EXPECT_TRUE(p.waitForFinished(30000));
            sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(holder);
            r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
            r.out = QString::fromLocal8Bit(p.readAll());
        } else {
            r = runStoppedAt(row.stopBefore, [&](qint64 pid) { ::kill(pid_t(pid), row.signal); });
        }
        const std::string where = "signal " + std::to_string(row.signal) + " before step " +
                                  std::to_string(row.stopBefore + 1) + ": " + r.out.toStdString();
        if (row.expected && !*row.expected) {
            EXPECT_EQ(r.exitCode, 0) << where;
            EXPECT_TRUE(complete()) << where;
        } else {
            EXPECT_EQ(r.exitCode, 1) << where;
            EXPECT_TRUE(r.out.endsWith(row.expected ? QString(row.expected) : deferred)) << where;
            EXPECT_EQ(r.out.count("interrupted"), 1) << where;
            EXPECT_TRUE(asBefore()) << where;
        }
        expectNextRunCompletes(where);
    }

    // At random moments of a run, the last one where it takes longest.
    QElapsedTimer timer;
    timer.start();
    run();
    const int duration = int(timer.elapsed());
    QRandomGenerator random(15);
    for (const int sig : {SIGINT, SIGTERM, SIGKILL}) {
        for (int round = 0; round < 5; ++round) {
            restore(before);
            QProcess p;
            s().start(p, {exe, db, VsCommon});
            ASSERT_TRUE(p.waitForStarted());
            QThread::usleep(random.bounded(duration * 1000));
            ::kill(pid_t(p.processId()), sig);
            ASSERT_TRUE(p.waitForFinished(30000));
            const QString out = QString::fromLocal8Bit(p.readAll());
            const std::string where = "signal " + std::to_string(sig) + " round " +
                                      std::to_string(round) + ": " + out.toStdString();
            if (sig == SIGKILL) {
            } else if (p.exitStatus() == QProcess::CrashExit) {
                // Before the tool had set up its handlers: nothing was written yet.
                EXPECT_TRUE(asBefore()) << where;
            } else if (p.exitCode() == 1) {
                EXPECT_EQ(out.count("interrupted"), 1) << where;
                EXPECT_TRUE(asBefore() || (!out.endsWith(deferred) && complete())) << where;
            } else {
                EXPECT_EQ(p.exitCode(), 0) << where;
                EXPECT_TRUE(complete()) << where;
            }
            expectNextRunCompletes(where);
        }
    }
}

TEST_F(StopE2ETest, ImageChangedUnderTheRun)
{
    prepare(Scenarios[0]);
    const QList<Step> steps = traceFromStart();
    const Files before = snapshot();
    const int journalWrite = indexOf(steps, "write", journal);
    const int imageSync = indexOf(steps, "msync", "");
    const QByteArray truncated = "was truncated by another process while it was being patched";
    const QByteArray replaced = "was replaced, moved or changed by another process";
    const QByteArray other = readFile(QStringLiteral(TQT_TEST_IMAGES_DIR "/sample/sample.exe"));
    struct Row
    {
        const char *what;
        int stopBefore;
        std::function<void()> change;
        QByteArray message;
    };
    const auto cutInHalf = [&] { ::truncate(QFile::encodeName(exe), QFileInfo(exe).size() / 2); };
    const Row rows[] = {
        {"truncated before the journal", journalWrite, cutInHalf, truncated},
        // Its pages are gone while the run still has to put its bytes back: no SIGBUS.
        {"truncated after the writes", imageSync, cutInHalf, truncated},
        {"replaced by another file", imageSync,
         [&] {
             writeFile(exe + ".new", other);
             ::rename(QFile::encodeName(exe + ".new"), QFile::encodeName(exe));
         },
         replaced},
        {"deleted", journalWrite, [&] { QFile::remove(exe); }, replaced},
    };
    for (const Row &row : rows) {
        restore(before);
        const QByteArray dbBefore = readFile(db);
        const RunOutput r = runStoppedAt(row.stopBefore, [&](qint64) { row.change(); });
        EXPECT_EQ(r.exitCode, 1) << row.what << ": " << r.out.toStdString();
        EXPECT_TRUE(r.out.toUtf8().contains(row.message))
            << row.what << ": " << r.out.toStdString();
        EXPECT_TRUE(readFile(db) == dbBefore) << row.what;
        EXPECT_FALSE(QFileInfo::exists(journal)) << row.what;
        if (QByteArray(row.what).startsWith("replaced")) {
            EXPECT_TRUE(readFile(exe) == other) << "the file put there was touched";
        }
    }
}
