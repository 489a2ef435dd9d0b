// The product's settings in a temporary home: every folder, store and file they use lies below it.
#include "TestSupport.h"

#include "GlobalLog.h"
#include "Settings.h"
#include "VelmoraColors.h"
#include "VelmoraFiles.h"
#include "VelmoraPaths.h"
#include "VelmoraStrings.h"
#include "processrunner.h"

#include <QSettings>

using namespace TQ::VELMORA;
using TestSupport::ScopedEnv;
using TestSupport::writeFile;
using TQ::SETTINGS::Settings;
using TQ::SHARED::UTILS::GlobalLog;
using TQ::SHARED::UTILS::PROCESSRUNNER::MaxEnvironmentExpansions;

namespace {

using LogLines = std::vector<std::pair<int, QString>>;

// The product's schemes, with a file scheme that counts its checks.
struct CountingFiles : VelmoraFiles
{
    using VelmoraFiles::VelmoraFiles;
    void check() override { ++checks; }
    int checks = 0;
};

struct Schemes
{
    VelmoraStrings *strings = new VelmoraStrings;
    VelmoraPaths *paths = new VelmoraPaths(strings);
    CountingFiles *files = new CountingFiles(strings, paths);
    Settings settings{strings, paths, files, new VelmoraColors};
};

class SettingsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        env.set({{"HOME", at("/home")},
                 {"XDG_CONFIG_HOME", at("/config")},
                 {"XDG_CONFIG_DIRS", at("/machine:") + at("/machine2")},
                 {"APPDATA", at("/appdata")},
                 {"TQ_TRACING", at("/tracing")},
                 {"TQ_VELMORA", at("/velmora")}});
        takeLog();
    }
    void TearDown() override { Settings::setInstance(nullptr); }

    QByteArray at(const char *path) const { return (root + path).toLocal8Bit(); }
    QString settingsFile() const { return root + "/appdata/Corvane/Velmora/tq_velmora.ini"; }
    // What the global log received since the last call.
    LogLines takeLog()
    {
        LogLines lines;
        const auto &entries = GlobalLog::instance()->pendingEntries();
        for (int i = logMark; i < entries.size(); ++i)
            lines.emplace_back(entries[i]->level, entries[i]->text);
        logMark = entries.size();
        return lines;
    }

    QTemporaryDir temp;
    QString root = temp.path();
    int logMark = 0;
    ScopedEnv env; // put back before the folder goes
    VelmoraStrings strings;
};

TEST_F(SettingsTest, TemplatesResolveToDirectories)
{
    const struct
    {
        const char *variable; // changed for the row
        ScopedEnv::Value value;
        int id;
        QString resolved;
    } rows[] = {
        {"TQ_TRACING", "\\data\\tracing\\", PI_Logs, "/data/tracing/logs/"},
        // A variable unset or empty keeps its token: a folder below the working directory.
        {"TQ_TRACING", std::nullopt, PI_Projects, "%TQ_TRACING%/Projects/"},
        {"TQ_TRACING", "/t", PI_3rdpTf, QString()},
        {"TQ_TRACING", "/t", PI_User, root + "/appdata/Corvane/Velmora/"},
        {"APPDATA", "", PI_Layouts, root + "/config/Corvane/Velmora/Layouts/"},
        {"TQ_TRACING", "/t", PI_Public, root + "/machine/Corvane/Velmora/"},
        {"XDG_CONFIG_DIRS", std::nullopt, PI_Public, "/etc/xdg/Corvane/Velmora/"},
        {"TQ_TRACING", "/t", PI_3rdpGraphViz, root + "/velmora/ThirdParty/Graphviz/"},
    };
    for (const auto &row : rows) {
        ScopedEnv rowEnv;
        rowEnv.set({{row.variable, row.value}});
        VelmoraPaths paths(&strings); // the public folder is taken at registration
        SCOPED_TRACE(paths.value(row.id).toStdString());
        const QString resolved = paths.resolve(paths.value(row.id));
        EXPECT_EQ(resolved, row.resolved);
        EXPECT_EQ(resolved.isNull(), row.resolved.isNull());
        const QString base = resolved.startsWith('/') ? QString() : QDir::currentPath() + "/";
        EXPECT_EQ(paths.absolutePath(row.id), base + row.resolved);
    }
    // Once a variable is unset, later tokens are not expanded either.
    env.set({{"TQ_TRACING", std::nullopt}});
    EXPECT_EQ(VelmoraPaths(&strings).resolve("%TQ_TRACING%/%TQ_VELMORA%"),
              "%TQ_TRACING%/%TQ_VELMORA%/");
    EXPECT_TRUE(takeLog().empty());
}

