#pragma once
// A dock's far side played by the test.
//
// On the simulated USB bus: every command written on pipe 3 is answered by a
// script (on the receive thread, as a device answers), packets are queued by
// hand on pipes 1 and 2. The dock component is the real one over a real
// TUSBDevice; the command timer follows a manual clock.
//
// Over TCP: the control and data ports of a dock kind on a loopback address
// of the test's own (127.x.y.z).

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <functional>
#include <memory>
#include <mutex>

#include "core/Bytes.h"
#include "core/MessagePump.h"
#include "support/ScriptedDialogs.h"
#include "core/Timer.h"
#include "dock/KovaExpressDock.h"
#include "sim/usb/SimUsbBackend.h"
#include "support/Pump.h"
#include "usb/USBPipe.h"

namespace zelvo::test {

template <class Dock>
class UsbDockFixture : public ::testing::Test {
 protected:
  using Script = std::function<QByteArray(const QByteArray& command)>;  // empty: no answer

  UsbDockFixture() {
    bus.SetReadTimeoutMs(5);
    far = bus.AddDock(DockDeviceType());
    far->OnHostWrite = [this](int pipe, const QByteArray& bytes) {
      if (pipe != 3) return;
      std::lock_guard<std::mutex> lock(scriptMutex_);
      const QByteArray reply = script_ ? script_(bytes) : QByteArray("ACK");
      if (!reply.isEmpty()) far->QueuePacket(2, reply);
    };
    device = std::make_unique<TUSBDevice>();
    device->SetConnectSettleMs(0);
    dock = std::make_unique<Dock>();
    dock->SetUSBDevice(device.get());
    dock->SetCommandTimeOut(3000);
    dock->OnDebugRcvControlData = [this](QObject*, const QByteArray& line) { debug << ToText(line); };
  }
  ~UsbDockFixture() override {
    dock.reset();
    device.reset();
  }

  static int DockDeviceType() {
    if constexpr (requires { Dock::kUsbDeviceType; }) return Dock::kUsbDeviceType;
    return tpKovaExpress;
  }

  void Answer(Script script) {
    std::lock_guard<std::mutex> lock(scriptMutex_);
    script_ = std::move(script);
  }
  // Every command answered with the same input.
  void AnswerAll(const QByteArray& reply) {
    Answer([reply](const QByteArray&) { return reply; });
  }

  // Enabled and Halted cleared, as the link leaves it.
  void Enable() {
    dock->SetEnabled(true);
    ASSERT_TRUE(dock->Enabled());
    dock->ClearDeviceHalted();
  }

  // Commands the dock wrote, one per write.
  QList<QByteArray> Commands() const { return far->Writes(3); }

  static bool Eventually(const std::function<bool()>& pred, int ms = 3000) { return test::Eventually(pred, ms); }

  // Moves the manual clock 50 ms per millisecond of wall time while the test
  // waits inside a dock call (the dock's waits process messages).
  void DriveClock() {
    clockDriver_.setInterval(1);
    QObject::connect(&clockDriver_, &QTimer::timeout, [this] { clock.Advance(50); });
    clockDriver_.start();
  }

  ManualClock clock;
  ScriptedDialogs dialogs;
  ScopedDialogs dialogsInstalled{&dialogs};
  sim::SimUsbBackend bus;
  ScopedUsbBackend busInstalled{&bus};
  std::shared_ptr<sim::SimUsbDevice> far;
  std::unique_ptr<TUSBDevice> device;
  std::unique_ptr<Dock> dock;
  QStringList debug;

 private:
  std::mutex scriptMutex_;
  Script script_;
  QTimer clockDriver_;
};

// One port of the far side: accepts one connection at a time and records
// every arrival as it was read.
class FarPort {
 public:
  FarPort() {
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        ++accepted;
        client = socket;
        QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] {
          const QByteArray bytes = socket->readAll();
          arrivals << bytes;
          received += bytes;
          if (!reply.isEmpty()) socket->write(reply);
        });
      }
    });
  }
  bool Listen(const QHostAddress& address, quint16 port) { return server_.listen(address, port); }
  QString ErrorText() const { return server_.errorString(); }
  void Close() { server_.close(); }
  bool Connected() const { return client && client->state() == QAbstractSocket::ConnectedState; }
  bool Closed() const { return !Connected(); }
  void Write(const QByteArray& bytes) {
    ASSERT_TRUE(Connected());
    client->write(bytes);
    client->flush();
  }

  QPointer<QTcpSocket> client;
  QList<QByteArray> arrivals;
  QByteArray received;
  QByteArray reply;  // answers every arrival (empty: silent)
  int accepted = 0;

 private:
  QTcpServer server_;
};

inline QHostAddress RandomLoopbackAddress() {
  QRandomGenerator* random = QRandomGenerator::global();
  return QHostAddress((127u << 24) | (random->bounded(1u, 255u) << 16) | (random->bounded(0u, 256u) << 8) |
                      random->bounded(2u, 255u));
}

// Both ports of a dock kind on one loopback address.
struct LoopbackDock {
  // Picks a free address with the ports asked for listening; false (the test
  // should skip) when none could be had.
  bool Listen(quint16 controlPort, quint16 dataPort, bool withControl = true) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      address = RandomLoopbackAddress();
      control.Close();
      data.Close();
      if ((!withControl || control.Listen(address, controlPort)) && data.Listen(address, dataPort)) return true;
      whyNot = withControl ? control.ErrorText() : data.ErrorText();
    }
    return false;
  }
  bool BothClosed() const { return control.Closed() && data.Closed(); }

  QHostAddress address;
  FarPort control, data;
  QString whyNot;
};

}  // namespace zelvo::test
