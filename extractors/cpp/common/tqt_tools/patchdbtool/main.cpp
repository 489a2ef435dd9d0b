// tqt_patchdb.exe's entry point.
#include "PatchDbTool.h"

#include <Interruption.h>

#include <QCoreApplication>

#include <exception>
#include <iostream>

int main(int argc, char *argv[])
{
    TQ::PLATFORM::FILEMAP::installInterruptHandlers("The run was interrupted.");
    try {
        QCoreApplication application(argc, argv);
        return TQ::EXTRACTORS::CPP::COMMON::PatchDbTool::run(QCoreApplication::arguments());
    } catch (const std::exception &e) {
        std::cout << e.what() << std::endl;
        return TQ::EXTRACTORS::CPP::COMMON::PatchDbTool::Trouble;
    }
}
