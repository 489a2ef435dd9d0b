// Gathers a child process's standard output; its error output is dropped.
#pragma once

#include "BinaryPatchCleaner.h"
#include "processrunner.h"

#include <QByteArray>

namespace TQ::EXTRACTORS::CPP::COMMON {

class BinaryPatchCleaner::OutputReceiver : public TQ::SHARED::UTILS::IExtProcCaller
{
public:
    QByteArray handleStdErr(const QByteArray &data, qint64 pid) override;
    QByteArray handleStdOut(const QByteArray &data, qint64 pid) override;

    QByteArray output;
};

} // namespace TQ::EXTRACTORS::CPP::COMMON
