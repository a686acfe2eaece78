#pragma once
// The docking-station protocol, shared by the three dock models.
//
// Control channel. A command is the bytes of its text and nothing else, sent
// as one write:
//   "DSC"                 end of the pass-through         ACK
//   "ADC"                 battery and other readings      ACK + 8 bytes
//   "SLV" / "MST"         slave (pass-through) / master   ACK + "B" busy, else idle
//   "LCD0".."LCD3" + 16   one line of the dock's LCD      ACK
//   "RLC0" / "RLC1"       read back LCD line 0 / 1        ACK + 16 characters
//   "PSS" + 2 bytes       (only models that have it)       ACK
// One input from the dock may hold several event reports ("EVT", a code, its
// parameter bytes) and a reply; the three-letter markers are searched anywhere
// in it: up to ten event reports first, in order, then "ACK" (which wins over
// "NAK"). One command is pending at a time: a command asked for while another
// waits fails at once. SendCommand waits, processing messages, until the reply,
// the command timer, or the dock going away; a "NAK" does not stop the timer,
// which then elapses later and may cut a following command short.
//
// Data channel: bare instrument messages (no link framing) out with SendStr,
// every non-empty arrival in raised with OnRcvUserData.
//
// Channels: USBDevice assigned means USB (UsbDockChannels); empty means TCP to
// EthernetAddress (TcpDockChannels). Every operation looks at USBDevice when
// it runs. A model states only how it differs: a DockModel of traits and a
// few overrides (its own event codes, slave mode, typed events).
//
// Main thread only. Handlers of the program run nested inside every wait.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <array>
#include <functional>

#include "core/Events.h"
#include "core/Timer.h"
#include "dock/DockChannels.h"
#include "dock/DockInput.h"
#include "dock/LinkDock.h"
#include "dock/UploadDock.h"

namespace zelvo {

class TUSBDevice;

// Status of the command last sent.
enum class TCommandStatus : quint8 { csIdle = 0, csPending = 1, csAcked = 2, csFailed = 3 };
// What follows "ACK" in the reply to the pending command.
enum class TReplyKind : quint8 { rkNone, rkADC, rkSlaveMode, rkLCDText };
// How the dock took an enquiry (Enquire).
enum class DockAnswer : quint8 {
  Answered,     // a reply came ("ACK", or "NAK": the dock is there)
  Silent,       // the command time-out ran out without a reply
  Unreachable,  // the dock is not enabled, or went away during the wait
  Busy,         // another command waits for its reply; nothing was asked
};

using TUserData = std::function<void(QObject* sender, const QByteArray& data)>;
using TFlashProgressEvent = std::function<void(QObject* sender, int total, int remain)>;
using TTCPError = std::function<void(QObject* sender, int channel, int error, const QString& description)>;
using TDebugMsgEvent = std::function<void(QObject* sender, const QByteArray& msg)>;
using TOnEmailDelivery = std::function<void(QObject* sender, bool sucessul)>;

// Why the dock asks for a span calibration (event "B").
enum class TSpanCalDueTo : quint8 { Span_CalFlag, Span_FailedBump, Span_Unknown, Span_DockCalDue };

// How one dock model differs from the others.
struct DockModel {
  int usbDeviceType;            // written into the USB device
  const char* controlPort;      // TCP ports, as the socket takes them
  const char* dataPort;
  TcpDockStyle tcpStyle;
  bool debugLines;              // command, event and SendStr debug lines
  bool tcpSendChecked;          // TCP control send: enabled and result tested
  bool haltedRestarts;          // USB Halted: "Restarting." and send, or refuse
  const char* usbHaltedText;
  const char* usbNotEnabledText;
  const char* pendingText;      // shown when a command is asked for while one is pending
  bool idleWhenDisabled;        // the command status goes idle when disabled
  bool hasPSS;                  // "PSS"; without it SendPSS sends nothing and fails
};

// Reads the parameter bytes of one event report without passing the input's
// end.
class EventParameters {
 public:
  EventParameters(const QByteArray& input, qsizetype at) : input_(input), at_(at) {}
  // The next n bytes; false (nothing taken) when the input ends first.
  bool Take(qsizetype n, QByteArray* bytes);
  bool TakeByte(quint8* byte);
  // The next n bytes in reversed order.
  template <std::size_t N>
  bool TakeReversed(std::array<quint8, N>* bytes) {
    QByteArray taken;
    if (!Take(static_cast<qsizetype>(N), &taken)) return false;
    for (std::size_t i = 0; i < N; ++i) (*bytes)[N - 1 - i] = static_cast<quint8>(taken[static_cast<qsizetype>(i)]);
    return true;
  }

 private:
  const QByteArray& input_;
  qsizetype at_;
};

class TDockProtocol : public QObject, public ILinkDock, public IUploadDock {
 public:
  static constexpr int kMaxMessage = 0xFFFFF;  // 1,048,575 bytes per SendStr
  static constexpr int kCommandTimeOutAtCreation = 10000;

  ~TDockProtocol() override;

