// Process-wide holder of the class factory of the debug-information data source.
#pragma once

#include "DiaInterfaces.h"

namespace TQ::EXTRACTORS::CPP::DIA {

class DiaFactoryWrapper
{
public:
    // Runs once during static initialisation; throws DIA::Exception when COM or the data
    // source class cannot be reached, which ends the process before main.
    class Initializer
    {
    public:
        Initializer();
        ~Initializer();
        Initializer(const Initializer &) = delete;
        Initializer &operator=(const Initializer &) = delete;

        IClassFactory *factory;
    };

    static IClassFactory *classFactory();

private:
    static Initializer s_initializer;
};

} // namespace TQ::EXTRACTORS::CPP::DIA
