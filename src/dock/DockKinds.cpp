#include "dock/DockKinds.h"

#include <array>

#include "dock/ArvennaKova6Dock.h"
#include "dock/KovaExpressDock.h"
#include "dock/MPKovaExpressDock.h"

namespace zelvo {

namespace {

struct KindEntry {
  DockKind kind;
  const char* name;
  const DockModel* model;
  std::unique_ptr<TDockProtocol> (*make)(QObject* owner);
};

template <class Dock>
std::unique_ptr<TDockProtocol> Make(QObject* owner) {
  return std::make_unique<Dock>(owner);
}

const std::array<KindEntry, 3>& Kinds() {
  static const std::array<KindEntry, 3> kinds = {{
      {DockKind::KovaExpress, "kova-express", &TKovaExpressDock::kModel, &Make<TKovaExpressDock>},
      {DockKind::MultiPort, "mp-kova-express", &TMPKovaExpressDock::kModel, &Make<TMPKovaExpressDock>},
      {DockKind::Kova6, "kova6", &TArvennaKova6Dock::kModel, &Make<TArvennaKova6Dock>},
  }};
  return kinds;
}

const KindEntry& EntryOf(DockKind kind) {
  for (const KindEntry& entry : Kinds())
    if (entry.kind == kind) return entry;
  return Kinds().front();
}

}  // namespace

bool ParseDockKind(const QString& text, DockKind* kind) {
  for (const KindEntry& entry : Kinds()) {
    if (text == QLatin1String(entry.name)) {
      *kind = entry.kind;
      return true;
    }
  }
  return false;
}

QString DockKindName(DockKind kind) { return QLatin1String(EntryOf(kind).name); }

QStringList DockKindNames() {
  QStringList names;
  for (const KindEntry& entry : Kinds()) names << QLatin1String(entry.name);
  return names;
}

const DockModel& DockModelOf(DockKind kind) { return *EntryOf(kind).model; }

quint16 DockControlPort(DockKind kind) { return QByteArray(DockModelOf(kind).controlPort).toUShort(); }

quint16 DockDataPort(DockKind kind) { return QByteArray(DockModelOf(kind).dataPort).toUShort(); }

std::unique_ptr<TDockProtocol> MakeDock(DockKind kind, QObject* owner) { return EntryOf(kind).make(owner); }

}  // namespace zelvo
