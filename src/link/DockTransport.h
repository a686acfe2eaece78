#pragma once
// The link's dock transport: the docking station's pass-through to the
// instrument in it. Opening enables the dock and asks for slave mode; the
// dock reports the instrument reachable and gone, and carries bare messages.

#include <QObject>
#include <optional>
#include <QPointer>

#include "core/Events.h"
#include "link/LinkTransport.h"

namespace zelvo {

class ILinkDock;

inline constexpr const char* kSlaveModeRefusedText = "SLV Error - Dock did not accept slave mode!";

class TDockTransport : public QObject, public ILinkTransport {
 public:
  ~TDockTransport() override;

  // The dock the next calls go to. askUntilAccepted: slave mode is asked for
  // again while the dock answers busy (else once, the answer not looked at).
  void SetDock(ILinkDock* dock, bool askUntilAccepted);

  TransportWire Wire() const override { return TransportWire::Dock; }
  // Enables the dock, takes over its events, asks for slave mode (tries
  // bounded in number and by the connect time-out); then the connect time-out
  // runs until the instrument is reported. A dock with the instrument already
  // in it reports it at once, inside the slave-mode wait: that report is kept
  // and told once the opening is done.
  TransportOpen Open(int timeOut) override;
  // "DSC", sent after the current handler has returned (a dock freed
  // meanwhile takes it with it); Down follows with the dock's report. A
  // repeat call before the dock answered it asks nothing more; nothing
  // before the first Open. While Open asks for slave mode, it asks no more
  // and returns.
  void Close() override;
  void Write(const QByteArray& message) override;

  // The dock refused slave mode on every try; the reason has been shown.
  TNotifyEvent OnSlaveModeRefused;

  // Slave-mode requests made at most by one opening.
  static constexpr int kMaxSlaveModeTries = 20;

 private:
  void TakeOverEvents(ILinkDock* dock);
  void ReleaseEvents();
  void Report(TransportState state);

  ILinkDock* dock_ = nullptr;
  bool askUntilAccepted_ = true;
  ILinkDock* wired_ = nullptr;  // whose events lead here
  QPointer<QObject> wiredObject_;
  bool disconnectQueued_ = false;  // "DSC" asked for and not yet answered
  bool opened_ = false;            // Open was called
  bool opening_ = false;           // in Open, asking for slave mode
  bool openAbandoned_ = false;     // Close came meanwhile
  // The dock's latest report of the instrument while slave mode was asked for.
  std::optional<TransportState> heldReport_;
};

}  // namespace zelvo
