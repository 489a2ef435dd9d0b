#pragma once

#include "AbstractScheme.h"

#include <QFileInfo>

namespace TQ::SETTINGS {

class AbstractPaths;
class AbstractStrings;

// Locations of product files, built from the directories of the path scheme when the table is
// registered.
class AbstractFiles : public AbstractScheme<QString>
{
public:
    // Neither scheme is owned.
    AbstractFiles(const AbstractStrings *strings, const AbstractPaths *paths)
        : paths(paths), strings(strings)
    {
    }

    void check() override {}
    QString groupName() const override { return QStringLiteral("files"); }

    QFileInfo fileInfo(int id) const { return QFileInfo(value(id)); }
    QString absoluteFilePath(int id) const { return fileInfo(id).absoluteFilePath(); }

protected:
    QString emptyValue() const override { return QString(); }
    QString fromVariant(const QVariant &variant) const override { return variant.toString(); }
    QVariant toVariant(const QString &value) const override { return QVariant(value); }

    const AbstractPaths *paths;
    const AbstractStrings *strings;
};

} // namespace TQ::SETTINGS
