// The product's fixed texts by id (name, version, ...): key prefix "S_".
#pragma once

#include "AbstractStrings.h"

namespace TQ::VELMORA {

enum StringId {
    S_ProductName = 0,
    S_About = 1,
    S_VersionMajor = 2,
    S_VersionMinor = 3,
    S_VersionBuild = 4,
    S_Version = 5,
};

// The product's display name: also its registry application name and its folder name.
inline constexpr char ProductName[] = "Velmora";

class VelmoraStrings : public TQ::SETTINGS::AbstractStrings
{
public:
    VelmoraStrings() { initialize(); }

protected:
    void defineKeys() override;
};

} // namespace TQ::VELMORA
