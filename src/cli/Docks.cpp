#include "cli/Docks.h"

#include <array>

#include "dock/KovaExpressDock.h"
#include "link/KelLink.h"
#include "usb/UsbBackend.h"

namespace zelvo::cli {

namespace {

template <typename Dock>
std::unique_ptr<TDockProtocol> Make() {
  return std::make_unique<Dock>();
}

const std::array<DockKind, 3> kDockKinds{{
    {"kova-express", "Kova Express dock", tpKovaExpress, sim::SimDockKind::KovaExpress, &Make<TKovaExpressDock>,
     &TKelLink::SetKovaExpressDock},
    {"mp-kova-express", "multi-port Kova Express dock", tpMPKovaExpress, sim::SimDockKind::MultiPort, nullptr,
     &TKelLink::SetMPKovaExpressDock},
    {"kova6", "Kova6 dock", tpArvennaKova6, sim::SimDockKind::Kova6, nullptr, &TKelLink::SetArvennaKova6Dock},
}};

struct DiscoveryKind {
  const char* option;
  TPDockType type;
};
const std::array<DiscoveryKind, 4> kDiscoveryKinds{{
    {"kova-express", TPDockType::tpKovaExpress},
    {"mp-kova-express", TPDockType::tpMP_KovaExpress},
    {"kova6", TPDockType::tpKova6},
    {"dorrim", TPDockType::tpDorrim},
}};

}  // namespace

const DockKind* FindDockKind(const QString& option) {
  for (const DockKind& kind : kDockKinds)
    if (option == QLatin1String(kind.option)) return &kind;
  return nullptr;
}

const DockKind& DockKindOf(sim::SimDockKind simulated) {
  for (const DockKind& kind : kDockKinds)
    if (kind.simulated == simulated) return kind;
  return kDockKinds.front();
}

QString DockKindOptions() {
  QStringList names;
  for (const DockKind& kind : kDockKinds) names << QLatin1String(kind.option);
  return names.join(QLatin1Char('|'));
}

std::optional<TPDockType> DiscoveryKindOf(const QString& option) {
  for (const DiscoveryKind& kind : kDiscoveryKinds)
    if (option == QLatin1String(kind.option)) return kind.type;
  return std::nullopt;
}

QString DiscoveryKindOptions() {
  QStringList names;
  for (const DiscoveryKind& kind : kDiscoveryKinds) names << QLatin1String(kind.option);
  return names.join(QLatin1Char('|'));
}

}  // namespace zelvo::cli
