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
    if (const char *value = std::getenv(name))
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

QString registryStorePath(RegistryScope scope, const QString &organization,
                          const QString &application)
{
    const QString base = scope == RegistryScope::User ? userConfigFolder() : commonAppDataFolder();
    return base + QLatin1Char('/') + organization + QLatin1Char('/') + application +
           QStringLiteral(".conf");
}

std::unique_ptr<QSettings> openRegistryStore(RegistryScope scope, const QString &organization,
                                             const QString &application)
{
    return std::make_unique<QSettings>(registryStorePath(scope, organization, application),
                                       QSettings::NativeFormat);
}

void reportFileSizeLimitAsWriteError()
{
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace TQ::PLATFORM::ENV
