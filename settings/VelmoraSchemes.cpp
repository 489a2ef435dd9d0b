#include "VelmoraColors.h"
#include "VelmoraFiles.h"
#include "VelmoraPaths.h"
#include "VelmoraStrings.h"

#include "PlatformEnv.h"

namespace TQ::VELMORA {

using TQ::SETTINGS::DirCheck;

void VelmoraStrings::defineKeys()
{
    addKey(QStringLiteral("S_VersionMajor"), S_VersionMajor, QStringLiteral("1"), true);
    addKey(QStringLiteral("S_VersionMinor"), S_VersionMinor, QStringLiteral("3"), true);
    addKey(QStringLiteral("S_VersionBuild"), S_VersionBuild, QStringLiteral("9461"), true);
    addKey(QStringLiteral("S_Version"), S_Version,
           value(S_VersionMajor) + QLatin1Char('.') + value(S_VersionMinor) + QLatin1Char('.') +
               value(S_VersionBuild),
           true);
    addKey(QStringLiteral("S_ProductName"), S_ProductName, QLatin1String(ProductName), true);
    addKey(QStringLiteral("S_About"), S_About,
           value(S_ProductName) +
               QStringLiteral(" is a C/C++ debugging and runtime understanding tool."),
           true);
}

void VelmoraPaths::defineKeys()
{
    const QString product = productName();
    const QString company = QLatin1String(CompanyName);
    const QString publicFolder = TQ::PLATFORM::ENV::commonAppDataFolder();
    const QString userFolder = QStringLiteral("%APPDATA%/") + company + QLatin1Char('/') + product;
    const QString empty = QLatin1String("");

    addKey(QStringLiteral("PI_Tracing"), PI_Tracing, QStringLiteral("%TQ_TRACING%/"), true);
    addKey(QStringLiteral("PI_Product"), PI_Product, QStringLiteral("%TQ_VELMORA%/"), true);
    addKey(QStringLiteral("PI_Projects"), PI_Projects, QStringLiteral("%TQ_TRACING%/Projects/"),
           true);
    addKey(QStringLiteral("PI_Public"), PI_Public,
           publicFolder + QLatin1Char('/') + company + QLatin1Char('/') + product +
               QLatin1Char('/'),
           true);
    addKey(QStringLiteral("PI_User"), PI_User, userFolder + QLatin1Char('/'), true);
    addKey(QStringLiteral("PI_Layouts"), PI_Layouts, userFolder + QStringLiteral("/Layouts/"),
           true);
    addKey(QStringLiteral("PI_Logs"), PI_Logs, QStringLiteral("%TQ_TRACING%\\logs/"), true);
    addKey(QStringLiteral("PI_3rdp"), PI_3rdp, QStringLiteral("%TQ_VELMORA%/ThirdParty/"), true);
    addKey(QStringLiteral("PI_3rdpGraphViz"), PI_3rdpGraphViz,
           QStringLiteral("%TQ_VELMORA%/ThirdParty/Graphviz/"), false);
    addKey(QStringLiteral("PI_3rdpSubversion"), PI_3rdpSubversion, empty, true);
    addKey(QStringLiteral("PI_3rdpDoxygen"), PI_3rdpDoxygen, empty, true);
    addKey(QStringLiteral("PI_3rdpTf"), PI_3rdpTf, empty, true);
}

QSet<DirCheck *> VelmoraPaths::directoriesToCheck() const
{
    return {
        new DirCheck(PI_Tracing, 0),
        new DirCheck(PI_Logs, DirCheck::CreateIfMissing),
        new DirCheck(PI_Product, DirCheck::CreateIfMissing),
        new DirCheck(PI_Projects, DirCheck::MustExist),
        new DirCheck(PI_User, DirCheck::CreateIfMissing | DirCheck::MustExist),
        new DirCheck(PI_Layouts, DirCheck::CreateIfMissing | DirCheck::MustExist),
        new DirCheck(PI_3rdpGraphViz, DirCheck::MustExist),
    };
}

QSet<QString> VelmoraPaths::requiredEnvironmentVariables() const
{
    return {QStringLiteral("APPDATA"), QStringLiteral("TQ_TRACING"), QStringLiteral("TQ_VELMORA")};
}

QSet<QString> VelmoraPaths::requiredRegistryKeys() const
{
    return {};
}

void VelmoraFiles::defineKeys()
{
    const auto add = [this](const char *name, int id, int dirId, const char *fileName) {
        addKey(QLatin1String(name), id, paths->absolutePath(dirId) + QLatin1String(fileName), true);
    };
    add("FI_Log", FI_Log, PI_User, "tq_velmora.log");
    add("FI_Manual", FI_Manual, PI_Product, "tq_velmora_manual.pdf");
    add("FI_Eula", FI_Eula, PI_Product, "EulaEn.rtf");
    add("FI_3rdp", FI_3rdp, PI_Product, "ThirdParty.rtf");
    add("FI_Settings", FI_Settings, PI_User, "tq_velmora.ini");
    add("FI_DefaultLayout", FI_DefaultLayout, PI_Layouts, "Default.ini");
    add("FI_Projects", FI_Projects, PI_Tracing, "projects.db");
    add("FI_TqtRecorder", FI_TqtRecorder, PI_Product, "tqt_recorder.exe");
    add("FI_TqtPatchClean", FI_TqtPatchClean, PI_Product, "tqt_patchclean.exe");
    add("FI_TqtMetaCreator", FI_TqtMetaCreator, PI_Product, "tqt_metacreator.exe");
    add("FI_TqVelmora", FI_TqVelmora, PI_Product, "tq_velmora.exe");
    add("FI_TqUpdate", FI_TqUpdate, PI_Product, "tq_update.exe");
}

void VelmoraColors::defineKeys()
{
    const auto add = [this](const char *name, int id, int red, int green, int blue) {
        QColor color;
        color.setRgb(red, green, blue);
        addKey(QLatin1String(name), id, color, false);
    };
    add("C_Company", C_Company, 0, 157, 224);
    add("C_LightCompany", C_LightCompany, 158, 209, 226);
    add("C_Message", C_Message, 0, 0, 0);
    add("C_Warning", C_Warning, 240, 144, 0);
    add("C_Error", C_Error, 192, 0, 0);
    add("C_Information", C_Information, 128, 128, 128);
    add("C_Inactive", C_Inactive, 220, 220, 220);
    add("C_HighlightInactive", C_HighlightInactive, 204, 204, 204);
    add("C_Highlight", C_Highlight, 0, 157, 224);
    add("C_Critical", C_Critical, 229, 23, 57);
    add("C_ContourDark", C_ContourDark, 64, 64, 64);
    add("C_Contour", C_Contour, 128, 128, 128);
    add("C_ContourLight", C_ContourLight, 192, 192, 192);
    add("C_ArtifactEdgeCaller", C_ArtifactEdgeCaller, 255, 0, 0);
    add("C_ArtifactEdgeCallee", C_ArtifactEdgeCallee, 0, 255, 0);
    add("C_ArtifactCaller", C_ArtifactCaller, 255, 0, 0);
    add("C_ArtifactCallee", C_ArtifactCallee, 0, 255, 0);
    add("C_ArtifactFunction", C_ArtifactFunction, 189, 201, 225);
    add("C_ArtifactFile", C_ArtifactFile, 43, 140, 190);
    add("C_ArtifactDirectory", C_ArtifactDirectory, 116, 169, 207);
    add("C_ArtifactHighlight", C_ArtifactHighlight, 0, 0, 128);
    add("C_ArtifactMouseOver", C_ArtifactMouseOver, 255, 255, 0);
    add("C_ArtifactGroundPlane", C_ArtifactGroundPlane, 242, 242, 242);
}

} // namespace TQ::VELMORA
