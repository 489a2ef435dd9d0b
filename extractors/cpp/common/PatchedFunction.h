// One entry of the project patch database: a cleaned function and the bytes that stood there.
#pragma once

#include <QHash>
#include <QString>

namespace TQ::EXTRACTORS::CPP::COMMON {

class PatchedFunction
{
public:
    PatchedFunction() = default;
    explicit PatchedFunction(quint32 address) : address(address) {}
    PatchedFunction(quint32 address, const QString &name, const QString &sourceFile,
                    quint64 oldBytes)
        : address(address), name(name), sourceFile(sourceFile), oldBytes(oldBytes)
    {
    }

    // Entries are identified by their address alone.
    bool operator==(const PatchedFunction &other) const { return address == other.address; }
    bool operator!=(const PatchedFunction &other) const { return address != other.address; }

    quint32 address = 0;
    QString name;
    QString sourceFile;
    quint64 oldBytes = 0; // bits 0-39, the byte at the address lowest
};

inline uint qHash(const PatchedFunction &f, uint seed = 0)
{
    return ::qHash(f.address, seed);
}

} // namespace TQ::EXTRACTORS::CPP::COMMON
