#include "PlatformEnv.h"

#include <QDir>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace TQ::PLATFORM::ENV {

namespace {

// The XDG conventions treat an empty variable as an unset one.
QString xdgVariable(const char *name)
{
    const char *value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        return QString();
    return QString::fromLocal8Bit(value);
}

} // namespace

std::optional<QByteArray> environmentValue(const char *name)
{
    if (name == nullptr)
        return std::nullopt;
    const char *value = std::getenv(name);
    if (value != nullptr && *value != '\0')
        return QByteArray(value);
    if (std::strcmp(name, "APPDATA") == 0) {
        const QString folder = userConfigFolder();
        if (!folder.isEmpty())
            return folder.toLocal8Bit();
    }
    return std::nullopt;
}

QString userConfigFolder()
{
    const QString configHome = xdgVariable("XDG_CONFIG_HOME");
    if (!configHome.isEmpty())
        return configHome;
    const QString home = xdgVariable("HOME");
    if (home.isEmpty())
        return QString();
    return home + QStringLiteral("/.config");
}

QString commonAppDataFolder()
{
    const QString dirs = xdgVariable("XDG_CONFIG_DIRS");
    const QString first = dirs.section(QLatin1Char(':'), 0, 0);
    if (!first.isEmpty())
        return first;
    return QStringLiteral("/etc/xdg");
}

std::unique_ptr<QSettings> openRegistryStore(RegistryScope scope, const QString &organization,
                                             const QString &application)
{
    // Qt takes its folders for the native format once per process; set them anew so that they
    // follow the environment. Opening by scope, not by file, keeps Qt's fallbacks.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, userConfigFolder());
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, commonAppDataFolder());
    return std::make_unique<QSettings>(QSettings::NativeFormat,
                                       scope == RegistryScope::User ? QSettings::UserScope
                                                                    : QSettings::SystemScope,
                                       organization, application);
}

void reportFileSizeLimitAsWriteError()
{
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace TQ::PLATFORM::ENV
