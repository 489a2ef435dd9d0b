#include "AbstractPaths.h"

#include "AbstractStrings.h"
#include "GlobalLog.h"
#include "PlatformEnv.h"
#include "processrunner.h"

#include <QRegExp>

#include <algorithm>
#include <memory>
#include <vector>

namespace TQ::SETTINGS {

using TQ::PLATFORM::ENV::RegistryScope;
using TQ::SHARED::UTILS::GlobalLog;

namespace {

// The organization of the product's registry key.
const char RegistryOrganization[] = "Corvane";

QString registryKeyNotFound(const QString &name)
{
    return QStringLiteral("The following registry key was not found: %1").arg(name);
}

std::unique_ptr<QSettings> openProductStore(RegistryScope scope, const QString &product)
{
    return TQ::PLATFORM::ENV::openRegistryStore(scope, QLatin1String(RegistryOrganization),
                                                product);
}

} // namespace

QString normalizeDirPath(const QString &text)
{
    QString result = text;
    result.replace(QLatin1Char('\\'), QLatin1Char('/'));
    // One left-to-right pass: a run of three slashes keeps two.
    result.replace(QLatin1String("//"), QLatin1String("/"));
    if (!result.endsWith(QLatin1Char('/')))
        result.append(QLatin1Char('/'));
    return result;
}

QString AbstractPaths::productName() const
{
    // Id 0 of the string scheme holds the product name.
    return strings != nullptr ? strings->value(0) : QString();
}

QString AbstractPaths::resolve(const QString &text) const
{
    using TQ::SHARED::UTILS::PROCESSRUNNER::expandEnvironmentVariables;
    using TQ::SHARED::UTILS::PROCESSRUNNER::MaxEnvironmentExpansions;
    using TQ::SHARED::UTILS::PROCESSRUNNER::MaxExpandedLength;

    QString result = expandEnvironmentVariables(text, true);
    const QRegExp placeholder(QStringLiteral("(__){1}[A-Z,a-z,0-9]+(__){1}"), Qt::CaseSensitive,
                              QRegExp::RegExp);
    std::unique_ptr<QSettings> userStore;
    std::unique_ptr<QSettings> machineStore;
    int replacements = 0;
    int position = placeholder.indexIn(result, 0);
    while (position >= 0) {
        const QString match = placeholder.cap(0);
        const QString name = match.mid(2, match.length() - 4);
        if (!userStore) {
            userStore = openProductStore(RegistryScope::User, productName());
            machineStore = openProductStore(RegistryScope::Machine, productName());
        }
        QVariant value;
        if (userStore->contains(name)) {
            value = userStore->value(name);
        } else if (machineStore->contains(name)) {
            value = machineStore->value(name);
        } else {
            GlobalLog::instance()->error(registryKeyNotFound(name));
            return QString();
        }
        const QString valueText = value.toString();
        if (!valueText.isEmpty()) {
            // Values are searched again; a value holding its own placeholder must still end.
            if (replacements >= MaxEnvironmentExpansions ||
                result.length() - match.length() + valueText.length() > MaxExpandedLength)
                break;
            result.replace(position, match.length(), valueText);
            ++replacements;
        }
        position = placeholder.indexIn(result, position + 1);
    }
    if (result.isEmpty())
        return QString();
    return normalizeDirPath(result);
}

QDir AbstractPaths::directory(int id) const
{
    return QDir(resolve(value(id)));
}

QString AbstractPaths::absolutePath(int id) const
{
    return directory(id).absolutePath() + QLatin1Char('/');
}

bool AbstractPaths::registryContains(const QString &name) const
{
    return openProductStore(RegistryScope::User, productName())->contains(name) ||
           openProductStore(RegistryScope::Machine, productName())->contains(name);
}

void AbstractPaths::check()
{
    checkEnvironment();
    checkRegistry();
    if (ok)
        checkDirectories();
}

void AbstractPaths::checkEnvironment()
{
    const QSet<QString> names = requiredEnvironmentVariables();
    for (const QString &name : names) {
        if (TQ::PLATFORM::ENV::environmentValue(name.toLocal8Bit().constData()))
            continue;
        ok = false;
        GlobalLog::instance()->error(
            name +
            QStringLiteral(" is not registered as Environment variable. Cannot continue program "
                           "execution."));
    }
}

void AbstractPaths::checkRegistry()
{
    const QSet<QString> names = requiredRegistryKeys();
    for (const QString &name : names) {
        if (registryContains(name))
            continue;
        ok = false;
        GlobalLog::instance()->error(registryKeyNotFound(name));
    }
}

void AbstractPaths::checkDirectories()
{
    std::vector<std::unique_ptr<DirCheck>> checks;
    const QSet<DirCheck *> records = directoriesToCheck();
    for (DirCheck *record : records)
        checks.emplace_back(record);
    // Parents come before their children in the product's table when taken by id, and the
    // messages do not depend on the hash order of the set.
    std::sort(checks.begin(), checks.end(),
              [](const auto &a, const auto &b) { return a->pathId < b->pathId; });

    GlobalLog *log = GlobalLog::instance();
    for (const auto &record : checks) {
        const QDir dir = directory(record->pathId);
        const QString path = dir.absolutePath();
        if (!dir.exists() && (record->flags & DirCheck::CreateIfMissing)) {
            QDir().mkpath(path);
            if (QDir(path).exists()) {
                log->info(QStringLiteral("\"%1\" was created.").arg(path));
            } else {
                ok = false;
                log->warning(QStringLiteral("\"%1\" could not be created.").arg(path));
            }
        }
        if (!QDir(path).exists() && (record->flags & DirCheck::MustExist)) {
            ok = false;
            log->warning(QStringLiteral("\"%1\" does not exist. Correct program execution might be "
                                        "erroneous.")
                             .arg(path));
        }
    }
}

} // namespace TQ::SETTINGS
