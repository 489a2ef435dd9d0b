// Two real processes on one database file.
#include "PatchDbTestSupport.h"

#include <QFileInfo>

#include <exception>
#include <functional>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace patchdbtest;

namespace {

// A forked process that runs one job, talking to the test over two pipes, one byte at a time.
class Child
{
public:
    explicit Child(const std::function<int(Child &)> &job)
    {
        int down[2], up[2];
        if (pipe(down) != 0 || pipe(up) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            close(down[1]);
            close(up[0]);
            m_in = down[0];
            m_out = up[1];
            int code = 99;
            try {
                code = job(*this);
            } catch (const std::exception &) {
                code = 98;
            }
            _exit(code);
        }
        close(down[0]);
        close(up[1]);
        m_out = down[1];
        m_in = up[0];
    }
    ~Child()
    {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_in);
        close(m_out);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool started() const { return m_pid > 0; }
    bool send(char c) { return write(m_out, &c, 1) == 1; }
    // The next byte from the other side, or 0 when it closed its end.
    char receive()
    {
        char c = 0;
        return read(m_in, &c, 1) == 1 ? c : 0;
    }
    // The exit code, or -signal when a signal ended the process.
    int wait()
    {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    void killHard() { kill(m_pid, SIGKILL); }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    bool m_reaped = false;
};

// The child's half of a rewrite: read everything, clear, write it back with one more entry,
// report 'h' (holding) and commit only when told.
int rewriteAndHold(Child &self, const QString &path, quint32 added, int holdMs)
{
    auto db = openDb(path);
    const QSet<PatchedFunction> previous = db->functions();
    db->clearFunctions();
    for (const PatchedFunction &f : previous)
        db->addFunction(f);
    db->addFunction(entry(added, "from child"));
    self.send('h');
    if (self.receive() != 'c')
        return 2;
    usleep(holdMs * 1000);
    db->commit();
    return 0;
}

} // namespace

TEST_F(PatchDbTest, SecondWriterWaitsAndKeepsTheFirstWritersEntries)
{
    const QString path = file("project.db");
    fillDb(path, {entry(0x100, "resolved earlier")});

    Child first([&](Child &self) { return rewriteAndHold(self, path, 0x200, 400); });
    ASSERT_TRUE(first.started());
    ASSERT_EQ(first.receive(), 'h');
    ASSERT_TRUE(first.send('c'));

    // This process does the same rewrite with the default wait while the first still holds.
    auto db = openDb(path);
    const QSet<PatchedFunction> seen = db->functions();
    EXPECT_TRUE(seen.contains(PatchedFunction(0x100)));
    EXPECT_TRUE(seen.contains(PatchedFunction(0x200))) << "read before the first writer committed";
    db->clearFunctions();
    for (const PatchedFunction &f : seen)
        db->addFunction(f);
    db->addFunction(entry(0x300, "from parent"));
    db->commit();
    db.reset();
    EXPECT_EQ(first.wait(), 0);

    auto check = openDb(path);
    const QSet<PatchedFunction> all = check->functions();
    EXPECT_EQ(all.size(), 3);
    PatchedFunction got;
    ASSERT_TRUE(check->function(0x100, &got));
    EXPECT_EQ(got.name, "resolved earlier");
    ASSERT_TRUE(check->function(0x200, &got));
    EXPECT_EQ(got.name, "from child");
    EXPECT_TRUE(check->containsFunction(0x300));
}

TEST_F(PatchDbTest, WaitThatRunsOutIsAClearErrorAndLosesNothing)
{
    const QString path = file("project.db");
    fillDb(path, {entry(0x100)});

    Child holder([&](Child &self) { return rewriteAndHold(self, path, 0x200, 0); });
    ASSERT_TRUE(holder.started());
    ASSERT_EQ(holder.receive(), 'h');

    auto db = openDb(path, 200);
    for (auto call : {std::function<void()>([&] { db->functions(); }),
                      std::function<void()>([&] { db->clearFunctions(); }),
                      std::function<void()>([&] { db->setExecutableTimestamp("t"); })}) {
        try {
            call();
            ADD_FAILURE() << "no error while another process holds the file";
        } catch (const std::exception &e) {
            const QString text = QString::fromUtf8(e.what());
            EXPECT_TRUE(text.contains(path)) << e.what();
            EXPECT_TRUE(text.contains("locked by another process")) << e.what();
        }
        EXPECT_FALSE(db->inTransaction());
    }
    // Reading without a transaction still works while the other holds its write lock.
    EXPECT_EQ(db->functionCount(), 1);

    ASSERT_TRUE(holder.send('c'));
    EXPECT_EQ(holder.wait(), 0);
    auto check = openDb(path);
    EXPECT_EQ(check->functionCount(), 2);
    EXPECT_TRUE(check->executableTimestamp().isEmpty());
}

TEST_F(PatchDbTest, ProcessKilledBeforeCommitLeavesFileAsItWas)
{
    const QString path = file("project.db");
    QList<PatchedFunction> original;
    for (quint32 a = 0; a < 2000; ++a)
        original.append(entry(a * 16, QString("f%1").arg(a)));
    fillDb(path, original);
    const QByteArray before = fileBytes(path);

    // Enough rows that SQLite writes into the file itself before commit.
    Child victim([&](Child &self) {
        auto db = openDb(path);
        db->functions();
        db->clearFunctions();
        for (quint32 a = 0; a < 300000; ++a)
            db->addFunction(PatchedFunction(a * 3 + 1, QString(200, QChar('n')), "s", a));
        self.send('h');
        self.receive();
        return 0;
    });
    ASSERT_TRUE(victim.started());
    ASSERT_EQ(victim.receive(), 'h');
    victim.killHard();
    EXPECT_EQ(victim.wait(), -SIGKILL);

    // The next opener rolls the interrupted run back.
    auto db = openDb(path);
    const QSet<PatchedFunction> all = db->functions();
    EXPECT_EQ(all.size(), original.size());
    PatchedFunction got;
    ASSERT_TRUE(db->function(16 * 1999, &got));
    EXPECT_EQ(got.name, "f1999");
    EXPECT_FALSE(db->containsFunction(1));
    db.reset();
    EXPECT_EQ(fileBytes(path), before);
}
