// A scheme of texts.
#pragma once

#include "AbstractScheme.h"

namespace TQ::SETTINGS {

// Product strings: constants of the product, never stored in the settings file.
class AbstractStrings : public AbstractScheme<QString>
{
public:
    void check() override {}
    QString groupName() const override { return QStringLiteral("strings"); }

protected:
    QString emptyValue() const override { return QString(); }
    QString fromVariant(const QVariant &variant) const override { return variant.toString(); }
    QVariant toVariant(const QString &value) const override { return QVariant(value); }
};

} // namespace TQ::SETTINGS
