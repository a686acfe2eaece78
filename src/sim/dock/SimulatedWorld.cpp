#include "sim/dock/SimulatedWorld.h"

#include <QHostAddress>
#include <QRandomGenerator>

#include "sim/dock/SimNetDock.h"
#include "sim/dock/SimUsbDock.h"
#include "sim/instrument/IrdaInstrument.h"
#include "sim/usb/SimUsbBackend.h"

namespace zelvo::sim {

bool ParseSimulationSetup(const QString& text, SimulationSetup& setup, QString* error) {
  QStringList instrumentItems;
  for (const QString& item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    const QString key = item.section(QLatin1Char('='), 0, 0).trimmed();
    const QString value = item.section(QLatin1Char('='), 1).trimmed();
    bool ok = true;
    if (key == QLatin1String("via")) {
      if (value == QLatin1String("irda")) setup.via = SimVia::Irda;
      else if (value == QLatin1String("usb-dock")) setup.via = SimVia::UsbDock;
      else if (value == QLatin1String("net-dock")) setup.via = SimVia::NetDock;
      else ok = false;
    } else if (!ParseDockOption(key, value, setup.dock, &ok)) {
      instrumentItems << item;
      continue;
    }
    if (!ok) {
      *error = QStringLiteral("bad simulation option: %1").arg(item);
      return false;
    }
  }
  return ParseSimulationOptions(instrumentItems.join(QLatin1Char(',')), setup.instrument, setup.faults, error);
}

bool LooksLikeSimulationSetup(const QString& text) {
  if (LooksLikeSimulationOptions(text)) return true;
  for (const QString& item : text.split(QLatin1Char(',')))
    if (DockOptionFlags().contains(item)) return true;
  return false;
}

QString SimulationOptionsText() {
  return QStringLiteral(
      "via=irda|usb-dock|net-dock, instrument: kind=N,version=V,type=L,restart=S,delay=MS,wrong-ack-at=K,no-ack-at=K,"
      "drop-at=K,silent-at=K,split=N,pfm-nak,silent,noise,no-take,no-restart; dock: dock=kova-express|mp-kova-express|kova6,gone-after=MS,busy=N,nak=CMD,"
      "remove-at=K,unplug-at=K,silent-dock,events-with-reply,split-dock,empty-dock");
}

SimulatedWorld::SimulatedWorld(const SimulationSetup& setup) : setup_(setup) {
  switch (setup_.via) {
    case SimVia::Irda:
      irda_ = std::make_unique<SimulatedIrdaWorld>(setup_.instrument, setup_.faults);
      break;
    case SimVia::UsbDock:
      docked_ = std::make_unique<SimInstrument>(setup_.instrument, setup_.faults);
      bus_ = std::make_unique<SimUsbBackend>();
      previousBus_ = SetUsbBackend(bus_.get());
      usbDock_ = std::make_unique<SimUsbDock>(*bus_, *docked_, setup_.dock);
      break;
    case SimVia::NetDock:
      docked_ = std::make_unique<SimInstrument>(setup_.instrument, setup_.faults);
      netDock_ = std::make_unique<SimNetDock>(*docked_, setup_.dock);
      break;
  }
}

SimulatedWorld::~SimulatedWorld() {
  usbDock_.reset();
  netDock_.reset();
  if (bus_) SetUsbBackend(previousBus_);
}

bool SimulatedWorld::Start(QString* error) {
  if (!netDock_) return true;
  // A loopback address of its own, so that a dock already on 127.0.0.1 (or
  // another test's) is never in the way.
  QString last;
  for (int attempt = 0; attempt < 20; ++attempt) {
    QRandomGenerator* random = QRandomGenerator::global();
    const quint32 address = (127u << 24) | (random->bounded(1u, 255u) << 16) | (random->bounded(0u, 256u) << 8) |
                            random->bounded(1u, 255u);
    if (netDock_->Listen(QHostAddress(address), &last)) return true;
  }
  *error = last;
  return false;
}

SimInstrument& SimulatedWorld::Instrument() { return irda_ ? irda_->Instrument() : *docked_; }

SimDock* SimulatedWorld::Dock() {
  if (usbDock_) return &usbDock_->Dock();
  if (netDock_) return &netDock_->Dock();
  return nullptr;
}

QString SimulatedWorld::DockAddress() const { return netDock_ ? netDock_->Address().toString() : QString(); }

}  // namespace zelvo::sim
