#pragma once
// A dock double that plays both sides the workflow sees: the link's dock
// (slave mode, bare messages, instrument connected / disconnected) and the
// window's dock (LCD lines, "PSS"). The instrument behind it is the simulated
// one; its replies come through the event loop, as a dock's do.

#include <QObject>
#include <QTimer>
#include <functional>

#include "dock/LinkDock.h"
#include "dock/UploadDock.h"
#include "sim/instrument/SimInstrument.h"

namespace zelvo::test {

class DockDouble : public QObject, public ILinkDock, public IUploadDock {
 public:
  explicit DockDouble(sim::SimInstrument& instrument) : instrument_(instrument) {}

  QObject* DockObject() override { return this; }
  bool Enabled() const override { return enabled_; }
  void SetEnabled(bool enabled) override {
    enabled_ = enabled;
    log << (enabled ? "enable" : "disable");
  }
  void ClearDeviceHalted() override { log << "clear halted"; }
  bool ClearUsbHalted() override {
    log << "clear halted";
    return true;
  }
  bool SetSlaveMode(bool slave, bool& retry) override {
    retry = false;
    log << (slave ? "SLV" : "MST");
    if (slave && refusesSlaveMode) {  // busy: asked again, in vain
      retry = true;
      return false;
    }
    if (slave) Later([this] { Raise(connected_, this); });
    return true;
  }
  bool SendStr(const QByteArray& data) override {
    sent << data;
    const sim::SimInstrument::Outcome outcome = instrument_.Handle(data);
    if (outcome.action == sim::SimInstrument::Action::Reply)
      Later([this, reply = outcome.reply] { Raise(userData_, this, reply); });
    return true;
  }
  // The technician takes the instrument out of the dock.
  void TakeOut() { Raise(disconnected_, this); }
  bool SendDisconnect() override {
    log << "DSC";
    Later([this] { Raise(disconnected_, this); });
    return true;
  }
  TNotifyEvent& InstrumentConnectedEvent() override { return connected_; }
  TNotifyEvent& InstrumentDisconnectedEvent() override { return disconnected_; }
  TReceiveMsg& RcvUserDataEvent() override { return userData_; }

  void SetEthernetAddress(const QString& address) override { this->address = address; }
  bool SetLCDLineText(int line, const QByteArray& text) override {
    log << QStringLiteral("LCD%1 [%2]").arg(line).arg(QString::fromLatin1(text));
    return true;
  }
  bool SendPSS(int value1, int value2) override {
    log << QStringLiteral("PSS %1 %2").arg(value1).arg(value2);
    return true;
  }

  QStringList log;
  QList<QByteArray> sent;
  bool refusesSlaveMode = false;  // as a dock that answers "SLV" with "NAK"
  QString address;

 private:
  void Later(std::function<void()> f) { QTimer::singleShot(0, this, std::move(f)); }

  sim::SimInstrument& instrument_;
  bool enabled_ = false;
  TNotifyEvent connected_, disconnected_;
  TReceiveMsg userData_;
};

}  // namespace zelvo::test
