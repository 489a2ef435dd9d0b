// The product's folders by id, from the environment, the registry or the user's profile: key
// prefix "PI_".
#pragma once

#include "AbstractPaths.h"

namespace TQ::VELMORA {

enum PathId {
    PI_Public = 0,
    PI_User = 1,
    PI_Product = 2,
    PI_Tracing = 3,
    PI_Logs = 4,
    PI_Projects = 5,
    PI_3rdp = 6,
    PI_3rdpGraphViz = 7,
    PI_3rdpSubversion = 8,
    PI_3rdpDoxygen = 9,
    PI_3rdpTf = 10,
    PI_Layouts = 11,
};

// The organization under which the product's registry key and folders lie.
inline constexpr char CompanyName[] = "Corvane";

class VelmoraPaths : public TQ::SETTINGS::AbstractPaths
{
public:
    explicit VelmoraPaths(const TQ::SETTINGS::AbstractStrings *strings) : AbstractPaths(strings)
    {
        initialize();
    }

    QSet<TQ::SETTINGS::DirCheck *> directoriesToCheck() const override;
    QSet<QString> requiredEnvironmentVariables() const override;
    QSet<QString> requiredRegistryKeys() const override;

protected:
    void defineKeys() override;
};

} // namespace TQ::VELMORA
