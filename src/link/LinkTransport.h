#pragma once
// The way from the link to the instrument: the IrDA socket, a serial port
// (the IrCOMM virtual port or RS-232) or a docking station's pass-through.
// TKelLink keeps what is its own (framing, the message index, the reply timer,
// the link state) and reaches a transport only through this interface; a
// transport reports back through the host interface below.
//
// Every call, both ways, runs on the main thread. Open and Write may process
// messages, so the link's handlers can run inside them and may free the link
// together with its transports: a transport checks that it still exists after
// every such step and touches nothing once it is gone.

#include <QByteArray>
#include <QtGlobal>
#include <climits>

namespace zelvo {

class ILinkTransport;

// A link time-out value as a timer interval: above 0 seconds, else its
// magnitude in ms (0 never runs out).
inline int TimeOutMs(int timeOut) {
  const qint64 ms = timeOut > 0 ? static_cast<qint64>(timeOut) * 1000 : -static_cast<qint64>(timeOut);
  return static_cast<int>(qMin<qint64>(ms, INT_MAX));
}

// How a transport's bytes meet the link's framing.
enum class TransportWire {
  IrdaSocket,  // the link's wire form, cut into IrDA writes; framed replies gathered with their control byte dropped,
               // indexed replies checked
  SerialPort,  // the link's wire form in one write; framed replies gathered up to the serial limit, other replies
               // delivered as they come
  Dock,        // bare messages, which the dock carries to the instrument; what comes back is delivered as it comes,
               // once the instrument is there, and the link's state is reported without the poll cycle
};

enum class TransportState {
  Down,     // nothing to talk to (closed, or lost)
  Up,       // the instrument can be talked to
  Closing,  // a close has begun; Down follows
};

enum class TransportOpen {
  Opening,  // under way: the state follows through StateChanged, at once or later
  NotFound, // ended without anything to connect to (the connect time-out ran out, or a close came first)
  Failed,   // cannot be opened at all; the reason has been shown once
};

// What a transport may ask of, and tell, the link that uses it.
class ILinkTransportHost {
 public:
  // True while the link is up and not closing, and no later write has begun
  // inside this one's waits: (pieces of) a write may go out.
  virtual bool Writable() const = 0;
  // Arms the reply timer as the connect time-out (timeOut as for OpenLink;
  // nothing when it is not above 0).
  virtual void ArmConnectTimeOut(int timeOut) = 0;
  // The connect time-out still runs: it has neither run out nor been ended by
  // a close.
  virtual bool ConnectTimeOutRunning() const = 0;
  // The transport's state changed (a report may repeat the state it had).
  virtual void StateChanged(const ILinkTransport& from, TransportState state) = 0;
  // Bytes came from the instrument, as the transport read them (never empty).
  virtual void BytesArrived(const ILinkTransport& from, const QByteArray& bytes) = 0;

 protected:
  ~ILinkTransportHost() = default;
};

class ILinkTransport {
 public:
  virtual ~ILinkTransport() = default;

  // How the link frames what it writes and reads what arrives. Constant.
  virtual TransportWire Wire() const = 0;
  // Opens the way to the instrument with the connect time-out timeOut (as for
  // OpenLink). Returns how the opening went; may process messages. Safe to
  // call again while open: the IrDA socket is dialled afresh, a serial port
  // stays open, a dock is asked for slave mode again.
  virtual TransportOpen Open(int timeOut) = 0;
  // Ends the way, or an opening still under way; the state follows through
  // StateChanged (a dock's only after the current handler has returned). Safe
  // to repeat, and on a transport that was never opened.
  virtual void Close() = 0;
  // Writes one message's bytes in the transport's wire form; a write that
  // cannot be made is dropped (the reply timer tells). May process messages.
  virtual void Write(const QByteArray& bytes) = 0;

  // The link that uses the transport sets itself here before its first call.
  void SetHost(ILinkTransportHost* host) { host_ = host; }

 protected:
  ILinkTransportHost& Host() const { return *host_; }

 private:
  ILinkTransportHost* host_ = nullptr;
};

}  // namespace zelvo
