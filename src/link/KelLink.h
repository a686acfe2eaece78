#pragma once
// TKelLink: the link to one instrument. Sends one message at a time, watches
// for the reply with one reply timer, unframes replies and reports the link's
// state. The bytes go over one of its transports (link/LinkTransport.h): the
// IrDA socket, the IrCOMM virtual serial port, the RS-232 port (family 1) or
// a docking station; which one follows the first match of: a transport the
// caller assigned, a dock assigned, family 1, IrDA sockets available, else
// the IrCOMM port.
//
// TKelLinkThread keeps the main thread polling the link (LinkPoll). It sleeps
// until there is something to poll: gathered bytes with an end marker, a
// change of Connected, or its stop.

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <memory>
#include <optional>
#include <thread>

#include "core/Events.h"
#include "core/Timer.h"
#include "link/FrameCodec.h"
#include "link/LinkTypes.h"
#include "link/DockTransport.h"
#include "link/IrdaTransport.h"
#include "link/LinkTransport.h"
#include "link/SerialTransport.h"

namespace zelvo {

class ILinkDock;
class TKelLink;
class TSerialPort;
class TKelLinkThread;

class TKelLink : public QObject, private ILinkTransportHost {
 public:
  explicit TKelLink(QObject* owner = nullptr);
  ~TKelLink() override;

  TReceiveMsg OnReceiveMsg, OnDebugReceive, OnDebugSend;  // (sender, data)
  TLinkStatus OnLinkUp, OnLinkDown;                       // (sender, status)
  TOnTimeOut OnThreadExecute, OnTimeOut;                  // (sender, error); OnThreadExecute is never raised
  TNotifyEvent OnIrError;
  // The transport could not be opened at all (the reason has been shown):
  // nothing will come up, so no connect time-out follows.
  TNotifyEvent OnOpenFailed;
  // The dock refused slave mode on every try (the reason has been shown);
  // the connect time-out still runs.
  TNotifyEvent OnSlaveModeRefused;

  TKelType InstrumentType() const { return type_; }
  void SetInstrumentType(TKelType type) { type_ = type; }
  int RS232Port() const { return rs232Port_; }
  void SetRS232Port(int port) { rs232Port_ = port; }
  int RS232BaudRate() const { return rs232BaudRate_; }
  void SetRS232BaudRate(int baud) { rs232BaudRate_ = baud; }
  // Writing a text sends it with DefaultTimeOut.
  void SetText(const QByteArray& text);
  bool Connected() const { return connected_; }
  // True: OpenLink(DefaultTimeOut); False: CloseLink. The state itself
  // follows the transport's reports.
  void SetConnected(bool connected);
  int DefaultTimeOut() const { return defaultTimeOut_; }
  void SetDefaultTimeOut(int timeOut) { defaultTimeOut_ = timeOut; }
  // How long SetConnected(true) waits for the instrument to come up, when
  // that differs from DefaultTimeOut: 0 waits until it comes (a dock that
  // waits for an instrument to be put in).
  void SetConnectTimeOut(std::optional<int> timeOut) { connectTimeOut_ = timeOut; }
  TTraceLogState Logging() const;
  void SetLogging(TTraceLogState state);
  ILinkDock* KovaExpressDock() const { return kovaExpressDock_; }
  void SetKovaExpressDock(ILinkDock* dock) { kovaExpressDock_ = dock; }
  ILinkDock* MPKovaExpressDock() const { return mpKovaExpressDock_; }
  void SetMPKovaExpressDock(ILinkDock* dock) { mpKovaExpressDock_ = dock; }
  ILinkDock* ArvennaKova6Dock() const { return arvennaKova6Dock_; }
  void SetArvennaKova6Dock(ILinkDock* dock) { arvennaKova6Dock_ = dock; }

  // Sends one message and arms the reply timer: timeOut > 0 seconds, else
  // |timeOut| ms; 0 never runs out.
  void SendMsg(const QByteArray& msg, int timeOut);
  void OpenLink(int timeOut);
  // Closes the transport. On a link that is not up yet it also ends the
  // opening: a device search stops without connecting, and the connect
  // time-out no longer runs.
  void CloseLink();
  // While the operator is being asked to put the instrument in place, the
  // connect time-out is held (only while the link still waits for the
  // instrument); restarting it then gives it its full time again, unless the
  // link came up meanwhile.
  void HoldConnectTimeOut();
  void RestartConnectTimeOut();
  // The instrument protocol re-enables it to keep waiting.
  TTimer* ReplyTimer() const { return replyTimer_.get(); }
  bool WholeFrameMode() const { return wholeFrameMode_; }
  void SetWholeFrameMode(bool on) { wholeFrameMode_ = on; }
  bool IrDASocketMode() const { return irda_->SocketMode(); }
  int IrCommPort() const { return irCommPort_; }
  // One poll cycle (main thread): state change events, framed replies.
  void LinkPoll();

