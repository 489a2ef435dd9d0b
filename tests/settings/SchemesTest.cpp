#include "SettingsTestSupport.h"

#include "Settings.h"
#include "VelmoraColors.h"
#include "VelmoraFiles.h"
#include "VelmoraPaths.h"
#include "VelmoraStrings.h"

#include <QSettings>

using namespace TQ::VELMORA;
using SettingsTest::LogLines;
using TQ::SETTINGS::AbstractStrings;
using TQ::SETTINGS::Settings;

namespace {

class SchemesTest : public SettingsTest::TempHomeTest
{
};

TEST_F(SchemesTest, StringsAreComposedProductConstants)
{
    VelmoraStrings strings;
    EXPECT_EQ(strings.value(S_ProductName), "Velmora");
    EXPECT_EQ(strings.value(S_Version), "1.3.9461");
    EXPECT_EQ(strings.value(S_About),
              "Velmora is a C/C++ debugging and runtime understanding tool.");
    EXPECT_TRUE(strings.value(42).isNull());
    for (int id = S_ProductName; id <= S_Version; ++id)
        EXPECT_TRUE(strings.isFixed(id)) << id;
    EXPECT_EQ(strings.groupName(), "strings");
}

// A table that registers one name twice.
class DuplicateStrings : public AbstractStrings
{
public:
    DuplicateStrings() { initialize(); }
    bool first = false;
    bool second = false;

protected:
    void defineKeys() override
    {
        first = addKey("PI_Tracing", 3, "first", true);
        second = addKey("PI_Tracing", 99, "second", false);
    }
};

TEST_F(SchemesTest, SecondRegistrationOfANameChangesNothing)
{
    DuplicateStrings strings;
    EXPECT_TRUE(strings.first);
    EXPECT_FALSE(strings.second);
    EXPECT_EQ(strings.idOf("PI_Tracing"), 3);
    EXPECT_EQ(strings.value(3), "first");
    EXPECT_TRUE(strings.value(99).isNull());
    EXPECT_TRUE(strings.isFixed(3));
}

TEST_F(SchemesTest, FilesLieInTheirDirectories)
{
    VelmoraStrings strings;
    VelmoraPaths paths(&strings);
    VelmoraFiles files(&strings, &paths);
    const QString settings = files.absoluteFilePath(FI_Settings);
    EXPECT_EQ(settings, settingsFile());
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(settings).absolutePath()));
    EXPECT_EQ(files.absoluteFilePath(FI_TqtPatchClean), root + "/velmora/tqt_patchclean.exe");
    EXPECT_EQ(files.absoluteFilePath(FI_DefaultLayout),
              root + "/appdata/Corvane/Velmora/Layouts/Default.ini");
    EXPECT_EQ(files.absoluteFilePath(FI_Projects), root + "/tracing/projects.db");
    EXPECT_EQ(files.absoluteFilePath(FI_TqVelmora), root + "/velmora/tq_velmora.exe");
    EXPECT_EQ(files.absoluteFilePath(FI_TqUpdate), root + "/velmora/tq_update.exe");
    EXPECT_EQ(files.keyNames().size(), 12);
    for (const QString &name : files.keyNames())
        EXPECT_TRUE(files.isFixed(files.idOf(name))) << name.toStdString();
    EXPECT_TRUE(files.value(11).isNull());
}

TEST_F(SchemesTest, FilesKeepThePathsOfTheirRegistration)
{
    unset("TQ_VELMORA");
    VelmoraStrings strings;
    VelmoraPaths paths(&strings);
    VelmoraFiles files(&strings, &paths);
    const QString expected = QDir::currentPath() + "/%TQ_VELMORA%/tqt_patchclean.exe";
    EXPECT_EQ(files.absoluteFilePath(FI_TqtPatchClean), expected);
    set("TQ_VELMORA", root + "/later");
    EXPECT_EQ(files.absoluteFilePath(FI_TqtPatchClean), expected);
}

TEST_F(SchemesTest, ColorsAreOpaqueDefaults)
{
    VelmoraColors colors;
    EXPECT_EQ(colors.value(C_Company), QColor(0, 157, 224));
    EXPECT_EQ(colors.value(C_Warning).name(), "#f09000");
    EXPECT_EQ(colors.value(C_ArtifactGroundPlane), QColor(242, 242, 242));
    EXPECT_EQ(colors.value(C_Company), colors.value(C_Highlight));
    EXPECT_EQ(colors.value(C_Information), colors.value(C_Contour));
    for (int id = C_Company; id <= C_ArtifactGroundPlane; ++id) {
        EXPECT_EQ(colors.value(id).alpha(), 255) << id;
        EXPECT_FALSE(colors.isFixed(id)) << id;
    }
    EXPECT_FALSE(colors.value(23).isValid());
}

// Counts the file scheme's checks.
class CountingFiles : public VelmoraFiles
{
public:
    using VelmoraFiles::VelmoraFiles;
    void check() override { ++(*checks); }
    int *checks = nullptr;
};

