// Environment, application-data folders and the product's registry stores, as the product code
// expects them from the Windows run-time, answered from the XDG conventions of this platform.
#pragma once

#include <QByteArray>
#include <QSettings>
#include <QString>

#include <memory>
#include <optional>

namespace TQ::PLATFORM::ENV {

// The value of an environment variable, or nothing when it is not set (the answer of
// _dupenv_s). An empty value counts as not set: Windows has no empty variables ("set NAME="
// removes NAME). "APPDATA" is answered, when it is not set, with the user's configuration folder.
std::optional<QByteArray> environmentValue(const char *name);

// The user's configuration folder: $XDG_CONFIG_HOME, else $HOME/.config; empty when neither
// is set.
QString userConfigFolder();

// The machine-wide application-data folder: the first folder of $XDG_CONFIG_DIRS, else
// /etc/xdg.
QString commonAppDataFolder();

enum class RegistryScope { User, Machine };

// The registry key Software\<organization>\<application> of a scope, through Qt's native
// settings format with its fallbacks: a user store also answers from the organization-wide key
// and then from the machine's two keys, a machine store from the machine's organization-wide key.
// The user store lies in userConfigFolder(), the machine store in commonAppDataFolder(), both
// looked up at every call, so that a changed environment is followed.
std::unique_ptr<QSettings> openRegistryStore(RegistryScope scope, const QString &organization,
                                             const QString &application);

// Makes a write beyond the process's file-size limit fail as a write error, as it does on
// Windows, instead of ending the process with SIGXFSZ: the tool must live on to put back what
// it had written into the image.
void reportFileSizeLimitAsWriteError();

} // namespace TQ::PLATFORM::ENV
