// A typed table of named settings: registered keys with defaults, current values, and the
// storage of the non-fixed ones in one group of the settings file.
#pragma once

#include <QHash>
#include <QMap>
#include <QSet>
#include <QSettings>
#include <QString>
#include <QVariant>

namespace TQ::SETTINGS {

template <typename T> class AbstractScheme
{
public:
    AbstractScheme() = default;
    AbstractScheme(const AbstractScheme &) = delete;
    AbstractScheme &operator=(const AbstractScheme &) = delete;
    virtual ~AbstractScheme() = default;

    virtual void check() = 0;
    virtual QString groupName() const = 0;

protected:
    virtual void defineKeys() = 0;
    virtual T emptyValue() const = 0;
    virtual T fromVariant(const QVariant &variant) const = 0;
    virtual QVariant toVariant(const T &value) const = 0;

public:
    // Copies the registered defaults into the values. Each concrete constructor calls it last,
    // when defineKeys reaches the concrete table.
    void initialize()
    {
        defineKeys();
        for (auto it = idsByName.cbegin(); it != idsByName.cend(); ++it) {
            const auto found = defaults.constFind(it.value());
            if (found != defaults.cend())
                values.insert(it.value(), found.value());
        }
    }

    T value(int id) const
    {
        const auto current = values.constFind(id);
        if (current != values.cend())
            return current.value();
        const auto fallback = defaults.constFind(id);
        if (fallback != defaults.cend())
            return fallback.value();
        return emptyValue();
    }

    bool save(QSettings &settings) const
    {
        if (!settings.isWritable())
            return false;
        settings.beginGroup(groupName());
        for (auto it = idsByName.cbegin(); it != idsByName.cend(); ++it) {
            if (fixedIds.contains(it.value()))
                continue;
            settings.setValue(it.key(), toVariant(value(it.value())));
        }
        settings.endGroup();
        settings.sync();
        return true;
    }

    // A file that cannot be read leaves the values as they are.
    bool restore(QSettings &settings)
    {
        settings.beginGroup(groupName());
        for (auto it = idsByName.cbegin(); it != idsByName.cend(); ++it) {
            const int id = it.value();
            if (fixedIds.contains(id) || !settings.contains(it.key()))
                continue;
            values.insert(id, fromVariant(settings.value(it.key(), QVariant())));
        }
        settings.endGroup();
        return true;
    }

    // Cleared by a check that found a problem; nothing sets it back.
    bool isOk() const { return ok; }

protected:
    // The first registration of a name wins; a second one returns false and changes nothing.
    bool addKey(const QString &name, int id, const T &defaultValue, bool fixed)
    {
        if (idsByName.contains(name))
            return false;
        idsByName.insert(name, id);
        defaults.insert(id, defaultValue);
        if (fixed)
            fixedIds.insert(id);
        return true;
    }

    bool ok = true;
    QHash<QString, int> idsByName;
    QHash<int, T> defaults;
    QSet<int> fixedIds;
    QMap<int, T> values;
};

} // namespace TQ::SETTINGS
