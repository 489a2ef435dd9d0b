// The one implementation of IExeRewriter; reached through createExeRewriter.
#pragma once

#include "PatchJournal.h"
#include "exerewriter.h"

#include <QMutex>
#include <QWaitCondition>

#include <PatchFileMap.h>

namespace TQ::EXTRACTORS::CPP::COMMON {

class ExeRewriter : public IExeRewriter
{
public:
    explicit ExeRewriter(const QString &path);
    ~ExeRewriter() override;

    ExeRewriter(const ExeRewriter &) = delete;
    ExeRewriter &operator=(const ExeRewriter &) = delete;

    void writeBytes(quint32 rva, quint64 bytes) override;
    PatchResult patchHookCall(quint32 rva, quint64 &oldBytes, quint64 newBytes,
                              quint32 hookRva) override;
    void open() override;
    void close() override;

    void beginJournaledWrites(const JournalBinding &binding) override;
    void applyJournaledWrites() override;
    bool revertJournaledWrites() override;
    void endJournaledWrites() override;
    bool readBytes(quint32 rva, quint64 &bytes) override;
    void setCommitCheck(const PatchJournal::CommitCheck &check) override;
    PLATFORM::PE::BuildId buildId() const override;

private:
    enum class Journaling { Off, Staging, Applying, Applied };

    uchar *placeIn(const PLATFORM::PE::Section &section, quint32 rva, quint32 length) const;
    uchar *placeOf(quint32 rva) const;
    void stageCheckSum();
    void store(uchar *p, quint64 oldBytes, quint64 newBytes);
    [[noreturn]] void failOpen(int line);
    void waitBeforeRetry();
    void recoverInterruptedRun();
    void checkStillTheFileOpened() const;
    void stopJournaling();

    const QString path;
    PLATFORM::FILEMAP::Handle file = PLATFORM::FILEMAP::invalidHandleValue();
    PLATFORM::FILEMAP::Handle mapping = nullptr;
    uchar *view = nullptr;
    PLATFORM::PE::PeHeaders headers; // over the view while open

    quint64 viewSize = 0;
    quint64 fingerprint = 0;
    PatchJournal::CommitCheck commitCheck;

    Journaling journaling = Journaling::Off;
    uchar *copy = nullptr; // the private copy that takes the writes while staging
    PatchJournal journal;
    bool wroteAnything = false;
    QMutex retryMutex;
    QWaitCondition retryCondition; // never signalled: the retry wait runs to its timeout
};

} // namespace TQ::EXTRACTORS::CPP::COMMON
