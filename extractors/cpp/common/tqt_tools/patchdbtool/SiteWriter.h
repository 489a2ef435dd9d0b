// The one way restore changes an image.
#pragma once

#include <QString>
#include <QVector>

namespace TQ {
namespace EXTRACTORS {
namespace CPP {
namespace COMMON {

class IExeRewriter;

struct SiteWrite
{
    quint32 rva;
    quint64 before; // the five bytes the site holds now
    quint64 after;  // the five bytes it gets
};

// Writes every site's bytes into the open image, closes it and makes the change durable. When a
// write fails, the sites written so far get their bytes back before the exception goes on.
void writeSites(IExeRewriter &image, const QString &imagePath, const QVector<SiteWrite> &writes);

} // namespace COMMON
} // namespace CPP
} // namespace EXTRACTORS
} // namespace TQ
