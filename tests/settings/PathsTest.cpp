#include "SettingsTestSupport.h"

#include "VelmoraPaths.h"
#include "VelmoraStrings.h"

using namespace TQ::VELMORA;
using SettingsTest::LogLines;
using TQ::SETTINGS::normalizeDirPath;

namespace {

class PathsTest : public SettingsTest::TempHomeTest
{
protected:
    VelmoraStrings strings;
};

TEST_F(PathsTest, LogsTemplateResolvesWithAndWithoutTrailingSeparator)
{
    VelmoraPaths paths(&strings);
    EXPECT_EQ(paths.value(PI_Logs), "%TQ_TRACING%\\logs/");
    set("TQ_TRACING", "/data/tracing");
    EXPECT_EQ(paths.resolve(paths.value(PI_Logs)), "/data/tracing/logs/");
    set("TQ_TRACING", "\\data\\tracing\\");
    EXPECT_EQ(paths.resolve(paths.value(PI_Logs)), "/data/tracing/logs/");
    set("TQ_TRACING", "/data/tracing/");
    EXPECT_EQ(paths.absolutePath(PI_Logs), "/data/tracing/logs/");
}

TEST_F(PathsTest, UnsetVariableLeavesAPathBelowTheWorkingDirectory)
{
    unset("TQ_TRACING");
    VelmoraPaths paths(&strings);
    EXPECT_EQ(paths.resolve(paths.value(PI_Projects)), "%TQ_TRACING%/Projects/");
    EXPECT_EQ(paths.absolutePath(PI_Projects), QDir::currentPath() + "/%TQ_TRACING%/Projects/");
    // A later token is not expanded either once the first one is unset.
    EXPECT_EQ(paths.resolve("%TQ_TRACING%/%TQ_VELMORA%"), "%TQ_TRACING%/%TQ_VELMORA%/");
}

TEST_F(PathsTest, EmptyTemplatesResolveToNull)
{
    VelmoraPaths paths(&strings);
    for (int id : {PI_3rdpSubversion, PI_3rdpDoxygen, PI_3rdpTf}) {
        SCOPED_TRACE(id);
        EXPECT_TRUE(paths.resolve(paths.value(id)).isNull());
        EXPECT_EQ(paths.absolutePath(id), QDir::currentPath() + "/");
    }
    EXPECT_TRUE(paths.value(99).isNull());
}

TEST_F(PathsTest, TableDefaultsAndFixedFlags)
{
    VelmoraPaths paths(&strings);
    EXPECT_EQ(paths.value(PI_Public), root + "/machine/Corvane/Velmora/");
    EXPECT_EQ(paths.value(PI_User), "%APPDATA%/Corvane/Velmora/");
    EXPECT_EQ(paths.value(PI_Layouts), "%APPDATA%/Corvane/Velmora/Layouts/");
    EXPECT_EQ(paths.value(PI_3rdpGraphViz), "%TQ_VELMORA%/ThirdParty/Graphviz/");
    EXPECT_EQ(paths.absolutePath(PI_User), root + "/appdata/Corvane/Velmora/");
    for (int id = 0; id <= 11; ++id)
        EXPECT_EQ(paths.isFixed(id), id != PI_3rdpGraphViz) << id;
    EXPECT_EQ(paths.keyNames().size(), 12);

    unset("XDG_CONFIG_DIRS");
    VelmoraPaths fallback(&strings);
    EXPECT_EQ(fallback.value(PI_Public), "/etc/xdg/Corvane/Velmora/");
}

TEST_F(PathsTest, NormalizeDirPath)
{
    EXPECT_EQ(normalizeDirPath("a\\b"), "a/b/");
    EXPECT_EQ(normalizeDirPath("a///b/"), "a//b/");
    EXPECT_EQ(normalizeDirPath("//server/share"), "/server/share/");
    EXPECT_EQ(normalizeDirPath("\\\\server\\share\\"), "/server/share/");
    EXPECT_EQ(normalizeDirPath("c:/x/"), "c:/x/");
    EXPECT_EQ(normalizeDirPath(""), "/");
}

class RegistryTest : public PathsTest
{
protected:
    QString userStore() const { return root + "/config/Corvane/Velmora.conf"; }
    QString machineStore() const { return root + "/machine/Corvane/Velmora.conf"; }
};

TEST_F(RegistryTest, PlaceholderFromUserStoreMachineStoreOrBoth)
{
    VelmoraPaths paths(&strings);
    writeFile(machineStore(), "[General]\nInstallDir=/machine/install\nOnlyMachine=/m\n");
    EXPECT_EQ(paths.resolve("__InstallDir__/bin"), "/machine/install/bin/");
    EXPECT_TRUE(paths.registryContains("InstallDir"));
    EXPECT_FALSE(paths.registryContains("Nowhere"));

    writeFile(userStore(), "[General]\nInstallDir=C:\\\\user\\\\install\n");
    EXPECT_EQ(paths.resolve("__InstallDir__/bin"), "C:/user/install/bin/");
    // Each placeholder is looked up on its own: the second one is found in the machine store.
    EXPECT_EQ(paths.resolve("__InstallDir__/__OnlyMachine__"), "C:/user/install/m/");
    EXPECT_TRUE(takeLog().empty());
}

TEST_F(RegistryTest, EmptyValueStaysAndMissingNameIsAnError)
{
    VelmoraPaths paths(&strings);
    writeFile(userStore(), "[General]\nEmpty=\nRoot=/r\n");
    EXPECT_EQ(paths.resolve("__Empty__/__Root__"), "__Empty__/r/");
    EXPECT_TRUE(takeLog().empty());

    EXPECT_TRUE(paths.resolve("__Root__/__Missing__/x").isNull());
    EXPECT_EQ(takeLog(), LogLines({{16, "The following registry key was not found: Missing"}}));
}

TEST_F(RegistryTest, SelfReferringValueEnds)
{
    VelmoraPaths paths(&strings);
    writeFile(userStore(), "[General]\nLoop=a__Loop__\n");
    const QString resolved = paths.resolve("__Loop__");
    EXPECT_TRUE(resolved.endsWith("__Loop__/")) << resolved.toStdString();
    EXPECT_GT(resolved.size(), 200);
}

// The product's table with a registry key it cannot do without.
class PathsNeedingRegistry : public VelmoraPaths
{
public:
    using VelmoraPaths::VelmoraPaths;
    QSet<QString> requiredRegistryKeys() const override { return {"InstallDir"}; }
};

TEST_F(RegistryTest, MissingRequiredKeyClearsOkAndSkipsDirectories)
{
    PathsNeedingRegistry paths(&strings);
    paths.check();
    EXPECT_FALSE(paths.isOk());
    EXPECT_EQ(takeLog(), LogLines({{16, "The following registry key was not found: InstallDir"}}));
    EXPECT_FALSE(QDir(root + "/velmora").exists());

    writeFile(machineStore(), "[General]\nInstallDir=/x\n");
    PathsNeedingRegistry found(&strings);
    found.checkRegistry();
    EXPECT_TRUE(found.isOk());
}

class CheckTest : public PathsTest
{
};

TEST_F(CheckTest, CreatesWhatItMayAndReportsWhatIsMissing)
{
    VelmoraPaths paths(&strings);
    paths.check();
    const QString user = root + "/appdata/Corvane/Velmora";
    EXPECT_EQ(takeLog(),
              LogLines({
                  {4, "\"" + user + "\" was created."},
                  {4, "\"" + root + "/velmora\" was created."},
                  {4, "\"" + root + "/tracing/logs\" was created."},
                  {8, "\"" + root +
                          "/tracing/Projects\" does not exist. Correct program execution might "
                          "be erroneous."},
                  {8, "\"" + root +
                          "/velmora/ThirdParty/Graphviz\" does not exist. Correct program "
                          "execution might be erroneous."},
                  {4, "\"" + user + "/Layouts\" was created."},
              }));
    EXPECT_FALSE(paths.isOk());
    for (const QString &dir : {user, user + "/Layouts", root + "/velmora", root + "/tracing/logs"})
        EXPECT_TRUE(QDir(dir).exists()) << dir.toStdString();
    EXPECT_FALSE(QDir(root + "/tracing/Projects").exists());
}

TEST_F(CheckTest, NothingToReportWhenEverythingExists)
{
    for (const char *dir : {"/tracing/Projects", "/tracing/logs", "/velmora/ThirdParty/Graphviz",
                            "/appdata/Corvane/Velmora/Layouts"})
        ASSERT_TRUE(QDir().mkpath(root + dir));
    VelmoraPaths paths(&strings);
    paths.check();
    EXPECT_TRUE(paths.isOk());
    EXPECT_TRUE(takeLog().empty());
}

TEST_F(CheckTest, MissingVariableIsAnErrorAndSkipsTheDirectories)
{
    unset("TQ_VELMORA");
    VelmoraPaths paths(&strings);
    paths.check();
    EXPECT_FALSE(paths.isOk());
    EXPECT_EQ(takeLog(), LogLines({{16, "TQ_VELMORA is not registered as Environment variable. "
                                        "Cannot continue program execution."}}));
    EXPECT_FALSE(QDir(root + "/tracing/logs").exists());
    EXPECT_FALSE(QDir(root + "/appdata").exists());
}

TEST_F(CheckTest, DirectoryThatCannotBeCreated)
{
    writeFile(root + "/blocker", "a file where a folder should be");
    set("APPDATA", root + "/blocker/appdata");
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

} // namespace
