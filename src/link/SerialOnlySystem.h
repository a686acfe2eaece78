#pragma once
// A system whose IrDA stack offers no sockets (every socket refused with
// 10047) and whose registry (mirror) names a given device as the IrCOMM
// virtual serial port: the link then reaches the instrument over that port,
// the way it does on such systems. zelvoflash --serial uses it to talk to a
// serial port of the operator's choosing; tests use it with a pseudo-terminal.

#include <QByteArray>
#include <QString>
#include <QTemporaryFile>
#include <memory>

#include "link/IrdaStack.h"

namespace zelvo {

class NoIrdaStack final : public IrdaStack {
 public:
  QString Name() const override { return QStringLiteral("no IrDA"); }
  std::unique_ptr<IrdaSocket> CreateSocket(IrdaSocketEvents*, int& error) override {
    error = 10047;  // address family not supported
    return nullptr;
  }
};

class SerialOnlySystem {
 public:
  SerialOnlySystem();
  ~SerialOnlySystem();
  SerialOnlySystem(const SerialOnlySystem&) = delete;
  SerialOnlySystem& operator=(const SerialOnlySystem&) = delete;

  // Installs the stack and a registry mirror naming device (a path, or COMn)
  // as the IrCOMM port. False with error set when the mirror cannot be written.
  bool Install(const QString& device, QString* error);

  // The mirror's text Install writes: devicePath as the IrCOMM port (COM4).
  static QByteArray MirrorText(const QString& devicePath);

 private:
  NoIrdaStack stack_;
  std::unique_ptr<ScopedIrdaStack> installed_;
  QTemporaryFile mirror_;
  QString previousMirror_;
  bool mirrorSet_ = false;
};

}  // namespace zelvo
