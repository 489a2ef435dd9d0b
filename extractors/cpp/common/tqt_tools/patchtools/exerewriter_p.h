// The one implementation of IExeRewriter; reached through createExeRewriter.
#pragma once

#include "PatchJournal.h"
#include "exerewriter.h"

#include <QMutex>
#include <QWaitCondition>

#include <PatchFileMap.h>

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

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

    void beginJournaledWrites() override;
    void applyJournaledWrites() override;
    bool revertJournaledWrites() override;
    void endJournaledWrites() override;
    bool readBytes(quint32 rva, quint64 &bytes) override;

private:
    enum class Journaling { Off, Staging, Applying, Applied };

    const uchar *findSection(quint32 rva) const;
    uchar *placeIn(const uchar *section, quint32 rva, quint32 length) const;
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
    const uchar *ntHeaders = nullptr;
    const uchar *sections = nullptr;

    quint64 viewSize = 0;
    quint16 sectionCount = 0;
    quint64 headersEnd = 0; // no site may touch the headers and the section table
    quint64 fingerprint = 0;

    Journaling journaling = Journaling::Off;
    uchar *copy = nullptr; // the private copy that takes the writes while staging
    PatchJournal journal;
    bool wroteAnything = false;
    QMutex retryMutex;
    QWaitCondition retryCondition; // never signalled: the retry wait runs to its timeout
};

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
