// The one implementation of IExeRewriter; reached through createExeRewriter.
#pragma once

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

private:
    const uchar *findSection(quint32 rva) const;
    uchar *placeIn(const uchar *section, quint32 rva, quint32 length) const;
    [[noreturn]] void failOpen(int line);
    void waitBeforeRetry();

    const QString path;
    PLATFORM::FILEMAP::Handle file = PLATFORM::FILEMAP::invalidHandleValue();
    PLATFORM::FILEMAP::Handle mapping = nullptr;
    uchar *view = nullptr;
    const uchar *ntHeaders = nullptr;
    const uchar *sections = nullptr;

    quint64 viewSize = 0;
    quint16 sectionCount = 0;
    QMutex retryMutex;
    QWaitCondition retryCondition; // never signalled: the retry wait runs to its timeout
};

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
