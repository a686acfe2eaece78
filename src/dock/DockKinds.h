#pragma once
// The dock models by kind: their names on command lines and in the simulated
// world ("kova-express", "mp-kova-express", "kova6"), their traits, a new
// dock object of a kind, and the link property that takes it.

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

#include "dock/DockProtocol.h"

namespace zelvo {

enum class DockKind { KovaExpress, MultiPort, Kova6 };

// "kova-express", "mp-kova-express", "kova6"; false (kind untouched) for
// anything else.
bool ParseDockKind(const QString& text, DockKind* kind);
QString DockKindName(DockKind kind);
// Every name, in the order of the kinds (for usage texts).
QStringList DockKindNames();

// How the model of a kind differs: its USB device type, its TCP ports, ...
const DockModel& DockModelOf(DockKind kind);
// TCP ports of a kind as numbers.
quint16 DockControlPort(DockKind kind);
quint16 DockDataPort(DockKind kind);

// A new dock component of the kind.
std::unique_ptr<TDockProtocol> MakeDock(DockKind kind, QObject* owner = nullptr);

// Gives the link the dock as the property of its kind (KovaExpressDock,
// MPKovaExpressDock or ArvennaKova6Dock) and empties the other two, so that
// the link's precedence between them cannot pick another dock.
template <class Link>
void AssignLinkDock(Link& link, DockKind kind, ILinkDock* dock) {
  link.SetKovaExpressDock(kind == DockKind::KovaExpress ? dock : nullptr);
  link.SetMPKovaExpressDock(kind == DockKind::MultiPort ? dock : nullptr);
  link.SetArvennaKova6Dock(kind == DockKind::Kova6 ? dock : nullptr);
}

}  // namespace zelvo