  // --- Connection ---
  TUSBDevice* USBDevice() const;
  // Stores the device; a device gets this model's kind and its pipe
  // notifications come here. Nothing switches to TCP.
  void SetUSBDevice(TUSBDevice* device);
  bool Enabled() const override;
  void SetEnabled(bool enabled) override;
  QString EthernetAddress() const { return ethernetAddress_; }
  void SetEthernetAddress(const QString& address) override { ethernetAddress_ = address; }
  // The pause after each data send over TCP: 100 ms, the pace the dock needs.
  // Only a test of something else shortens it.
  int TcpSendPauseMs() const { return tcp_.SendPauseMs(); }
  void SetTcpSendPauseMs(int ms) { tcp_.SetSendPauseMs(ms); }

  // --- Commands ---
  bool SendCommand(const QByteArray& command);
  void SendControlData(const QByteArray& data);
  bool SetLCDLineText(int line, const QByteArray& text) override;
  bool ReadLCDLine(int line, QByteArray* text);
  QByteArray LCDLine0Text() { return LineText(0); }
  void SetLCDLine0Text(const QByteArray& text) { SetLCDLineText(0, text); }
  QByteArray LCDLine1Text() { return LineText(1); }
  void SetLCDLine1Text(const QByteArray& text) { SetLCDLineText(1, text); }
  bool SetSlaveMode(bool slave, bool& retry) override;
  bool ReadADC();
  int BatteryVoltage();
  bool SendDisconnect() override;
  void AbandonCommand() override;
  // Whether the dock still answers on its control channel: "ADC" (it changes
  // nothing on the dock), waited for at most the command time-out.
  DockAnswer Enquire();
  bool SendPSS(int value1, int value2) override;
  int CommandTimeOut() const { return commandTimer_.Interval(); }
  void SetCommandTimeOut(int ms) { commandTimer_.SetInterval(ms); }

  // --- Data channel ---
  bool SendStr(const QByteArray& data) override;

  // --- Input (also reachable for tests and fuzzing) ---
  void ParseControlReply(const QByteArray& input);
  void DeliverUserData(const QByteArray& data);

  // --- Stored properties ---
  double DateTime() const { return dateTime_; }
  void SetDateTime(double value) { dateTime_ = value; }
  quint32 DataloggerSize() const { return dataloggerSize_; }
  QString FlashFileName() const { return flashFileName_; }
  void SetFlashFileName(const QString& name) { flashFileName_ = name; }

  // --- State, for the owner and tests ---
  TCommandStatus CommandStatus() const { return commandStatus_; }
  // Replies ("ACK" or "NAK") taken, and command time-outs, since creation.
  int RepliesTaken() const { return replies_; }
  int CommandTimeOuts() const { return commandTimeOuts_; }
  // Reports of the instrument gone (event "2") since creation.
  int InstrumentGoneReports() const { return goneReports_; }
  TReplyKind ReplyKind() const { return replyKind_; }
  const std::array<quint8, 8>& ADCData() const { return adcData_; }
  QByteArray LCDReadBack() const { return lcdReadBack_; }
  bool SlaveBusy() const { return slaveBusy_; }
  bool DataSent() const { return tcp_.DataSent(); }
  quint8 SpanCalCause() const { return spanCalCause_; }
  TTimer& CommandTimer() { return commandTimer_; }
  TcpDockChannels& TcpChannels() { return tcp_; }

  // --- Events shared by every model (each model adds its own) ---
  TNotifyEvent OnPumpLowFlow;
  TNotifyEvent OnDeviceInRange;
  TNotifyEvent OnDeviceRemoved;
  TNotifyEvent OnFailedToConnect;
  TNotifyEvent OnInstrumentConnected;
  TNotifyEvent OnInstrumentDisconnected;
  TUserData OnRcvUserData;
  TDebugMsgEvent OnDebugMessage;
  TOnEmailDelivery OnEmailDelivered;
  TNotifyEvent OnCmdTimeOut;
  TUserData OnDebugRcvControlData;
  TUserData OnDebugSndControlData;
  TFlashProgressEvent OnFlashProgress;
  TTCPError OnTCPError;
  TNotifyEvent OnTCPConnected;
  TNotifyEvent OnTCPClosed;
  TNotifyEvent OnMultipleTCPConnections;
  // The dock went away unasked (its connection lost, its USB device gone),
  // after the instrument in it, if any, was reported gone. Not raised when
  // the dock is disabled.
  TNotifyEvent OnDockLost;

  // ILinkDock and IUploadDock
  QObject* DockObject() override { return this; }
  void ClearDeviceHalted() override;
  bool ClearUsbHalted() override;
  TNotifyEvent& InstrumentConnectedEvent() override { return OnInstrumentConnected; }
  TNotifyEvent& InstrumentDisconnectedEvent() override { return OnInstrumentDisconnected; }
  TReceiveMsg& RcvUserDataEvent() override { return OnRcvUserData; }

  // "Dock Command Sent" padded to 70, each byte in decimal in parentheses, six
  // spaces, each letter or digit in square brackets.
  static QString CommandDebugLine(const QByteArray& command);
  // A text as the LCD takes it: exactly 16 characters, cut or padded.
  static QByteArray LcdText(const QByteArray& text);

