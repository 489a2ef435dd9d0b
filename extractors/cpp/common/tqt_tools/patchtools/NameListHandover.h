// The name list as a clean hands it to its own resolve run. The list that the map reader writes
// into the working folder is shared by every clean of a same-named image there, so the resolve
// run gets a private copy instead, and knows its list by a digest that the clean records with
// the entries.
#pragma once

#include <QByteArray>
#include <QString>

namespace TQ::EXTRACTORS::CPP::COMMON::NameListHandover {

QString digest(const QByteArray &nameList);

// A new private copy in the temporary folder; empty when none can be written.
QString create(const QByteArray &nameList);
// Whether path is such a copy, which the resolve run removes once it has read it.
bool isCopy(const QString &path);
// Removes path when it is such a copy.
void release(const QString &path);

} // namespace TQ::EXTRACTORS::CPP::COMMON::NameListHandover