TEST_F(SettingsTest, RegistryPlaceholders)
{
    const QString missing = "The following registry key was not found: Missing";
    // The stores in the order Qt searches them for the user: the product's key, the
    // organization's, then the machine's two.
    const struct
    {
        const char *stores[4];
        const char *text;
        QString resolved;
        LogLines log;
    } rows[] = {
        {{"Dir=C:\\\\u", "", "Dir=/m", ""}, "__Dir__/bin", "C:/u/bin/", {}},
        {{"", "", "Dir=/m", "Dir=/mo"}, "__Dir__", "/m/", {}},
        {{"Empty=\nRoot=/r", "", "", ""}, "__Empty__/__Root__", "__Empty__/r/", {}},
        {{"Root=/r", "", "", ""}, "__Root__/__Missing__/x", QString(), {{16, missing}}},
        {{"Loop=a__Loop__", "", "", ""},
         "__Loop__",
         QString(MaxEnvironmentExpansions, QLatin1Char('a')) + "__Loop__/",
         {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        // Stores of their own for each row: the stores follow the environment.
        const QString user = root + QString("/stores%1/user").arg(&row - rows);
        const QString machine = root + QString("/stores%1/machine").arg(&row - rows);
        const QString files[] = {user + "/Corvane/Velmora.conf", user + "/Corvane.conf",
                                 machine + "/Corvane/Velmora.conf", machine + "/Corvane.conf"};
        for (int i = 0; i < 4; ++i)
            if (*row.stores[i])
                writeFile(files[i], QByteArray("[General]\n") + row.stores[i] + "\n");
        ScopedEnv rowEnv;
        rowEnv.set(
            {{"XDG_CONFIG_HOME", user.toLocal8Bit()}, {"XDG_CONFIG_DIRS", machine.toLocal8Bit()}});
        const QString resolved = VelmoraPaths(&strings).resolve(row.text);
        EXPECT_EQ(resolved, row.resolved);
        EXPECT_EQ(resolved.isNull(), row.resolved.isNull());
        EXPECT_EQ(takeLog(), row.log);
    }
}

// Restore, check and save of the product's settings: folders created where they may be, what is
// missing reported, and the file scheme checked only over healthy paths.
TEST_F(SettingsTest, CheckReportsWhatIsMissing)
{
    const QString user = root + "/appdata/Corvane/Velmora",
                  blocked = root + "/blocker/appdata/Corvane/Velmora";
    const QString missing = "\" does not exist. Correct program execution might be erroneous.";
    const QString unset = " is not registered as Environment variable. Cannot continue program "
                          "execution.";
    const QString restoring = "Restoring Settings...";
    const struct
    {
        std::vector<std::pair<const char *, ScopedEnv::Value>> env;
        std::vector<const char *> folders;
        LogLines log;
        int fileChecks;
    } rows[] = {
        {{},
         {},
         {{4, restoring},
          {4, "\"" + user + "\" was created."},
          {4, "\"" + root + "/velmora\" was created."},
          {4, "\"" + root + "/tracing/logs\" was created."},
          {8, "\"" + root + "/tracing/Projects" + missing},
          {8, "\"" + root + "/velmora/ThirdParty/Graphviz" + missing},
          {4, "\"" + user + "/Layouts\" was created."}},
         0},
        {{},
         {"/tracing/Projects", "/tracing/logs", "/velmora/ThirdParty/Graphviz",
          "/appdata/Corvane/Velmora/Layouts"},
         {{4, restoring}},
         1},
        {{{"TQ_TRACING", std::nullopt}}, {}, {{4, restoring}, {16, "TQ_TRACING" + unset}}, 0},
        {{{"APPDATA", at("/blocker/appdata")}},
         {"/tracing/Projects", "/tracing/logs", "/velmora/ThirdParty/Graphviz"},
         {{4, restoring},
          {8, "\"" + blocked + "\" could not be created."},
          {8, "\"" + blocked + missing},
          {8, "\"" + blocked + "/Layouts\" could not be created."},
          {8, "\"" + blocked + "/Layouts" + missing},
          {8, "Saving settings to \"" + blocked + "/tq_velmora.ini\" failed."}},
         0},
    };
    writeFile(root + "/blocker", "a file where a folder should be");
    for (const auto &row : rows) {
        SCOPED_TRACE(&row - rows);
        ScopedEnv rowEnv;
        rowEnv.set(row.env);
        for (const char *folder : row.folders)
            ASSERT_TRUE(QDir().mkpath(root + folder));
        Schemes s;
        s.settings.restore();
        s.settings.check();
        s.settings.save();
        EXPECT_EQ(s.paths->isOk(), row.fileChecks == 1);
        EXPECT_EQ(s.files->checks, row.fileChecks);
        EXPECT_EQ(takeLog(), row.log);
        for (const char *folder : {"/appdata", "/tracing", "/velmora"})
            QDir(root + folder).removeRecursively();
    }
}

TEST_F(SettingsTest, SaveWritesPathsAndColorsOnlyAndRestoreReadsThemBack)
{
    std::unique_ptr<Settings> settings(TQ::SETTINGS::createSettings());
    settings->save();
    settings.reset();
    {
        QSettings file(settingsFile(), QSettings::IniFormat);
        EXPECT_EQ(file.childGroups(), QStringList({"colors", "paths"}));
        EXPECT_EQ(file.allKeys().size(), 24); // one path, 23 colors
        EXPECT_EQ(file.value("paths/PI_3rdpGraphViz").toString(),
                  "%TQ_VELMORA%/ThirdParty/Graphviz/");
    }

    // Entries of fixed keys change nothing; a text that names no color is an invalid color.
    writeFile(settingsFile(), "[strings]\nS_ProductName=Other\n[files]\nFI_TqtPatchClean=/x.exe\n"
                              "[paths]\nPI_Tracing=/moved/\nPI_3rdpGraphViz=/opt/graphviz/\n"
                              "[colors]\nC_Company=#ff0000\nC_Error=no such color\n"
                              "C_Unknown=#010203\n");
    settings.reset(TQ::SETTINGS::createSettings());
    auto *paths = static_cast<VelmoraPaths *>(settings->paths());
    auto *colors = static_cast<VelmoraColors *>(settings->colors());
    EXPECT_EQ(static_cast<VelmoraStrings *>(settings->strings())->value(S_ProductName), "Velmora");
    // Files keep the folders of their registration.
    env.set({{"TQ_VELMORA", at("/later")}});
    EXPECT_EQ(settings->absoluteFilePath(FI_TqtPatchClean), root + "/velmora/tqt_patchclean.exe");
    EXPECT_EQ(paths->value(PI_Tracing), "%TQ_TRACING%/");
    EXPECT_EQ(paths->absolutePath(PI_3rdpGraphViz), "/opt/graphviz/");
    EXPECT_EQ(colors->value(C_Company), QColor(255, 0, 0));
    EXPECT_FALSE(colors->value(C_Error).isValid());
    EXPECT_EQ(colors->value(C_Warning), QColor(240, 144, 0));
    // Saving writes back what was restored and keeps what no scheme knows.
    settings->save();
    QSettings file(settingsFile(), QSettings::IniFormat);
    EXPECT_EQ(file.value("colors/C_Company").toString(), "#ff0000");
    EXPECT_EQ(file.value("colors/C_Unknown").toString(), "#010203");
    EXPECT_EQ(file.value("paths/PI_3rdpGraphViz").toString(), "/opt/graphviz/");
    EXPECT_EQ(file.value("strings/S_ProductName").toString(), "Other");
}

} // namespace
