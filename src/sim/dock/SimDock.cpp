#include "sim/dock/SimDock.h"

#include <QTimer>
#include <algorithm>

namespace zelvo::sim {

namespace {

// Bytes of a control command, from its first letters.
qsizetype CommandLength(const QByteArray& pending) {
  if (pending.startsWith("LCD")) return 3 + 1 + SimDock::kLcdWidth;
  if (pending.startsWith("PSS")) return 3 + 2;
  if (pending.startsWith("RLC")) return 3 + 1;
  return 3;
}

int PageOf(const QByteArray& message) {
  return (static_cast<unsigned char>(message[3]) << 8) | static_cast<unsigned char>(message[4]);
}

}  // namespace

const QStringList& DockOptionFlags() {
  static const QStringList flags = {"silent-dock", "events-with-reply", "split-dock", "empty-dock"};
  return flags;
}

bool ParseDockOption(const QString& key, const QString& value, SimDockConfig& config, bool* ok, QString* range) {
  const auto number = [&](NumberRange r, int* field) {
    *ok = ParseNumber(value, r, field);
    if (!*ok) *range = r.Text();
  };
  *ok = true;
  SimDockFaults& f = config.faults;
  if (key == QLatin1String("dock")) *ok = ParseDockKind(value, &config.kind);
  else if (key == QLatin1String("gone-after")) number(SimDockConfig::kGoneAfterByeRangeMs, &config.goneAfterByeMs);
  else if (key == QLatin1String("busy")) number(SimDockConfig::kBusyRange, &f.slaveBusyTimes);
  else if (key == QLatin1String("nak")) {
    f.nakCommand = value.toLatin1();
    *ok = !f.nakCommand.isEmpty();
  } else if (key == QLatin1String("silent-dock")) f.silentControl = true;
  else if (key == QLatin1String("remove-at")) number(kPageRange, &f.removeInstrumentAtPage);
  else if (key == QLatin1String("unplug-at")) number(kPageRange, &f.unplugAtPage);
  else if (key == QLatin1String("events-with-reply")) f.eventsWithReply = true;
  else if (key == QLatin1String("split-dock")) f.splitReplies = true;
  else if (key == QLatin1String("empty-dock")) f.empty = true;
  else if (key == QLatin1String("present-every")) number(SimDockConfig::kPresentEveryRangeMs, &f.presentEveryMs);
  else if (key == QLatin1String("flood-at")) number(kPageRange, &f.floodDataAtPage);
  else if (key == QLatin1String("flood-events-at")) number(kPageRange, &f.floodEventsAtPage);
  else if (key == QLatin1String("flood-replies-at")) number(kPageRange, &f.floodRepliesAtPage);
  else if (key == QLatin1String("swap-at-release")) {
    f.swapAtRelease = value.toLatin1();
    *ok = !f.swapAtRelease.isEmpty();
  } else return false;
  return true;
}

SimDock::SimDock(SimInstrument& instrument, SimDockConfig config, QObject* parent)
    : QObject(parent),
      instrument_(instrument),
      config_(std::move(config)),
      commands_({"DSC", "ADC", "SLV", "MST", "LCD", "RLC", "PSS"}),
      instrumentPresent_(!config_.faults.empty),
      busyLeft_(config_.faults.slaveBusyTimes),
      presentTimer_(new QTimer(this)) {
  lcd_.fill(QByteArray(kLcdWidth, ' '));
  presentTimer_->setInterval(config_.faults.presentEveryMs);
  QObject::connect(presentTimer_, &QTimer::timeout, this, [this] {
    if (slave_ && instrumentPresent_ && !config_.faults.silentControl) Deliver("EVT1");
  });
  instrument_.OnBack = [this] {
    if (!restarting_) return;  // not reported gone yet: Restarting puts it back
    restarting_ = false;
    InsertInstrument();
  };
}

// --- control ----------------------------------------------------------------

void SimDock::ControlReceived(const QByteArray& bytes) {
  if (gone_) return;
  controlPending_.append(bytes);
  while (!controlPending_.isEmpty()) {
    const qsizetype length = CommandLength(controlPending_);
    if (controlPending_.size() < length) return;  // the rest comes with the next write
    const QByteArray command = controlPending_.left(length);
    controlPending_.remove(0, length);
    Command(command);
  }
}

void SimDock::Command(const QByteArray& command) {
  commands_.Add(QString::fromLatin1(command), command.left(3));
  log_.Append(QStringLiteral("control ") + QString::fromLatin1(command));
  const QByteArray reply = Answer(command);
  if (config_.faults.silentControl) return;
  QByteArray input = reply;
  if (config_.faults.eventsWithReply) input = QByteArray("EVT4EVT7\x05", 9) + reply;  // in range, a state change
  Deliver(input);
  if (command == "SLV" && slave_ && instrumentPresent_) {
    ReportLater("EVT1");
    if (config_.faults.presentEveryMs > 0) presentTimer_->start();
  }
  if (command == "DSC" && instrumentPresent_) ReportLater("EVT2");
  if (command == "DSC" && !config_.faults.swapAtRelease.isEmpty() && !swapped_) {
    // Out of slave mode: the new instrument is reported only after "SLV".
    swapped_ = true;
    RemoveInstrument();
    instrument_.SetVersion(config_.faults.swapAtRelease);
    InsertInstrument();
  }
}

QByteArray SimDock::Answer(const QByteArray& command) {
  const QByteArray& nak = config_.faults.nakCommand;
  if (!nak.isEmpty() && command.startsWith(nak)) return "NAK";
  const QByteArray name = command.left(3);
  if (name == "SLV") {
    if (busyLeft_ > 0) {
      --busyLeft_;
      return "ACKB";
    }
    slave_ = true;
    // The multi-port dock answers slave mode with a bare "ACK".
    return config_.kind == SimDockKind::MultiPort ? "ACK" : "ACKI";
  }
  if (name == "MST") {
    slave_ = false;
    return "ACKI";
  }
  if (name == "DSC") {
    slave_ = false;
    return "ACK";
  }
  if (name == "LCD") {
    const int line = command[3] - '0';
    if (line < 0 || line > 3) return "NAK";
    lcd_[static_cast<size_t>(line)] = command.mid(4);
    return "ACK";
  }
  if (name == "RLC") {
    const int line = command[3] - '0';
    if (line < 0 || line > 1) return "NAK";
    return "ACK" + lcd_[static_cast<size_t>(line)];
  }
  if (name == "ADC") return QByteArray("ACK\x00\x00\x03\x00\x00\x00\x00\x00", 11);  // battery 3.00 V
  if (name == "PSS") return DockModelOf(config_.kind).hasPSS ? "ACK" : "NAK";
  return "NAK";
}

void SimDock::Deliver(const QByteArray& input) {
  if (gone_ || !SendControl) return;
  if (!config_.faults.splitReplies || input.size() < 2) {
    SendControl(input);
    return;
  }
  // Two reads: the first half now, the rest a moment later.
  const qsizetype half = input.size() / 2;
  SendControl(input.left(half));
  QTimer::singleShot(kEventDelayMs / 2, this, [this, rest = input.mid(half)] {
    if (!gone_ && SendControl) SendControl(rest);
  });
}

void SimDock::ReportLater(const QByteArray& event) {
  QTimer::singleShot(kEventDelayMs, this, [this, event] {
    if (!config_.faults.silentControl) Deliver(event);
  });
}

void SimDock::Restarting() {
  QTimer::singleShot(config_.goneAfterByeMs, this, [this] {
    if (!instrumentPresent_) return;
    RemoveInstrument();
    if (instrument_.Restarting())
      restarting_ = true;  // back in the dock when the instrument is back
    else
      InsertInstrument();  // already back
  });
}

void SimDock::InsertInstrument() {
  instrumentPresent_ = true;
  // The later models tell an instrument put in (the Kova6 dock: waking up).
  if (config_.kind == SimDockKind::MultiPort && !config_.faults.silentControl) Deliver("EVTA");
  if (config_.kind == SimDockKind::Kova6 && !config_.faults.silentControl) Deliver("EVTA0");
  if (slave_) ReportLater("EVT1");
}

void SimDock::ReportGasReading(const QByteArray& reading) {
  qsizetype size = 2;
  if (config_.kind == SimDockKind::MultiPort) size = 8;
  if (config_.kind == SimDockKind::Kova6) size = 14;
  QByteArray bytes = reading.left(size).leftJustified(size, '\0');
  if (config_.kind != SimDockKind::KovaExpress) std::reverse(bytes.begin(), bytes.end());
  Deliver("EVT9" + bytes);
}

bool SimDock::ReportBatteryStatus(bool charged, quint16 voltage) {
  if (config_.kind != SimDockKind::Kova6) return false;
  Deliver(QByteArray("EVTE") + (charged ? 'D' : 'C') + QByteArray::number(voltage, 16).toUpper().rightJustified(4, '0'));
  return true;
}

void SimDock::RemoveInstrument() {
  if (!instrumentPresent_) return;
  instrumentPresent_ = false;
  dataPending_.clear();
  if (!config_.faults.silentControl) Deliver("EVT2");
}

// --- data -------------------------------------------------------------------

qsizetype SimDock::MessageLength() const {
  if (dataPending_.startsWith("WEP")) return 5 + instrument_.PageStep() + 2;
  if (dataPending_.startsWith("WAE")) return 4 + 128;
  static const QList<QByteArray> bare = {"ENQ", "WHO", "RSC", "VFL", "FLV", "STB", "PFM"};
  if (bare.contains(dataPending_.left(3))) return 3;
  return 0;
}

void SimDock::DataReceived(const QByteArray& bytes) {
  if (gone_) return;
  if (!slave_ || !instrumentPresent_) {
    droppedData_ += static_cast<int>(bytes.size());
    return;
  }
  dataPending_.append(bytes);
  while (dataPending_.size() >= 3) {
    qsizetype length = MessageLength();
    if (length == 0) length = dataPending_.size();  // unknown: all of it is one message
    if (dataPending_.size() < length) return;
    const QByteArray message = dataPending_.left(length);
    dataPending_.remove(0, length);
    Message(message);
    if (gone_ || !instrumentPresent_) return;
  }
}

void SimDock::Drained(bool control) {
  // Replies' letters among the noise, as a confused instrument might send;
  // reports that change nothing (the pump's low flow).
  static const QByteArray noise = QByteArray("ACK\x01NAK\x02").repeated(8192);
  static const QByteArray reports = QByteArray("EVT0").repeated(16384);
  if (gone_ || flooding_ == Flood::None || control != (flooding_ != Flood::Data)) return;
  const std::function<void(const QByteArray&)>& send = control ? SendControl : SendData;
  const QByteArray& bytes = flooding_ == Flood::Events ? reports : noise;
  if (!send) return;
  flooded_ += bytes.size();
  send(bytes);
}

void SimDock::Message(const QByteArray& message) {
  log_.Append(QStringLiteral("data ") + QString::fromLatin1(message.left(3)));
  flooding_ = Flood::None;  // the host gave up waiting
  if (message.startsWith("WEP")) {
    const int page = PageOf(message);
    if (page == config_.faults.unplugAtPage) {
      gone_ = true;
      if (GoAway) GoAway();
      return;
    }
    if (page == config_.faults.removeInstrumentAtPage) {
      RemoveInstrument();
      return;
    }
    const Flood flood = page == config_.faults.floodDataAtPage      ? Flood::Data
                        : page == config_.faults.floodEventsAtPage    ? Flood::Events
                        : page == config_.faults.floodRepliesAtPage ? Flood::Replies
                                                                      : Flood::None;
    if (flood != Flood::None) {
      flooding_ = flood;
      Drained(flood != Flood::Data);
      return;
    }
  }
  const SimInstrument::Outcome outcome = instrument_.Handle(message);
  switch (outcome.action) {
    case SimInstrument::Action::Silent:
      return;
    case SimInstrument::Action::DropLink:
      RemoveInstrument();  // out of the dock's reach
      return;
    case SimInstrument::Action::Reply:
      break;
  }
  const int delay = instrument_.Faults().replyDelayMs;
  const bool restarts = message.startsWith("PFM") && outcome.reply.contains("ACKBYE");
  const auto send = [this, reply = outcome.reply, restarts] {
    if (gone_ || !instrumentPresent_ || !SendData) return;
    SendData(reply);
    if (restarts) Restarting();
  };
  if (delay > 0)
    QTimer::singleShot(delay, this, send);
  else
    send();
}

}  // namespace zelvo::sim
