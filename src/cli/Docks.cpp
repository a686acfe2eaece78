#include "cli/Docks.h"

#include <QStringList>
#include <array>

namespace zelvo::cli {

namespace {

struct DiscoveryKind {
  const char* option;
  TPDockType type;
};
constexpr std::array<DiscoveryKind, 4> kDiscoveryKinds{{
    {"kova-express", TPDockType::tpKovaExpress},
    {"mp-kova-express", TPDockType::tpMP_KovaExpress},
    {"kova6", TPDockType::tpKova6},
    {"dorrim", TPDockType::tpDorrim},
}};

}  // namespace

QString DockTitle(DockKind kind) {
  switch (kind) {
    case DockKind::MultiPort: return QStringLiteral("multi-port Kova Express dock");
    case DockKind::Kova6: return QStringLiteral("Kova6 dock");
    case DockKind::KovaExpress: break;
  }
  return QStringLiteral("Kova Express dock");
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