 protected:
  TDockProtocol(const DockModel& model, QObject* owner);

  // Parameter bytes of a report with one of the model's own codes ("9", "A",
  // "B", "E"), given the bytes after the code; kLengthNotYetKnown when they
  // do not tell yet. An unknown code has none.
  virtual qsizetype ModelReportLength(char code, QByteArrayView following) const = 0;
  // The model's own event codes, with all their parameter bytes.
  virtual void HandleModelEvent(char code, EventParameters& parameters) = 0;
  // Typed events of the shared codes "3" and "7"; true when a handler is
  // assigned.
  virtual bool RaiseTestCompleted(quint8 result) = 0;
  virtual bool RaiseStateChange(quint8 state) = 0;
  // Name of a dock state for the debug line (empty: no line).
  virtual QString StateName(quint8) const { return {}; }
  // The data debug events of the models that have them.
  virtual void RaiseDebugRcvUserData(const QByteArray&) {}
  virtual void RaiseDebugSndUserData(const QByteArray&) {}

  // Raises a typed event of a shared code with its byte as the model's
  // enumeration; true when a handler is assigned.
  template <class Enum, class Handler>
  bool RaiseAs(const Handler& handler, quint8 value) {
    const bool assigned = static_cast<bool>(handler);
    Raise(handler, this, static_cast<Enum>(value));
    return assigned;
  }
  // Slave mode as the Kova Express dock does it; selfEnable: enable the dock
  // first when it is not.
  bool SlaveModeWithRetry(bool slave, bool& retry, bool selfEnable);
  void SetReplyKind(TReplyKind kind) { replyKind_ = kind; }
  void DebugLine(const QString& line);
  bool UsbMode() const;

  const DockModel& model_;
  quint8 dockState_ = 0;
  quint8 testResult_ = 0;
  quint8 spanCalCause_ = 0;
  // The flag fields behind the models' flag properties.
  quint32 gasSupport_ = 0;
  quint32 dockOptions_ = 0;
  quint32 instrumentFlags_ = 0;
  quint32 testFlags_ = 0;

 private:
  DockChannels& Channels();
  const DockChannels& Channels() const;
  void CommandTimeOutElapsed();
  qsizetype ReportLength(char code, QByteArrayView following) const;
  void HandleEventReport(const DockEventReport& report);
  void TakeAck(const QByteArray& data);
  // The dock went away unasked; RaiseInstrumentLost tells the link.
  void InstrumentLost();
  void RaiseInstrumentLost();
  void PostDeferred();
  void DeliverDeferred();
  QByteArray LineText(int line);

  UsbDockChannels usb_;
  TcpDockChannels tcp_;
  TTimer commandTimer_;
  TCommandStatus commandStatus_ = TCommandStatus::csIdle;
  int commandTimeOuts_ = 0;  // times the command timer ran out
  int replies_ = 0;          // replies ("ACK" or "NAK") taken
  TReplyKind replyKind_ = TReplyKind::rkNone;
  std::array<quint8, 8> adcData_{};
  QByteArray lcdReadBack_;
  bool slaveBusy_ = false;
  QString ethernetAddress_;
  QString flashFileName_;
  double dateTime_ = 0;
  quint32 dataloggerSize_ = 0;

  // The end of an input that may continue in the next one: a marker cut in
  // two, or an event report whose parameters have not all arrived.
  QByteArray controlResidue_;
  // The instrument has been reported in the dock and not yet gone.
  bool instrumentPresent_ = false;
  int goneReports_ = 0;
  // What the dock sent and has not been handed on yet, in order of arrival.
  // Data arriving while a send or a command waits is handed on after it
  // returns, so that the reply's handler (which sends the next message) never
  // runs inside the previous send; event reports and the loss of the dock
  // that arrive after such data wait behind it (a removal reported right
  // after the instrument's last reply must not overtake it).
  struct InboxItem {
    enum class Kind { Data, Event, Lost } kind;
    char code;         // Event
    QByteArray bytes;  // Data: the arrival; Event: the report's parameters
  };
  int sendDepth_ = 0;
  QList<InboxItem> inbox_;
  bool deliveryPosted_ = false;
  bool delivering_ = false;  // DeliverDeferred runs (a nested call leaves the rest to it)
  // Control inputs being parsed, one inside another's event handling. Below
  // kMaxControlNesting the reports are handled at once; deeper they wait in
  // the inbox, so that a dock reporting without pause cannot nest parsing
  // without end (its replies are still taken at once).
  static constexpr int kMaxControlNesting = 4;
  int controlDepth_ = 0;
  // Data held in the inbox, in bytes, and event reports. No reply is larger
  // than kMaxHeldData, and a dock has no reason to report more than
  // kMaxHeldEvents while a message goes out: what it sends beyond meanwhile
  // is dropped (said once in the debug lines), not gathered.
  static constexpr qsizetype kMaxHeldData = 1024;
  static constexpr int kMaxHeldEvents = 64;
  qsizetype heldData_ = 0;
  int heldEvents_ = 0;
  bool heldDataDropSaid_ = false;
  bool heldEventsDropSaid_ = false;
};

}  // namespace zelvo
