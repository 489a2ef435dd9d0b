// The product's colors by id: key prefix "C_".
#pragma once

#include "AbstractColors.h"

namespace TQ::VELMORA {

enum ColorId {
    C_Company = 0,
    C_LightCompany = 1,
    C_Message = 2,
    C_Warning = 3,
    C_Error = 4,
    C_Information = 5,
    C_Inactive = 6,
    C_HighlightInactive = 7,
    C_Highlight = 8,
    C_Critical = 9,
    C_ContourDark = 10,
    C_Contour = 11,
    C_ContourLight = 12,
    C_ArtifactEdgeCaller = 13,
    C_ArtifactEdgeCallee = 14,
    C_ArtifactCaller = 15,
    C_ArtifactCallee = 16,
    C_ArtifactFunction = 17,
    C_ArtifactFile = 18,
    C_ArtifactDirectory = 19,
    C_ArtifactHighlight = 20,
    C_ArtifactMouseOver = 21,
    C_ArtifactGroundPlane = 22,
};

class VelmoraColors : public TQ::SETTINGS::AbstractColors
{
public:
    VelmoraColors() { initialize(); }

protected:
    void defineKeys() override;
};

} // namespace TQ::VELMORA
