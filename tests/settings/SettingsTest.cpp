// The product's settings in a temporary home: every folder, store and file they use lies below it.
#include "RunnerTestSupport.h"

#include "GlobalLog.h"
#include "Settings.h"
#include "VelmoraColors.h"
#include "VelmoraFiles.h"
#include "VelmoraPaths.h"
#include "VelmoraStrings.h"
#include "processrunner.h"

#include <QSettings>
#include <QTemporaryDir>

using namespace TQ::VELMORA;
using RunnerTest::ScopedEnv;
using TQ::SETTINGS::Settings;
using TQ::SHARED::UTILS::GlobalLog;

namespace {

using LogLines = std::vector<std::pair<int, QString>>;
using Env = std::vector<std::pair<const char *, ScopedEnv::Value>>;

class SettingsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp.isValid());
        root = temp.path();
        env.set({{"HOME", at("/home")},
                 {"XDG_CONFIG_HOME", at("/config")},
                 {"XDG_CONFIG_DIRS", at("/machine:") + at("/machine2")},
                 {"APPDATA", at("/appdata")},
                 {"TQ_TRACING", at("/tracing")},
                 {"TQ_VELMORA", at("/velmora")}});
        logMark = GlobalLog::instance()->pendingEntries().size();
    }
    void TearDown() override { Settings::setInstance(nullptr); }

    QByteArray at(const char *path) const { return (root + path).toLocal8Bit(); }
    QString settingsFile() const { return root + "/appdata/Corvane/Velmora/tq_velmora.ini"; }
    static void writeFile(const QString &path, const QByteArray &content)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
        file.write(content);
    }
    // What the global log received since the test began, or since the last call.
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
    QString root;
    int logMark = 0;
    ScopedEnv env; // put back before the folder goes
    VelmoraStrings strings;
};

TEST_F(SettingsTest, TemplatesResolveToDirectories)
{
    const QString cwd = QDir::currentPath();
    const struct
    {
        Env env;
        int id; // -1: `text` instead of a key's template
        const char *text;
        QString resolved;
        QString absolute; // not checked when empty
    } rows[] = {
        {{{"TQ_TRACING", "/data/tracing"}},
         PI_Logs,
         "",
         "/data/tracing/logs/",
         "/data/tracing/logs/"},
        {{{"TQ_TRACING", "\\data\\tracing\\"}}, PI_Logs, "", "/data/tracing/logs/", ""},
        // A variable unset or empty keeps its token and every later one: a folder below the
        // working directory.
        {{{"TQ_TRACING", std::nullopt}},
         PI_Projects,
         "",
         "%TQ_TRACING%/Projects/",
         cwd + "/%TQ_TRACING%/Projects/"},
        {{{"TQ_TRACING", ""}}, PI_Logs, "", "%TQ_TRACING%/logs/", cwd + "/%TQ_TRACING%/logs/"},
        {{{"TQ_TRACING", std::nullopt}},
         -1,
         "%TQ_TRACING%/%TQ_VELMORA%",
         "%TQ_TRACING%/%TQ_VELMORA%/",
         ""},
        {{}, PI_3rdpTf, "", QString(), cwd + "/"},
        {{}, PI_User, "", root + "/appdata/Corvane/Velmora/", root + "/appdata/Corvane/Velmora/"},
        {{{"APPDATA", ""}}, PI_Layouts, "", root + "/config/Corvane/Velmora/Layouts/", ""},
        {{}, PI_Public, "", root + "/machine/Corvane/Velmora/", ""},
        {{{"XDG_CONFIG_DIRS", std::nullopt}}, PI_Public, "", "/etc/xdg/Corvane/Velmora/", ""},
        {{}, PI_3rdpGraphViz, "", root + "/velmora/ThirdParty/Graphviz/", ""},
    };
    for (const auto &row : rows) {
        ScopedEnv rowEnv;
        rowEnv.set(row.env);
        VelmoraPaths paths(&strings); // the public folder is taken at registration
        const QString text = row.id >= 0 ? paths.value(row.id) : QString(row.text);
        SCOPED_TRACE(text.toStdString());
        EXPECT_EQ(paths.resolve(text), row.resolved);
        EXPECT_EQ(paths.resolve(text).isNull(), row.resolved.isNull());
        if (!row.absolute.isEmpty()) {
            EXPECT_EQ(paths.absolutePath(row.id), row.absolute);
        }
    }
    EXPECT_TRUE(takeLog().empty());
}

