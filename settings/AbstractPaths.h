#pragma once

#include "AbstractScheme.h"

#include <QDir>

namespace TQ::SETTINGS {

class AbstractStrings;

struct DirCheck
{
    enum Flags { MustExist = 1, CreateIfMissing = 2 };

    DirCheck(int pathId, int flags) : pathId(pathId), flags(flags) {}

    int pathId;
    int flags;
};

// A directory path written with single forward slashes and a trailing slash.
QString normalizeDirPath(const QString &text);

// Product directories as templates with %NAME% environment tokens and __NAME__ placeholders for
// values under the product's registry key.
class AbstractPaths : public AbstractScheme<QString>
{
public:
    // The string scheme gives the product name; it is not owned.
    explicit AbstractPaths(const AbstractStrings *strings) : strings(strings) {}

    void check() override;
    QString groupName() const override { return QStringLiteral("paths"); }

protected:
    QString emptyValue() const override { return QString(); }
    QString fromVariant(const QVariant &variant) const override { return variant.toString(); }
    QVariant toVariant(const QString &value) const override { return QVariant(value); }

public:
    // Newly allocated records; the caller deletes them.
    virtual QSet<DirCheck *> directoriesToCheck() const = 0;
    virtual QSet<QString> requiredEnvironmentVariables() const = 0;
    virtual QSet<QString> requiredRegistryKeys() const = 0;

    // The directory a template stands for; null when a registry placeholder is not found.
    QString resolve(const QString &text) const;
    QDir directory(int id) const;
    // The absolute directory path of a key, ending in "/".
    QString absolutePath(int id) const;
    bool registryContains(const QString &name) const;

    void checkEnvironment();
    void checkRegistry();
    void checkDirectories();

protected:
    // The application name of the registry key and the folder name of the product.
    QString productName() const;

private:
    const AbstractStrings *strings;
};

} // namespace TQ::SETTINGS
