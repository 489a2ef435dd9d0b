// A scheme of colors, kept in the settings as text.
#pragma once

#include "AbstractScheme.h"

#include <QColor>

namespace TQ::SETTINGS {

// The color palette; stored as "#rrggbb" texts, alpha is not kept.
class AbstractColors : public AbstractScheme<QColor>
{
public:
    void check() override {}
    QString groupName() const override { return QStringLiteral("colors"); }

protected:
    QColor emptyValue() const override { return QColor(); }
    // A text that names no color gives an invalid color.
    QColor fromVariant(const QVariant &variant) const override
    {
        QColor color;
        color.setNamedColor(variant.toString());
        return color;
    }
    QVariant toVariant(const QColor &value) const override { return QVariant(value.name()); }
};

} // namespace TQ::SETTINGS
