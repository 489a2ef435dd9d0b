#include "DiaApi.h"

#include "Dia.h"

namespace TQ::EXTRACTORS::CPP::DIA {

ModInfo::ModInfo(quint32 loadAddress, const QString &path)
    : loadAddress(loadAddress), path(path),
      // Only backslashes separate: the paths come from Windows tools.
      name(path.split(QLatin1Char('\\'), Qt::KeepEmptyParts, Qt::CaseSensitive).last())
{
}

DiaApi::~DiaApi() = default;

void DiaApi::printSymbolTag(quint32) {}

void DiaApi::buildLineIndex() {}

QString DiaApi::loadFailure()
{
    return QString();
}

DiaApi *createDia(const QList<ModInfo> &modules)
{
    return new Dia(modules);
}

} // namespace TQ::EXTRACTORS::CPP::DIA
