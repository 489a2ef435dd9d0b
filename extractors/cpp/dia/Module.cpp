#include "Module.h"

namespace TQ::EXTRACTORS::CPP::DIA {

Module::Module(const ModInfo &modInfo, Dia *dia) : modInfo(modInfo), dia(dia), valid(true) {}

Module::Module() : modInfo(0, QStringLiteral("unresolved file")), dia(nullptr), valid(false) {}

Module::~Module() = default;

void Module::printSymbolTag(quint32) {}

void Module::buildLineIndex() {}

} // namespace TQ::EXTRACTORS::CPP::DIA
