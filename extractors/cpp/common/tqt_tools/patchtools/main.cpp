// The patch-clean tool's entry point.
#include "BinaryPatchCleaner.h"
#include "PlatformEnv.h"

#include <Interruption.h>

#include <QCoreApplication>

#include <exception>
#include <iostream>
#include <string>

using TQ::EXTRACTORS::CPP::COMMON::BinaryPatchCleaner;

int main(int argc, char *argv[])
{
    TQ::PLATFORM::ENV::reportFileSizeLimitAsWriteError();
    // Where a run must put back what it wrote, it defers these signals until it has.
    TQ::PLATFORM::FILEMAP::installInterruptHandlers("The run was interrupted.");
    // Without this guard a failure to build the application or the settings would end the
    // process without a word.
    try {
        QCoreApplication application(argc, argv);
        BinaryPatchCleaner cleaner;
        int exitCode = 1;
        try {
            if (cleaner.run())
                exitCode = 0;
        } catch (const std::exception &e) {
            BinaryPatchCleaner::showMessage(std::string(e.what()));
        }
        return exitCode;
    } catch (const std::exception &e) {
        std::cout << e.what() << std::endl;
        return 1;
    }
}
