// LLVM's readers report failure as llvm::Error values that must be consumed; here a failure only
// means the structure is not there, so these turn them into a yes or no.
#pragma once

#include <llvm/Support/Error.h>

namespace TQ::PLATFORM::PDB {

template <typename T> bool consumed(llvm::Expected<T> &value)
{
    if (value)
        return false;
    llvm::consumeError(value.takeError());
    return true;
}

inline bool failed(llvm::Error error)
{
    if (!error)
        return false;
    llvm::consumeError(std::move(error));
    return true;
}

} // namespace TQ::PLATFORM::PDB
