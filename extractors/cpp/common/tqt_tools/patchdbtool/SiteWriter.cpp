#include "SiteWriter.h"

#include "exerewriter.h"

#include <QFile>

#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

namespace {

// The rewriter leaves its changes to the page cache; restore answers for them reaching the disk.
void syncToDisk(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!synced)
        throw std::runtime_error(
            QStringLiteral("Error: the restored image %1 could not be written to disk")
                .arg(path)
                .toLocal8Bit()
                .toStdString());
}

} // namespace

void writeSites(IExeRewriter &image, const QString &imagePath, const QVector<SiteWrite> &writes)
{
    int done = 0;
    try {
        for (; done < writes.size(); ++done)
            image.writeBytes(writes.at(done).rva, writes.at(done).after);
    } catch (...) {
        for (int i = done - 1; i >= 0; --i)
            image.writeBytes(writes.at(i).rva, writes.at(i).before);
        image.close();
        throw;
    }
    image.close();
    syncToDisk(imagePath);
}

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
