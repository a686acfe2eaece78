#pragma once
// The link's IrDA socket transport: finds an instrument in range, connects an
// IrCOMM socket to it and writes the link's frames in IrDA pieces.
//
// Until the link's start-up probe the socket's errors are classified here: an
// IrDA stack that is missing turns the transport off (the link then takes the
// IrCOMM virtual port); after the probe they are the link's OnIrError.

#include <QObject>
#include <functional>
#include <memory>

#include "link/LinkTransport.h"
#include "link/FrameCodec.h"
#include "link/WIrCOMMSocket.h"

namespace zelvo {

class TKelLink;

// The link's IrDA socket: knows the link that owns it.
class TIrSocket : public TWIrCOMMSocket {
 public:
  explicit TIrSocket(TKelLink* link, QObject* owner = nullptr) : TWIrCOMMSocket(owner), link_(link) {}
  TKelLink* KelLink() const { return link_; }

 private:
  TKelLink* link_;
};

class TIrdaTransport : public QObject, public ILinkTransport {
 public:
  // How the link's frames are cut into writes (depends on the family and the
  // whole-frame mode of the moment).
  using Cutter = std::function<frame::IrdaWrites(const QByteArray& wire)>;
  TIrdaTransport(TKelLink* link, Cutter cutter);
  ~TIrdaTransport() override;

  TransportWire Wire() const override { return TransportWire::IrdaSocket; }
  // Searches until a device is in range while the connect time-out runs, then
  // starts the socket's connect (Up follows with the socket's report).
  TransportOpen Open(int timeOut) override;
  // Closing, then the socket closed (Down follows with its report); during the
  // search: the search ends without connecting.
  void Close() override;
  void Write(const QByteArray& wire) override;

  // The link's start-up probe: enumerates once (unless told not to), then
  // hands the socket's errors to OnSocketError and its reports to the host.
  void Probe(bool enumerate);
  // False once the socket's errors said there is no IrDA stack here.
  bool SocketMode() const { return socketMode_; }
  // Why IrDA sockets are not used (Winsock code), once SocketMode is false.
  int StackError() const { return stackError_; }
  // Before the probe, errors other than a missing stack are shown unless this
  // says they are the dock's business.
  std::function<bool()> ErrorsAreQuiet;
  // A socket error after the probe.
  std::function<void()> OnSocketError;

  TIrSocket* Socket() const { return socket_.get(); }
  const TIrdaDevicesInfo* Devices() const { return devices_.get(); }

 private:
  void ClassifySocketError();
  void Received();

  Cutter cutter_;
  std::unique_ptr<TIrSocket> socket_;
  std::unique_ptr<TIrdaDevicesInfo> devices_;
  bool socketMode_ = true;
  int stackError_ = 0;
  bool searching_ = false;        // Open looks for a device
  bool searchAbandoned_ = false;  // Close came during that search
};

}  // namespace zelvo
