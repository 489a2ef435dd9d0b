// The name list as a clean hands it to its own resolve run. The list that the map reader writes
// into the working folder is shared by every clean of a same-named image there, so the resolve
// run gets a private copy instead, and knows its list by a digest that the clean records with
// the entries.
#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>
#include <QTemporaryFile>

namespace TQ::EXTRACTORS::CPP::COMMON::NameListHandover {

// Takes the name list as the map reader writes it: a private copy in the temporary folder, and
// the digest of every byte.
class Writer
{
public:
    Writer();
    void write(const char *data, qint64 size);
    // The copy's path, empty when it could not be written in full (and is gone).
    QString finishCopy();
    QString digest() const;

private:
    QTemporaryFile m_copy;
    bool m_writing;
    QCryptographicHash m_hash;
};

// The digest of a name-list file as Writer takes it; the digest of nothing when it cannot be
// read.
QString digestOfFile(const QString &path);
// Whether path is a private copy, which the resolve run removes once it has read it.
bool isCopy(const QString &path);
// Removes path when it is such a copy.
void release(const QString &path);

} // namespace TQ::EXTRACTORS::CPP::COMMON::NameListHandover