struct Schemes
{
    Schemes()
    {
        strings = new VelmoraStrings;
        paths = new VelmoraPaths(strings);
        files = new CountingFiles(strings, paths);
        files->checks = &fileChecks;
        colors = new VelmoraColors;
    }
    VelmoraStrings *strings;
    VelmoraPaths *paths;
    CountingFiles *files;
    VelmoraColors *colors;
    int fileChecks = 0;
};

class SettingsStoreTest : public SettingsTest::TempHomeTest
{
protected:
    void TearDown() override { Settings::setInstance(nullptr); }
};

TEST_F(SettingsStoreTest, FirstSaveWritesPathsAndColorsOnly)
{
    std::unique_ptr<Settings> settings(TQ::SETTINGS::createSettings());
    EXPECT_EQ(Settings::instance(), settings.get());
    const LogLines log = takeLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), std::make_pair(4, QString("Restoring Settings...")));
    EXPECT_FALSE(QFile::exists(settingsFile()));
    EXPECT_EQ(settings->absoluteFilePath(FI_TqtPatchClean), root + "/velmora/tqt_patchclean.exe");

    settings->save();
    ASSERT_TRUE(QFile::exists(settingsFile()));
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
    EXPECT_EQ(file.value("C_ArtifactHighlight").toString(), "#000080");
    file.endGroup();

    settings.reset();
    EXPECT_EQ(Settings::instance(), nullptr);
}

TEST_F(SettingsStoreTest, RestoreTakesNonFixedEntriesOnly)
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
    EXPECT_EQ(strings->value(S_Version), "1.3.9461");
    EXPECT_EQ(strings->value(S_ProductName), "Velmora");
    EXPECT_EQ(settings->absoluteFilePath(FI_Settings), settingsFile());
    EXPECT_EQ(settings->absoluteFilePath(FI_TqtPatchClean), root + "/velmora/tqt_patchclean.exe");
    EXPECT_EQ(paths->value(PI_Tracing), "%TQ_TRACING%/");
    EXPECT_EQ(paths->value(PI_3rdpGraphViz), "/opt/graphviz/");
    EXPECT_EQ(paths->absolutePath(PI_3rdpGraphViz), "/opt/graphviz/");
    EXPECT_EQ(colors->value(C_Company), QColor(255, 0, 0));
    EXPECT_FALSE(colors->value(C_Error).isValid());
    EXPECT_EQ(colors->value(C_Warning), QColor(240, 144, 0));

    // Saving keeps entries no scheme knows and writes back what was restored.
    settings->save();
    QSettings file(settingsFile(), QSettings::IniFormat);
    EXPECT_EQ(file.value("colors/C_Unknown").toString(), "#010203");
    EXPECT_EQ(file.value("colors/C_Company").toString(), "#ff0000");
    EXPECT_EQ(file.value("paths/PI_3rdpGraphViz").toString(), "/opt/graphviz/");
    EXPECT_EQ(file.value("strings/S_Version").toString(), "9.9");
}

TEST_F(SettingsStoreTest, SaveThatCannotWriteIsAWarning)
{
    writeFile(root + "/blocker", "a file where a folder should be");
    set("APPDATA", root + "/blocker/appdata");
    Schemes s;
    Settings settings(s.strings, s.paths, s.files, s.colors);
    const QString path = settings.absoluteFilePath(FI_Settings);
    EXPECT_EQ(path, root + "/blocker/appdata/Corvane/Velmora/tq_velmora.ini");
    settings.save();
    EXPECT_EQ(takeLog(), LogLines({{8, "Saving settings to \"" + path + "\" failed."}}));
    EXPECT_FALSE(QFile::exists(path));
}

TEST_F(SettingsStoreTest, RestoreWithoutFileLogsOnlyItsStart)
{
    Schemes s;
    Settings settings(s.strings, s.paths, s.files, s.colors);
    settings.restore();
    EXPECT_EQ(takeLog(), LogLines({{4, "Restoring Settings..."}}));
    EXPECT_EQ(s.colors->value(C_Company), QColor(0, 157, 224));
}

TEST_F(SettingsStoreTest, MissingSchemesAreReportedInOrder)
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
    unset("TQ_TRACING");
    auto *strings = new VelmoraStrings;
    Settings partial(strings, new VelmoraPaths(strings), nullptr, new VelmoraColors);
    partial.check();
    EXPECT_EQ(takeLog(), LogLines({{16, "TQ_TRACING is not registered as Environment variable. "
                                        "Cannot continue program execution."},
                                   {16, "Missing File Scheme"}}));
}

TEST_F(SettingsStoreTest, FileCheckRunsOnlyOverHealthyPaths)
{
    for (const char *dir : {"/tracing/Projects", "/velmora/ThirdParty/Graphviz"})
        ASSERT_TRUE(QDir().mkpath(root + dir));
    {
        Schemes s;
        Settings settings(s.strings, s.paths, s.files, s.colors);
        settings.check();
        EXPECT_TRUE(s.paths->isOk());
        EXPECT_EQ(s.fileChecks, 1);
    }
    unset("TQ_VELMORA");
    Schemes s;
    Settings settings(s.strings, s.paths, s.files, s.colors);
    settings.check();
    EXPECT_FALSE(s.paths->isOk());
    EXPECT_EQ(s.fileChecks, 0);
}

} // namespace