TEST_F(SettingsTest, NormalizeDirPath)
{
    const std::pair<const char *, const char *> rows[] = {
        {"a\\b", "a/b/"},   {"a///b/", "a//b/"}, {"//server/share", "/server/share/"},
        {"c:/x/", "c:/x/"}, {"", "/"},           {"\\\\srv\\s\\", "/srv/s/"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(TQ::SETTINGS::normalizeDirPath(row.first), row.second) << row.first;
}

TEST_F(SettingsTest, RegistryPlaceholders)
{
    using TQ::SHARED::UTILS::PROCESSRUNNER::MaxEnvironmentExpansions;
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
        {{"", "", "Dir=/m", ""}, "__Dir__/bin", "/m/bin/", {}},
        {{"Dir=C:\\\\u", "", "Dir=/m", ""}, "__Dir__/bin", "C:/u/bin/", {}},
        {{"", "Dir=/uo", "Dir=/m", ""}, "__Dir__", "/uo/", {}},
        {{"", "", "Dir=/m", "Dir=/mo"}, "__Dir__", "/m/", {}},
        {{"", "", "", "Dir=/mo"}, "__Dir__", "/mo/", {}},
        {{"A=/a", "", "B=b", ""}, "__A__/__B__", "/a/b/", {}},
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
        VelmoraPaths paths(&strings);
        const QString resolved = paths.resolve(row.text);
        EXPECT_EQ(resolved, row.resolved);
        EXPECT_EQ(resolved.isNull(), row.resolved.isNull());
        EXPECT_EQ(takeLog(), row.log);
    }
}

// The product's table with a registry key it cannot do without.
struct PathsNeedingRegistry : VelmoraPaths
{
    using VelmoraPaths::VelmoraPaths;
    QSet<QString> requiredRegistryKeys() const override { return {"InstallDir"}; }
};

TEST_F(SettingsTest, MissingRegistryKeyClearsOkAndSkipsTheDirectories)
{
    PathsNeedingRegistry missing(&strings);
    missing.check();
    EXPECT_FALSE(missing.isOk());
    EXPECT_EQ(takeLog(), LogLines({{16, "The following registry key was not found: InstallDir"}}));
    EXPECT_FALSE(QDir(root + "/velmora").exists());
    // Kept for the whole organization in the machine's store, it is found.
    writeFile(root + "/machine/Corvane.conf", "[General]\nInstallDir=/x\n");
    PathsNeedingRegistry found(&strings);
    found.checkRegistry();
    EXPECT_TRUE(found.isOk());
}

TEST_F(SettingsTest, CheckCreatesWhatItMayAndReportsWhatIsMissing)
{
    VelmoraPaths paths(&strings);
    paths.check();
    EXPECT_FALSE(paths.isOk());
    const QString user = root + "/appdata/Corvane/Velmora";
    const QString missing = "\" does not exist. Correct program execution might be erroneous.";
    EXPECT_EQ(takeLog(), LogLines({
                             {4, "\"" + user + "\" was created."},
                             {4, "\"" + root + "/velmora\" was created."},
                             {4, "\"" + root + "/tracing/logs\" was created."},
                             {8, "\"" + root + "/tracing/Projects" + missing},
                             {8, "\"" + root + "/velmora/ThirdParty/Graphviz" + missing},
                             {4, "\"" + user + "/Layouts\" was created."},
                         }));
    // Once every folder is there, nothing is reported.
    for (const char *dir : {"/tracing/Projects", "/velmora/ThirdParty/Graphviz"})
        ASSERT_TRUE(QDir().mkpath(root + dir));
    VelmoraPaths again(&strings);
    again.check();
    EXPECT_TRUE(again.isOk());
    EXPECT_TRUE(takeLog().empty());
}

TEST_F(SettingsTest, UnsetOrEmptyVariableIsAnErrorAndSkipsTheDirectories)
{
    for (const char *name : {"TQ_TRACING", "TQ_VELMORA"}) {
        for (const ScopedEnv::Value &value : {ScopedEnv::Value(), ScopedEnv::Value("")}) {
            ScopedEnv rowEnv;
            rowEnv.set(name, value);
            VelmoraPaths paths(&strings);
            paths.check();
            EXPECT_FALSE(paths.isOk());
            EXPECT_EQ(takeLog(), LogLines({{16, QString(name) + " is not registered as Environment "
                                                                "variable. Cannot continue program "
                                                                "execution."}}));
        }
    }
}

TEST_F(SettingsTest, DirectoryThatCannotBeCreated)
{
    writeFile(root + "/blocker", "a file where a folder should be");
    env.set("APPDATA", at("/blocker/appdata"));
    for (const char *dir : {"/tracing/Projects", "/tracing/logs", "/velmora/ThirdParty/Graphviz"})
        ASSERT_TRUE(QDir().mkpath(root + dir));
    VelmoraPaths paths(&strings);
    paths.check();
    EXPECT_FALSE(paths.isOk());
    const QString user = root + "/blocker/appdata/Corvane/Velmora";
    const QString missing = "\" does not exist. Correct program execution might be erroneous.";
    EXPECT_EQ(takeLog(), LogLines({
                             {8, "\"" + user + "\" could not be created."},
                             {8, "\"" + user + missing},
                             {8, "\"" + user + "/Layouts\" could not be created."},
                             {8, "\"" + user + "/Layouts" + missing},
                         }));
}

TEST_F(SettingsTest, FilesLieInTheDirectoriesOfTheirRegistration)
{
    VelmoraPaths paths(&strings);
    VelmoraFiles files(&strings, &paths);
    const std::pair<int, QString> rows[] = {
        {FI_Settings, settingsFile()},
        {FI_Log, root + "/appdata/Corvane/Velmora/tq_velmora.log"},
        {FI_TqtPatchClean, root + "/velmora/tqt_patchclean.exe"},
        {FI_DefaultLayout, root + "/appdata/Corvane/Velmora/Layouts/Default.ini"},
        {FI_Projects, root + "/tracing/projects.db"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(files.absoluteFilePath(row.first), row.second);
    EXPECT_TRUE(files.value(99).isNull());
    EXPECT_FALSE(QFileInfo::exists(root + "/appdata")) << "only the check creates folders";
    // A later change of the environment moves no file.
    env.set("TQ_VELMORA", at("/later"));
    EXPECT_EQ(files.absoluteFilePath(FI_TqtPatchClean), root + "/velmora/tqt_patchclean.exe");
}

TEST_F(SettingsTest, FirstSaveWritesPathsAndColorsOnly)
{
    std::unique_ptr<Settings> settings(TQ::SETTINGS::createSettings());
    EXPECT_EQ(Settings::instance(), settings.get());
    const LogLines log = takeLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), std::make_pair(4, QString("Restoring Settings...")));
    EXPECT_FALSE(QFile::exists(settingsFile()));

    settings->save();
    QSettings file(settingsFile(), QSettings::IniFormat);
    EXPECT_EQ(file.childGroups(), QStringList({"colors", "paths"}));
    file.beginGroup("paths");
    EXPECT_EQ(file.childKeys(), QStringList({"PI_3rdpGraphViz"}));
    EXPECT_EQ(file.value("PI_3rdpGraphViz").toString(), "%TQ_VELMORA%/ThirdParty/Graphviz/");
    file.endGroup();
    file.beginGroup("colors");
    EXPECT_EQ(file.childKeys().size(), 23);
    EXPECT_EQ(file.value("C_Company").toString(), "#009de0");
    EXPECT_EQ(file.value("C_Critical").toString(), "#e51739");
    file.endGroup();
    settings.reset();
    EXPECT_EQ(Settings::instance(), nullptr);
}

TEST_F(SettingsTest, RestoreTakesNonFixedEntriesOnly)
{
    writeFile(settingsFile(), "[strings]\nS_Version=9.9\nS_ProductName=Other\n"
                              "[files]\nFI_Settings=/elsewhere.ini\nFI_TqtPatchClean=/x.exe\n"
                              "[paths]\nPI_Tracing=/moved/\nPI_3rdpGraphViz=/opt/graphviz/\n"
                              "[colors]\nC_Company=#ff0000\nC_Error=no such color\n"
                              "C_Unknown=#010203\n");
    std::unique_ptr<Settings> settings(TQ::SETTINGS::createSettings());
    auto *strings = static_cast<VelmoraStrings *>(settings->strings());
    auto *paths = static_cast<VelmoraPaths *>(settings->paths());
    auto *colors = static_cast<VelmoraColors *>(settings->colors());
    EXPECT_EQ(strings->value(S_ProductName), "Velmora");
    EXPECT_EQ(settings->absoluteFilePath(FI_Settings), settingsFile());
    EXPECT_EQ(settings->absoluteFilePath(FI_TqtPatchClean), root + "/velmora/tqt_patchclean.exe");
    EXPECT_EQ(paths->value(PI_Tracing), "%TQ_TRACING%/");
    EXPECT_EQ(paths->absolutePath(PI_3rdpGraphViz), "/opt/graphviz/");
    EXPECT_EQ(colors->value(C_Company), QColor(255, 0, 0));
    EXPECT_FALSE(colors->value(C_Error).isValid());
    EXPECT_EQ(colors->value(C_Warning), QColor(240, 144, 0));
    EXPECT_FALSE(colors->value(99).isValid());

    // Saving writes back what was restored and keeps what no scheme knows.
    settings->save();
    QSettings file(settingsFile(), QSettings::IniFormat);
    EXPECT_EQ(file.value("colors/C_Unknown").toString(), "#010203");
    EXPECT_EQ(file.value("colors/C_Company").toString(), "#ff0000");
    EXPECT_EQ(file.value("paths/PI_3rdpGraphViz").toString(), "/opt/graphviz/");
    EXPECT_EQ(file.value("strings/S_Version").toString(), "9.9");
}

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

TEST_F(SettingsTest, RestoreWithoutFileAndSaveThatCannotWrite)
{
    writeFile(root + "/blocker", "a file where a folder should be");
    env.set("APPDATA", at("/blocker/appdata"));
    Schemes s;
    s.settings.restore();
    EXPECT_EQ(takeLog(), LogLines({{4, "Restoring Settings..."}}));
    const QString path = root + "/blocker/appdata/Corvane/Velmora/tq_velmora.ini";
    s.settings.save();
    EXPECT_EQ(takeLog(), LogLines({{8, "Saving settings to \"" + path + "\" failed."}}));
}

TEST_F(SettingsTest, MissingSchemesAreReportedInOrder)
{
    Settings empty(nullptr, nullptr, nullptr, nullptr);
    empty.check();
    EXPECT_EQ(takeLog(), LogLines({{16, "Missing String Scheme"},
                                   {16, "Missing Path Scheme"},
                                   {16, "Missing File Scheme"},
                                   {16, "Missing Color Scheme"}}));
    empty.restore();
    empty.save();
    EXPECT_EQ(takeLog(), LogLines({{4, "Restoring Settings..."}}));
    EXPECT_TRUE(empty.absoluteFilePath(FI_Settings).isNull());

    // A missing file scheme is reported even when the path scheme is broken.
    env.set("TQ_TRACING", std::nullopt);
    auto *strings = new VelmoraStrings;
    Settings partial(strings, new VelmoraPaths(strings), nullptr, new VelmoraColors);
    partial.check();
    EXPECT_EQ(takeLog(), LogLines({{16, "TQ_TRACING is not registered as Environment variable. "
                                        "Cannot continue program execution."},
                                   {16, "Missing File Scheme"}}));
}

TEST_F(SettingsTest, FileCheckRunsOnlyOverHealthyPaths)
{
    for (const char *dir : {"/tracing/Projects", "/velmora/ThirdParty/Graphviz"})
        ASSERT_TRUE(QDir().mkpath(root + dir));
    {
        Schemes healthy;
        healthy.settings.check();
        EXPECT_EQ(healthy.files->checks, 1);
    }
    env.set("TQ_VELMORA", std::nullopt);
    Schemes broken;
    broken.settings.check();
    EXPECT_EQ(broken.files->checks, 0);
}

} // namespace
