#pragma once
// Test doubles for the link: a dock, an IrDA peer that answers frames, and a
// temporary registry mirror.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <deque>
#include <functional>

#include "core/Events.h"
#include "link/FrameCodec.h"
#include "link/IrCommPort.h"
#include "dock/LinkDock.h"
#include "sim/irda/SimIrdaStack.h"

namespace zelvo::test {

// Records every call; SetSlaveMode answers "busy" as often as told.
class FakeDock : public QObject, public ILinkDock {
 public:
  QObject* DockObject() override { return this; }
  bool Enabled() const override { return enabled; }
  void SetEnabled(bool on) override {
    calls << (on ? "Enable" : "Disable");
    enabled = on && canEnable;
  }
  void ClearDeviceHalted() override { calls << "ClearHalted"; }
  bool SetSlaveMode(bool slave, bool& retry) override {
    calls << (slave ? "SLV" : "MST");
    if (duringSlaveMode) duringSlaveMode();  // what the dock reports inside the wait
    retry = busyAnswers != 0;
    if (busyAnswers > 0) --busyAnswers;
    return !retry;
  }
  bool SendStr(const QByteArray& data) override {
    calls << "SendStr";
    sent << data;
    return enabled;
  }
  bool SendDisconnect() override {
    calls << "DSC";
    return true;
  }
  TNotifyEvent& InstrumentConnectedEvent() override { return OnInstrumentConnected; }
  TNotifyEvent& InstrumentDisconnectedEvent() override { return OnInstrumentDisconnected; }
  TReceiveMsg& RcvUserDataEvent() override { return OnRcvUserData; }

  TNotifyEvent OnInstrumentConnected, OnInstrumentDisconnected;
  TReceiveMsg OnRcvUserData;
  bool enabled = false;
  bool canEnable = true;
  int busyAnswers = 0;  // -1: always busy
  std::function<void()> duringSlaveMode;
  QStringList calls;
  QList<QByteArray> sent;
};

// The far side of a simulated IrDA device: unframes what the host writes and
// answers each message with the reply the test has queued (framed, behind
// its control byte), or not at all.
class FramePeer : public sim::SimIrdaPeer {
 public:
  void SessionOpened(sim::SimIrdaConnection* c) override {
    connection = c;
    ++opened;
  }
  void HostWrote(const QByteArray& write) override {
    writes << write;
    stream.append(write.mid(1));  // drop the control byte
    for (;;) {
      const frame::ScannedFrame f = frame::ScanFrame(stream);
      if (!f.complete) break;
      messages << f.body;
      stream = stream.mid(f.next);
      if (!replies.empty()) {
        const QByteArray reply = replies.front();
        replies.pop_front();
        if (connection) connection->SendToHost(QByteArray(1, '\0') + frame::Frame(reply, false));
      }
    }
  }
  void SessionClosed() override {
    connection = nullptr;
    ++closed;
  }

  sim::SimIrdaConnection* connection = nullptr;
  int opened = 0, closed = 0;
  QList<QByteArray> writes, messages;
  QByteArray stream;
  std::deque<QByteArray> replies;
};

// A registry mirror in a temporary folder, installed while it exists.
class TempMirror {
 public:
  explicit TempMirror(const QByteArray& content) {
    path_ = dir_.filePath("registry.ini");
    QFile f(path_);
    if (f.open(QIODevice::WriteOnly)) f.write(content);
    previous_ = RegistryMirrorPath();
    SetRegistryMirrorPath(path_);
  }
  ~TempMirror() { SetRegistryMirrorPath(previous_ == kDefaultRegistryMirror ? QString() : previous_); }
  QString Path() const { return path_; }

 private:
  QTemporaryDir dir_;
  QString path_;
  QString previous_;
};

}  // namespace zelvo::test
