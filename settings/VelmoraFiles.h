// The product's files by id, each in one of its folders: key prefix "FI_".
#pragma once

#include "AbstractFiles.h"

namespace TQ::VELMORA {

enum FileId {
    FI_Log = 1,
    FI_Manual = 2,
    FI_Eula = 3,
    FI_3rdp = 4,
    FI_Settings = 5,
    FI_DefaultLayout = 6,
    FI_Projects = 7,
    FI_TqtRecorder = 8,
    FI_TqtPatchClean = 9,
    FI_TqtMetaCreator = 10,
    FI_TqUpdate = 13,
    FI_TqVelmora = 14,
};

class VelmoraFiles : public TQ::SETTINGS::AbstractFiles
{
public:
    // The path scheme must be complete: the defaults are worked out from it here.
    VelmoraFiles(const TQ::SETTINGS::AbstractStrings *strings,
                 const TQ::SETTINGS::AbstractPaths *paths)
        : AbstractFiles(strings, paths)
    {
        initialize();
    }

protected:
    void defineKeys() override;
};

} // namespace TQ::VELMORA
