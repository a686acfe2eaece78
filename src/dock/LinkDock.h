#pragma once
// What the link needs of a docking station. The dock classes implement it;
// the link knows docks only through this interface.
//
// Every call runs on the main thread and returns (a command that waits for its
// reply does so by processing messages, so link handlers may run nested).

#include <QByteArray>
#include <QObject>

#include "core/Events.h"

namespace zelvo {

class ILinkDock {
 public:
  virtual ~ILinkDock() = default;

  // The dock component itself: the Sender of its events, and how the link
  // notices that a dock it calls later has been freed.
  virtual QObject* DockObject() = 0;

  virtual bool Enabled() const = 0;
  // Enabling opens the dock's channels (USB device or TCP connections).
  virtual void SetEnabled(bool enabled) = 0;
  // Clears the Halted flag of the dock's USB device; nothing without one.
  virtual void ClearDeviceHalted() = 0;
  // "SLV" (slave true) or "MST". retry: the dock answered busy, the command
  // failed or the dock is not enabled; ask again.
  virtual bool SetSlaveMode(bool slave, bool& retry) = 0;
  // One bare instrument message on the data channel.
  virtual bool SendStr(const QByteArray& data) = 0;
  // "DSC": ends the pass-through.
  virtual bool SendDisconnect() = 0;
  // Stops waiting for the answer to the command in progress, which then
  // counts as not answered; nothing when none is waiting. Called from a
  // handler nested in that wait.
  virtual void AbandonCommand() {}

  // The dock's events that the link takes over when it opens the path:
  // instrument reachable ("1"), instrument gone ("2"), data-channel input.
  virtual TNotifyEvent& InstrumentConnectedEvent() = 0;
  virtual TNotifyEvent& InstrumentDisconnectedEvent() = 0;
  virtual TReceiveMsg& RcvUserDataEvent() = 0;
};

}  // namespace zelvo
