#pragma once
// The docks as zelvoflash names them: the operator's name of each dock kind
// (the kinds themselves, their classes and their link properties are the dock
// layer's table, which the simulated docks share), and the kinds of the
// network dock search, which may look for kinds no dock class drives.

#include <QString>
#include <optional>

#include "dock/DockKinds.h"
#include "net/DockEnumerator.h"

namespace zelvo::cli {

// "Kova Express dock", "multi-port Kova Express dock", "Kova6 dock".
QString DockTitle(DockKind kind);

// The kinds of the network dock search, by the name --kind takes.
std::optional<TPDockType> DiscoveryKindOf(const QString& option);
// "kova-express|mp-kova-express|kova6|dorrim", for usage texts.
QString DiscoveryKindOptions();

}  // namespace zelvo::cli
