#pragma once
// The docking stations zelvoflash can drive, in one table: the name the
// options take, the name the operator reads, the simulated dock that plays
// it, and, for the kinds whose dock class is in this build, how to make one
// and which dock property of the link takes it. The kinds of the network dock
// search are a table of their own (a search may look for kinds no dock class
// drives).

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

#include "net/DockEnumerator.h"
#include "sim/dock/SimDock.h"

namespace zelvo {
class ILinkDock;
class TDockProtocol;
class TKelLink;
}  // namespace zelvo

namespace zelvo::cli {

struct DockKind {
  const char* option;  // "kova-express", as --dock-kind takes it
  const char* title;   // "Kova Express dock"
  int usbDeviceType;   // the device kind its USB docks are listed under
  sim::SimDockKind simulated;
  // Nothing when this build has no class for the kind.
  std::unique_ptr<TDockProtocol> (*make)();
  void (TKelLink::*attach)(ILinkDock* dock);
};

// The kind named by an option value; nothing when there is none of that name.
const DockKind* FindDockKind(const QString& option);
// The kind a simulated dock plays.
const DockKind& DockKindOf(sim::SimDockKind simulated);
// "kova-express|mp-kova-express|kova6", for usage texts.
QString DockKindOptions();

// The kinds of the network dock search, by the name --kind takes.
std::optional<TPDockType> DiscoveryKindOf(const QString& option);
QString DiscoveryKindOptions();

}  // namespace zelvo::cli
