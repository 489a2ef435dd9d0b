// tqt_patchdb.exe: lists a project patch database, checks an image against it and gives back
// the image the linker wrote.
#pragma once

#include <QStringList>

namespace TQ::EXTRACTORS::CPP::COMMON {

class PatchDbTool
{
public:
    enum ExitCode {
        Success = 0,
        Mismatch = 1, // verify found sites that differ; restore refused
        Trouble = 2,  // usage text or an input that cannot be used
    };

    // Runs the command named by args (the program path first); everything goes to standard
    // output.
    static int run(const QStringList &args);

    static int list(const QString &dbPath);
    static int verify(const QString &imagePath, const QString &dbPath);
    static int restore(const QString &imagePath, const QString &dbPath);
};

} // namespace TQ::EXTRACTORS::CPP::COMMON
