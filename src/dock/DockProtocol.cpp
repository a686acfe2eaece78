#include "dock/DockProtocol.h"

#include <QMetaObject>
#include <QPointer>
#include <QScopeGuard>
#include <algorithm>

#include "core/Bytes.h"
#include "core/Dialogs.h"
#include "core/MessagePump.h"
#include "dock/DockInput.h"
#include "usb/USBPipe.h"

namespace zelvo {

namespace {

constexpr int kWaitSliceMs = 50;  // longest sleep between two looks at the command status
constexpr int kLcdWidth = 16;
constexpr int kCommandColumn = 70;

bool IsAsciiLetterOrDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

// --- EventParameters --------------------------------------------------------

bool EventParameters::Take(qsizetype n, QByteArray* bytes) {
  if (n < 0 || at_ + n > input_.size()) return false;
  *bytes = input_.mid(at_, n);
  at_ += n;
  return true;
}

bool EventParameters::TakeByte(quint8* byte) {
  QByteArray one;
  if (!Take(1, &one)) return false;
  *byte = static_cast<quint8>(one[0]);
  return true;
}

// --- construction -----------------------------------------------------------

TDockProtocol::TDockProtocol(const DockModel& model, QObject* owner)
    : QObject(owner), model_(model), usb_(this), tcp_(this), commandTimer_(this) {
  commandTimer_.SetInterval(kCommandTimeOutAtCreation);
  commandTimer_.OnTimer = [this](QObject*) { CommandTimeOutElapsed(); };
  tcp_.SetPorts(QLatin1String(model.controlPort), QLatin1String(model.dataPort));
  tcp_.SetStyle(model.tcpStyle);

  for (DockChannels* channels : {static_cast<DockChannels*>(&usb_), static_cast<DockChannels*>(&tcp_)}) {
    channels->OnControlInput = [this](const QByteArray& input) { ParseControlReply(input); };
    channels->OnDataInput = [this](const QByteArray& data) { DeliverUserData(data); };
    channels->OnLost = [this] { InstrumentLost(); };
  }
  tcp_.OnConnected = [this](QObject*) { Raise(OnTCPConnected, this); };
  tcp_.OnClosed = [this](QObject*) { Raise(OnTCPClosed, this); };
  tcp_.OnError = [this](int channel, int error, const QString& text) { Raise(OnTCPError, this, channel, error, text); };
  tcp_.OnFlashProgress = [this](int total, int remain) { Raise(OnFlashProgress, this, total, remain); };
  tcp_.OnDataArrival = [this](const QByteArray& data) { RaiseDebugRcvUserData(data); };
  if (model.debugLines) tcp_.OnDebugLine = [this](const QString& line) { DebugLine(line); };
}

TDockProtocol::~TDockProtocol() {
  // Nothing reaches the owner's handlers from a dying dock.
  OnInstrumentConnected = nullptr;
  OnInstrumentDisconnected = nullptr;
  OnRcvUserData = nullptr;
  OnTCPClosed = nullptr;
  OnTCPError = nullptr;
  OnDockLost = nullptr;
  if (Enabled()) SetEnabled(false);
}

TUSBDevice* TDockProtocol::USBDevice() const { return usb_.Device(); }

void TDockProtocol::SetUSBDevice(TUSBDevice* device) { usb_.SetDevice(device, model_.usbDeviceType); }

bool TDockProtocol::UsbMode() const { return usb_.Device() != nullptr; }

DockChannels& TDockProtocol::Channels() {
  return UsbMode() ? static_cast<DockChannels&>(usb_) : static_cast<DockChannels&>(tcp_);
}

const DockChannels& TDockProtocol::Channels() const {
  return UsbMode() ? static_cast<const DockChannels&>(usb_) : static_cast<const DockChannels&>(tcp_);
}

bool TDockProtocol::Enabled() const { return Channels().Enabled(); }

void TDockProtocol::SetEnabled(bool enabled) {
  if (enabled == Enabled()) return;
  if (enabled) {
    tcp_.SetAddress(ethernetAddress_);  // read at every enable
    Channels().Enable();
    return;
  }
  QPointer<TDockProtocol> self(this);
  Channels().Disable();
  if (self && model_.idleWhenDisabled) commandStatus_ = TCommandStatus::csIdle;
}

void TDockProtocol::ClearDeviceHalted() { usb_.SetHalted(false); }

bool TDockProtocol::ClearUsbHalted() {
  if (!UsbMode()) return false;
  usb_.SetHalted(false);
  return true;
}

void TDockProtocol::DebugLine(const QString& line) { Raise(OnDebugRcvControlData, this, FromText(line)); }

// --- commands -------------------------------------------------------------

QString TDockProtocol::CommandDebugLine(const QByteArray& command) {
  QString line = QStringLiteral("Dock Command Sent").leftJustified(kCommandColumn, QLatin1Char(' '));
  for (char c : command) line += QStringLiteral("(%1)").arg(static_cast<unsigned char>(c));
  line += QStringLiteral("      ");
  for (char c : command)
    if (IsAsciiLetterOrDigit(c)) line += QStringLiteral("[%1]").arg(QLatin1Char(c));
  return line;
}

bool TDockProtocol::SendCommand(const QByteArray& command) {
  if (commandStatus_ == TCommandStatus::csPending) {
    if (model_.pendingText) ShowMessage(QLatin1String(model_.pendingText));
    return false;
  }
  QPointer<TDockProtocol> self(this);
  if (model_.debugLines) DebugLine(CommandDebugLine(command));
  if (!self) return false;
  // A timer still running after a "NAK" keeps its schedule.
  commandTimer_.SetEnabled(true);
  SendControlData(command);
  ++sendDepth_;
  while (self && commandStatus_ == TCommandStatus::csPending && Enabled() && commandTimer_.Enabled()) {
    Channels().AwaitingInput();
    WaitForMessages(kWaitSliceMs);
  }
  if (!self) return false;
  --sendDepth_;
  PostDeferred();
  if (!Enabled()) {
    commandTimer_.SetEnabled(false);
    commandStatus_ = TCommandStatus::csFailed;
  }
  return commandStatus_ == TCommandStatus::csAcked;
}

void TDockProtocol::SendControlData(const QByteArray& data) {
  QPointer<TDockProtocol> self(this);
  Raise(OnDebugSndControlData, this, data);
  if (!self) return;
  if (UsbMode()) {
    if (!Enabled()) {
      commandStatus_ = TCommandStatus::csFailed;
      ShowMessage(QLatin1String(model_.usbNotEnabledText));
      return;
    }
    if (usb_.Halted()) {
      ShowMessage(QLatin1String(model_.usbHaltedText));
      if (!self) return;
      if (!model_.haltedRestarts) {
        commandStatus_ = TCommandStatus::csFailed;  // nothing is sent; the flag stays
        return;
      }
      usb_.SetHalted(false);
    }
    commandStatus_ = TCommandStatus::csPending;
    usb_.WriteControl(data);
    return;
  }
  if (!model_.tcpSendChecked) {
    commandStatus_ = TCommandStatus::csPending;
    tcp_.WriteControl(data);
    return;
  }
  if (!Enabled()) {
    commandStatus_ = TCommandStatus::csFailed;
    ShowMessage(QStringLiteral("Send Error,TCP Dock not Enabled! Destination=") + tcp_.ControlSocket().Addr() +
                QStringLiteral(" Message=") + ToText(data));
    return;
  }
  commandStatus_ = TCommandStatus::csPending;
  if (tcp_.WriteControl(data) < 0) {
    commandStatus_ = TCommandStatus::csFailed;
    ShowMessage(QStringLiteral("Error sending control data on TCP!"));
  }
}

void TDockProtocol::AbandonCommand() {
  if (commandStatus_ != TCommandStatus::csPending) return;
  commandTimer_.SetEnabled(false);
  commandStatus_ = TCommandStatus::csIdle;
}

void TDockProtocol::CommandTimeOutElapsed() {
  ++commandTimeOuts_;
  commandStatus_ = TCommandStatus::csIdle;
  commandTimer_.SetEnabled(false);
  Raise(OnCmdTimeOut, this);
}

QByteArray TDockProtocol::LcdText(const QByteArray& text) {
  return text.left(kLcdWidth).leftJustified(kLcdWidth, ' ');
}

bool TDockProtocol::SetLCDLineText(int line, const QByteArray& text) {
  replyKind_ = TReplyKind::rkNone;
  const char digit = line >= 0 && line <= 2 ? static_cast<char>('0' + line) : '3';
  return SendCommand(QByteArray("LCD") + digit + LcdText(text));
}

bool TDockProtocol::ReadLCDLine(int line, QByteArray* text) {
  text->clear();
  if (!Enabled()) return false;
  replyKind_ = TReplyKind::rkLCDText;
  QPointer<TDockProtocol> self(this);
  const bool ok = SendCommand(line == 0 ? "RLC0" : "RLC1");
  if (!self || !ok) return false;
  *text = lcdReadBack_;
  return true;
}

QByteArray TDockProtocol::LineText(int line) {
  QByteArray text;
  ReadLCDLine(line, &text);
  return text;
}

bool TDockProtocol::SlaveModeWithRetry(bool slave, bool& retry, bool selfEnable) {
  replyKind_ = TReplyKind::rkSlaveMode;
  retry = false;
  QPointer<TDockProtocol> self(this);
  if (!Enabled()) {
    if (selfEnable) SetEnabled(true);
    if (!self) return false;
    if (!Enabled()) {
      retry = true;
      return false;
    }
  }
  const bool ok = SendCommand(slave ? "SLV" : "MST");
  if (!self) return false;
  if (!ok) slaveBusy_ = true;  // a busy answer set it already
  retry = slaveBusy_;
  return ok;
}

bool TDockProtocol::SetSlaveMode(bool slave, bool& retry) { return SlaveModeWithRetry(slave, retry, true); }

DockAnswer TDockProtocol::Enquire() {
  if (!Enabled()) return DockAnswer::Unreachable;
  if (commandStatus_ == TCommandStatus::csPending) return DockAnswer::Busy;
  QPointer<TDockProtocol> self(this);
  const int timeOutsBefore = commandTimeOuts_;
  const int repliesBefore = replies_;
  ReadADC();
  if (!self || !Enabled()) return DockAnswer::Unreachable;
  if (replies_ != repliesBefore) return DockAnswer::Answered;  // "ACK", or "NAK": the dock is there
  // Without a reply: the time-out ran out, or the wait was given up by a
  // nested call, which tells nothing either way.
  return commandTimeOuts_ != timeOutsBefore ? DockAnswer::Silent : DockAnswer::Busy;
}

bool TDockProtocol::ReadADC() {
  replyKind_ = TReplyKind::rkADC;
  return SendCommand("ADC");
}

int TDockProtocol::BatteryVoltage() {
  QPointer<TDockProtocol> self(this);
  ReadADC();
  if (!self) return 0;
  // The 3rd and 4th bytes after "ACK", high byte first; stored reversed.
  const unsigned v = LittleEndian16At(adcData_, 4);
  return static_cast<int>((v * 300u) / 768u);
}

bool TDockProtocol::SendDisconnect() {
  replyKind_ = TReplyKind::rkNone;
  return SendCommand("DSC");
}

bool TDockProtocol::SendPSS(int value1, int value2) {
  if (!model_.hasPSS) return false;
  replyKind_ = TReplyKind::rkNone;
  if (value1 > 100) value1 = 100;
  return SendCommand("PSS" + Chr(value1) + Chr(value2));
}

// --- control input ----------------------------------------------------------

qsizetype TDockProtocol::ReportLength(char code, QByteArrayView following) const {
  switch (code) {
    case '3':
    case '7':
    case 'D':
      return 1;
    case '8':
      if (following.isEmpty()) return kLengthNotYetKnown;
      return 1 + static_cast<quint8>(following[0]);
    case '0': case '1': case '2': case '4': case '5': case '6': case 'C':
      return 0;
    default:
      return ModelReportLength(code, following);
  }
}

void TDockProtocol::ParseControlReply(const QByteArray& input) {
  if (input.isEmpty()) return;
  QPointer<TDockProtocol> self(this);
  Raise(OnDebugRcvControlData, this, input);
  if (!self) return;
  DecodedDockInput decoded = DecodeDockInput(
      controlResidue_, input, [this](char code, QByteArrayView following) { return ReportLength(code, following); });
  controlResidue_ = decoded.leftOver;
  ++controlDepth_;
  const auto leave = qScopeGuard([&] {
    if (self) --controlDepth_;
  });

  // Reports go behind data that is still held back, so that everything the
  // dock sent is handed on in the order it arrived.
  for (const DockEventReport& report : decoded.events) {
    if (!inbox_.isEmpty() || controlDepth_ > kMaxControlNesting) {
      if (heldEvents_ < kMaxHeldEvents) {
        ++heldEvents_;
        inbox_.append(InboxItem{InboxItem::Kind::Event, report.code, report.parameters});
      } else if (!heldEventsDropSaid_) {
        heldEventsDropSaid_ = true;
        DebugLine(QStringLiteral("  Event reports beyond %1 held dropped").arg(kMaxHeldEvents));
        if (!self) return;
      }
      continue;
    }
    HandleEventReport(report);
    if (!self) return;
    ProcessMessages();
    if (!self) return;
  }
  PostDeferred();

  // The reply is for the command waiting now: it is taken at once.
  if (decoded.reply != DockReply::None) ++replies_;
  switch (decoded.reply) {
    case DockReply::Ack:
      TakeAck(decoded.replyData);
      break;
    case DockReply::Nak:
      commandStatus_ = TCommandStatus::csFailed;
      break;
    case DockReply::None:
      break;
  }
}

void TDockProtocol::TakeAck(const QByteArray& data) {
  commandTimer_.SetEnabled(false);
  commandStatus_ = TCommandStatus::csAcked;
  switch (replyKind_) {
    case TReplyKind::rkADC:
      // Reversed; bytes the reply does not have stay zero.
      adcData_.fill(0);
      for (int i = 0; i < 8 && i < data.size(); ++i) adcData_[7 - i] = static_cast<quint8>(data[i]);
      break;
    case TReplyKind::rkSlaveMode:
      slaveBusy_ = !data.isEmpty() && data[0] == 'B';
      break;
    case TReplyKind::rkLCDText:
      lcdReadBack_ = data.left(kLcdWidth);
      break;
    case TReplyKind::rkNone:
      break;
  }
}

void TDockProtocol::HandleEventReport(const DockEventReport& report) {
  EventParameters parameters(report.parameters, 0);
  QPointer<TDockProtocol> self(this);
  // The debug line follows the event, and only when it has a handler.
  const auto notify = [&](const TNotifyEvent& event, const char* line) {
    const bool assigned = static_cast<bool>(event);
    Raise(event, this);
    if (self && assigned && line && model_.debugLines) DebugLine(QLatin1String(line));
  };
  // Every report comes with all its parameter bytes: the bytes below are there.
  quint8 byte = 0;
  switch (report.code) {
    case '0':
      return notify(OnPumpLowFlow, nullptr);
    case '1':
      instrumentPresent_ = true;
      return notify(OnInstrumentConnected, "Instrument Connected Event");
    case '2':
      instrumentPresent_ = false;
      ++goneReports_;
      return notify(OnInstrumentDisconnected, nullptr);
    case '3':
      parameters.TakeByte(&byte);
      testResult_ = byte;
      RaiseTestCompleted(byte);
      return;
    case '4':
      return notify(OnDeviceInRange, "Instrument In Range Event");
    case '5':
      return notify(OnDeviceRemoved, nullptr);
    case '6':
      return notify(OnFailedToConnect, nullptr);
    case '7': {
      parameters.TakeByte(&byte);
      dockState_ = byte;
      const bool assigned = RaiseStateChange(byte);
      const QString name = StateName(byte);
      if (self && assigned && model_.debugLines && !name.isEmpty()) DebugLine(QStringLiteral("Dock State : ") + name);
      return;
    }
    case '8':
      Raise(OnDebugMessage, this, report.parameters.mid(1));
      return;
    case 'C':
      return notify(OnMultipleTCPConnections, nullptr);
    case 'D':
      parameters.TakeByte(&byte);
      Raise(OnEmailDelivered, this, byte == '1');
      return;
    default:
      HandleModelEvent(report.code, parameters);
      return;
  }
}

void TDockProtocol::InstrumentLost() {
  // After whatever the dock sent before it went.
  if (!inbox_.isEmpty()) {
    inbox_.append(InboxItem{InboxItem::Kind::Lost, 0, {}});
    PostDeferred();
    return;
  }
  RaiseInstrumentLost();
}

void TDockProtocol::RaiseInstrumentLost() {
  // The dock went away with the instrument in it: as far as the link can
  // know, the instrument has gone.
  QPointer<TDockProtocol> self(this);
  if (instrumentPresent_) {
    instrumentPresent_ = false;
    Raise(OnInstrumentDisconnected, this);
  }
  if (self) Raise(OnDockLost, this);
}

// --- data channel -----------------------------------------------------------

bool TDockProtocol::SendStr(const QByteArray& data) {
  QPointer<TDockProtocol> self(this);
  bool result = false;
  if (data.size() > kMaxMessage) {
    ShowMessage(QStringLiteral("Error, Message too long!"));
  } else if (Enabled()) {
    RaiseDebugSndUserData(data);
    if (!self) return false;
    ++sendDepth_;
    Channels().WriteData(data);
    if (!self) return false;
    --sendDepth_;
    result = Enabled();
  } else {
    ShowMessage(QStringLiteral("Send Error, Dock not Enabled!"));
  }
  if (!self) return false;
  if (model_.debugLines)
    DebugLine(result ? QStringLiteral("  SendStr Result = True") : QStringLiteral("  SendStr Result = False"));
  if (self) PostDeferred();
  return result;
}

void TDockProtocol::DeliverUserData(const QByteArray& data) {
  if (data.isEmpty()) return;
  if (sendDepth_ > 0 || !inbox_.isEmpty()) {
    const qsizetype room = kMaxHeldData - heldData_;
    if (data.size() > room && !heldDataDropSaid_) {
      heldDataDropSaid_ = true;
      QPointer<TDockProtocol> self(this);
      DebugLine(QStringLiteral("  Data beyond a reply's size dropped"));
      if (!self) return;
    }
    if (room <= 0) return;
    const QByteArray held = data.left(room);
    heldData_ += held.size();
    inbox_.append(InboxItem{InboxItem::Kind::Data, 0, held});  // after what came first
    PostDeferred();
    return;
  }
  Raise(OnRcvUserData, this, data);
}

void TDockProtocol::PostDeferred() {
  if (sendDepth_ > 0 || inbox_.isEmpty() || deliveryPosted_) return;
  deliveryPosted_ = true;
  QMetaObject::invokeMethod(this, [this] { DeliverDeferred(); }, Qt::QueuedConnection);
}

void TDockProtocol::DeliverDeferred() {
  deliveryPosted_ = false;
  if (delivering_) return;
  QPointer<TDockProtocol> self(this);
  delivering_ = true;
  const auto done = qScopeGuard([&] {
    if (self) delivering_ = false;
  });
  while (self && sendDepth_ == 0 && !inbox_.isEmpty()) {
    const InboxItem item = inbox_.takeFirst();
    switch (item.kind) {
      case InboxItem::Kind::Data:
        heldData_ -= item.bytes.size();
        Raise(OnRcvUserData, this, item.bytes);
        break;
      case InboxItem::Kind::Event:
        --heldEvents_;
        HandleEventReport({item.code, item.bytes});
        if (self) ProcessMessages();
        break;
      case InboxItem::Kind::Lost:
        RaiseInstrumentLost();
        break;
    }
  }
}

}  // namespace zelvo
