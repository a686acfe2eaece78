#include "sim/dock/SimulatedWorld.h"

#include <QHostAddress>
#include <QRandomGenerator>

#include "sim/dock/SimNetDock.h"
#include "sim/dock/SimUsbDock.h"
#include "sim/instrument/IrdaInstrument.h"
#include "sim/usb/SimUsbBackend.h"

namespace zelvo::sim {

namespace {

// One item of the setup text: "remove-at=20@2" is "remove-at=20" for dock 2.
struct SetupItem {
  QString text;  // as given, for messages
  QString bare;  // without its dock
  bool forOneDock = false;
  int dock = 0;  // with forOneDock; 0 when not a number
};

SetupItem SplitItem(const QString& text) {
  const qsizetype at = text.lastIndexOf(QLatin1Char('@'));
  if (at < 0) return {text, text.trimmed()};
  return {text, text.left(at).trimmed(), true, text.mid(at + 1).trimmed().toInt()};
}

// Applies one instrument or dock item (without its dock); false when it is
// not understood, with range set when its value lies outside the item's.
bool ApplyItem(const QString& item, SimulationSetup& setup, QString* range = nullptr) {
  if (item.isEmpty()) return false;  // " " or "@2"
  const QString key = item.section(QLatin1Char('='), 0, 0).trimmed();
  const QString value = item.section(QLatin1Char('='), 1).trimmed();
  bool ok = true;
  QString unused;
  if (!range) range = &unused;
  if (ParseDockOption(key, value, setup.dock, &ok, range)) return ok;
  return ParseInstrumentOption(key, value, setup.instrument, setup.faults, &ok, range) && ok;
}

// The index-th of the docks' parts; nothing beyond them.
template <typename T>
T* Nth(const std::vector<std::unique_ptr<T>>& list, int index) {
  return index >= 0 && static_cast<size_t>(index) < list.size() ? list[static_cast<size_t>(index)].get() : nullptr;
}

// False, with error naming the item (and why, when there is more to say).
bool BadItem(const QString& item, const QString& why, QString* error) {
  *error = QStringLiteral("bad simulation option: %1").arg(item);
  if (!why.isEmpty()) *error += QStringLiteral(" (%1)").arg(why);
  return false;
}

}  // namespace

SimulationSetup SimulationSetup::ForDock(int d) const {
  SimulationSetup one = *this;
  one.docks = 1;
  one.dockItems.clear();
  for (const QString& item : dockItems.value(d - 1)) ApplyItem(item, one);  // checked when they were read
  return one;
}

bool ParseSimulationSetup(const QString& text, SimulationSetup& setup, QString* error) {
  // The world's items first: the docks' own items are checked against their
  // number wherever it is given.
  QList<SetupItem> items;
  for (const QString& given : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    const SetupItem item = SplitItem(given);
    const QString key = item.bare.section(QLatin1Char('='), 0, 0).trimmed();
    const QString value = item.bare.section(QLatin1Char('='), 1).trimmed();
    if (key != QLatin1String("via") && key != QLatin1String("docks")) {
      items << item;
      continue;
    }
    if (item.forOneDock) return BadItem(item.text, QStringLiteral("it is for all docks"), error);
    bool ok = true;
    if (key == QLatin1String("docks")) {
      ok = ParseNumber(value, SimulationSetup::kDocksRange, &setup.docks);
      if (!ok) return BadItem(item.text, SimulationSetup::kDocksRange.Text(), error);
    } else if (value == QLatin1String("irda")) setup.via = SimVia::Irda;
    else if (value == QLatin1String("usb-dock")) setup.via = SimVia::UsbDock;
    else if (value == QLatin1String("net-dock")) setup.via = SimVia::NetDock;
    else ok = false;
    if (!ok) return BadItem(item.text, {}, error);
  }
  if (setup.docks > 1 && setup.via == SimVia::Irda)
    return BadItem(QStringLiteral("docks=%1").arg(setup.docks),
                   QStringLiteral("several docks go with via=usb-dock or via=net-dock"), error);

  setup.dockItems.resize(setup.docks);
  for (const SetupItem& item : items) {
    QString range;
    if (!item.forOneDock) {
      if (!ApplyItem(item.bare, setup, &range)) return BadItem(item.text, range, error);
      continue;
    }
    if (item.dock < 1 || item.dock > setup.docks)
      return BadItem(item.text, QStringLiteral("the docks are 1 to %1").arg(setup.docks), error);
    SimulationSetup check;
    if (!ApplyItem(item.bare, check, &range)) return BadItem(item.text, range, error);
    setup.dockItems[item.dock - 1] << item.bare;
  }
  return true;
}

bool LooksLikeSimulationSetup(const QString& text) {
  for (const QString& item : text.split(QLatin1Char(','))) {
    const QString bare = SplitItem(item).bare;
    if (LooksLikeSimulationOptions(bare) || DockOptionFlags().contains(bare)) return true;
  }
  return false;
}

QString SimulationOptionsText() {
  return QStringLiteral(
             "via=irda|usb-dock|net-dock,docks=N (%1 through a dock), instrument: kind=N (%2),version=V,type=L,"
             "restart=S (%3),delay=MS (%4),wrong-ack-at=K,no-ack-at=K,drop-at=K,silent-at=K,split=N (%5),pfm-nak,"
             "silent,noise,no-take,no-restart; dock: dock=kova-express|mp-kova-express|kova6,gone-after=MS (%6),"
             "busy=N (%7),nak=CMD,remove-at=K,unplug-at=K,flood-at=K,flood-events-at=K,flood-replies-at=K,silent-dock,"
             "events-with-reply,split-dock,empty-dock,swap-at-release=V,present-every=MS (%8); a page K is %9; an item "
             "ending in @D is for dock D only (remove-at=20@2)")
      .arg(SimulationSetup::kDocksRange.Text(), kKindRange.Text(), kRestartRangeS.Text(), kReplyDelayRangeMs.Text(),
           kSplitRange.Text(), SimDockConfig::kGoneAfterByeRangeMs.Text(), SimDockConfig::kBusyRange.Text(),
           SimDockConfig::kPresentEveryRangeMs.Text(), kPageRange.Text());
}

SimulatedWorld::SimulatedWorld(const SimulationSetup& setup) : setup_(setup) {
  if (setup_.via == SimVia::Irda) {
    const SimulationSetup one = setup_.ForDock(1);
    irda_ = std::make_unique<SimulatedIrdaWorld>(one.instrument, one.faults);
    return;
  }
  if (setup_.via == SimVia::UsbDock) {
    bus_ = std::make_unique<SimUsbBackend>();
    previousBus_ = SetUsbBackend(bus_.get());
  }
  for (int d = 1; d <= setup_.docks; ++d) {
    const SimulationSetup one = setup_.ForDock(d);
    SimInstrument& instrument = *docked_.emplace_back(std::make_unique<SimInstrument>(one.instrument, one.faults));
    // Added in dock order, so that the bus lists dock d d-th.
    if (bus_) usbDocks_.push_back(std::make_unique<SimUsbDock>(*bus_, instrument, one.dock));
    else netDocks_.push_back(std::make_unique<SimNetDock>(instrument, one.dock));
  }
}

SimulatedWorld::~SimulatedWorld() {
  usbDocks_.clear();
  netDocks_.clear();
  if (bus_) SetUsbBackend(previousBus_);
}

bool SimulatedWorld::Start(QString* error) {
  // Loopback addresses of their own, so that a dock already on 127.0.0.1 (or
  // another test's) is never in the way; never one for two docks, whose
  // ports may differ.
  QList<QHostAddress> taken;
  for (const auto& dock : netDocks_) {
    QString last = QStringLiteral("no free loopback address");
    bool listening = false;
    for (int attempt = 0; attempt < 20 && !listening; ++attempt) {
      QRandomGenerator* random = QRandomGenerator::global();
      const QHostAddress address((127u << 24) | (random->bounded(1u, 255u) << 16) | (random->bounded(0u, 256u) << 8) |
                                 random->bounded(1u, 255u));
      listening = !taken.contains(address) && dock->Listen(address, &last);
    }
    if (!listening) {
      *error = last;
      return false;
    }
    taken << dock->Address();
  }
  return true;
}

SimInstrument& SimulatedWorld::Instrument(int index) {
  if (irda_ && index == 0) return irda_->Instrument();
  return *docked_.at(static_cast<size_t>(index));
}

SimDock* SimulatedWorld::Dock(int index) {
  if (SimUsbDock* usb = UsbDock(index)) return &usb->Dock();
  if (SimNetDock* net = Nth(netDocks_, index)) return &net->Dock();
  return nullptr;
}

SimUsbDock* SimulatedWorld::UsbDock(int index) { return Nth(usbDocks_, index); }

QString SimulatedWorld::DockAddress(int index) const {
  const SimNetDock* net = Nth(netDocks_, index);
  return net ? net->Address().toString() : QString();
}

}  // namespace zelvo::sim