  // Inside views, for the front ends and tests.
  TIrSocket* IrSocket() const { return irda_->Socket(); }
  TSerialPort* ComPort() const { return serial_->Port(); }
  const TIrdaDevicesInfo* IrDevices() const { return irda_->Devices(); }
  bool Disconnecting() const { return disconnecting_; }
  bool ThreadStarted() const { return threadStarted_; }
  char MessageIndex() const { return messageIndex_; }
  QByteArray ReceiveBuffer() const { return rx_.receiveBuffer; }
  // Poll cycles run so far (diagnostics and benchmarks).
  quint64 PollCount() const { return pollCount_; }

  // A transport of the caller's own, used instead of the built-in ones while
  // set (not owned; tests feed the link through one). Set it while the link
  // is closed.
  void SetTransport(ILinkTransport* transport);

 private:
  ILinkDock* ActiveDock() const;
  // The transport the next open, write or close goes to.
  ILinkTransport& Transport();
  void ArmReplyTimer(int timeOut);
  void ReplyTimeOutElapsed();
  void StartupProbe();
  void SetConnectedState(bool connected);
  void StartThread();
  void WakeThread();
  void Deliver(const QByteArray& reply);
  // Data from a dock, once the instrument is there.
  void DockData(const QByteArray& block);
  void IndexedReply(const QByteArray& reply);
  // What the link tells its users (the link up or down, a reply), one at a
  // time: a report that comes while a handler of another still runs (inside
  // a nested wait of it) is raised after that handler has returned, so no
  // handler runs inside itself.
  struct Report {
    enum class Kind { Up, Down, Reply } kind;
    QByteArray reply;
  };
  void Tell(Report report);
  void RaiseReport(const Report& report);

  // What the transports report and ask.
  bool Writable() const override { return connected_ && !disconnecting_ && sendDepth_ > overtakenUpTo_; }
  void ArmConnectTimeOut(int timeOut) override;
  bool ConnectTimeOutRunning() const override;
  void StateChanged(const ILinkTransport& from, TransportState state) override;
  void BytesArrived(const ILinkTransport& from, const QByteArray& bytes) override;

  TKelType type_ = TKelType::tpKel0;
  int rs232Port_ = 1;
  int rs232BaudRate_ = 0;
  int defaultTimeOut_ = 0;
  std::optional<int> connectTimeOut_;
  ILinkDock* kovaExpressDock_ = nullptr;
  ILinkDock* mpKovaExpressDock_ = nullptr;
  ILinkDock* arvennaKova6Dock_ = nullptr;

  char messageIndex_ = frame::kFirstMessageIndex;
  std::unique_ptr<TKelLinkThread> thread_;
  bool threadStarted_ = false;
  std::unique_ptr<TSerialTransport> serial_;
  std::unique_ptr<TIrdaTransport> irda_;
  std::unique_ptr<TDockTransport> dock_;
  ILinkTransport* assigned_ = nullptr;
  bool connectTimeOutHeld_ = false;
  bool disconnecting_ = false;
  frame::ReceiveState rx_;
  // The largest reply taken from a dock; and whether data that came unasked
  // has been traced since the last reply.
  static constexpr qsizetype kMaxDockReply = 1024;
  bool unaskedTraced_ = false;
  std::unique_ptr<TTimer> replyTimer_;
  bool wholeFrameMode_ = false;
  int irCommPort_ = 0;
  bool connected_ = false;
  bool probed_ = false;          // StartupProbe has run
  bool lastConnected_ = false;  // the poll thread's view of Connected
  bool reportedUp_ = false;     // the users were told the link is up
  bool telling_ = false;        // a report's handler runs
  int sendDepth_ = 0;           // SendMsg calls running, one inside the wait of the other
  int overtakenUpTo_ = 0;       // those of them at this depth or below are overtaken
  QList<Report> held_;          // reports waiting for it to return
  quint64 pollCount_ = 0;
};

// The poll thread. Waits (without a time limit and without spinning) until
// woken or stopped; each wake hands one LinkPoll to the main thread and waits
// until it has run. Destroying it stops and joins the thread, also while the
// thread waits on the main thread.
class TKelLinkThread {
 public:
  explicit TKelLinkThread(TKelLink* link);
  ~TKelLinkThread();
  TKelLinkThread(const TKelLinkThread&) = delete;
  TKelLinkThread& operator=(const TKelLinkThread&) = delete;

  // Main thread: there is something to poll.
  void Wake();

 private:
  struct Shared;
  void Execute();
  std::shared_ptr<Shared> shared_;
  QObject* context_;  // main-thread receiver of the hand-offs
  std::thread thread_;
};

}  // namespace zelvo
