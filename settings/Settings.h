// The product-wide settings: four schemes, restored from one INI file at start and saved at
// the end.
#pragma once

#include <QString>

namespace TQ::SETTINGS {

class AbstractStrings;
class AbstractPaths;
class AbstractFiles;
class AbstractColors;

class Settings
{
public:
    // Takes ownership of the schemes; any may be null.
    Settings(AbstractStrings *strings, AbstractPaths *paths, AbstractFiles *files,
             AbstractColors *colors);
    Settings(const Settings &) = delete;
    Settings &operator=(const Settings &) = delete;
    virtual ~Settings();

    static Settings *instance();
    static void setInstance(Settings *settings);

    void restore();
    void check();
    void save();
    // The absolute path of a file key, or a null string without a file scheme.
    QString absoluteFilePath(int fileId) const;

    AbstractStrings *strings() const { return stringScheme; }
    AbstractPaths *paths() const { return pathScheme; }
    AbstractFiles *files() const { return fileScheme; }
    AbstractColors *colors() const { return colorScheme; }

private:
    AbstractStrings *stringScheme;
    AbstractPaths *pathScheme;
    AbstractFiles *fileScheme;
    AbstractColors *colorScheme;
};

// Builds the product's schemes, makes them the process-wide settings, restores and checks them.
// Problems go to the global log; nothing is thrown.
Settings *createSettings();

} // namespace TQ::SETTINGS
