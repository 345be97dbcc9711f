// Host requests served by the monitor: text replacement and the on-demand snapshot
// (placeholders until their issue lands: safe no-ops).
#include "MacAccessibility.h"

namespace korvale {

void MacAccessibility::setSelectedText(const std::string&) {}
void MacAccessibility::getDataForVelaAssist() {}

}  // namespace korvale
