#pragma once

#include "ProjectDb.h"

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

class DbFactory
{
public:
    // A new database object for the file at path, owned by the caller. Throws an exception
    // derived from std::exception, naming the file and the reason, when the file cannot be used.
    static ProjectDb *createProjectDb(QString path);
};

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
