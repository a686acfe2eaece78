#pragma once
// The simulated instrument behind a pseudo-terminal: the host opens the
// slave side as its serial port (IrCOMM virtual port) and talks the framed
// protocol; the instrument answers on the master side.

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <memory>

#include "sim/instrument/FramedEndpoint.h"

namespace zelvo::sim {

class PtyInstrument : public QObject {
 public:
  explicit PtyInstrument(SimInstrument& instrument, QObject* parent = nullptr);
  ~PtyInstrument() override;

  // Creates the pseudo-terminal (raw mode); false with errorString() set on failure.
  bool Open();
  void Close();
  bool IsOpen() const { return masterFd_ >= 0; }
  // Path of the slave side, for the host ("/dev/pts/N").
  QString SlavePath() const { return slavePath_; }
  QString errorString() const { return error_; }

  FramedEndpoint& Endpoint() { return endpoint_; }

 private:
  void Readable();
  void Write(const QByteArray& block);

  FramedEndpoint endpoint_;
  int masterFd_ = -1;
  int slaveHoldFd_ = -1;
  QString slavePath_;
  QString error_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace zelvo::sim
