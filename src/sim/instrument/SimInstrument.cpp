#include "sim/instrument/SimInstrument.h"

#include <QStringList>
#include <QtEndian>
#include <cmath>

#include "core/Timer.h"
#include "sim/FirmwareMaker.h"

namespace zelvo::sim {

namespace {
QByteArray Ack(const QByteArray& data = {}) { return "ACK" + data; }
}  // namespace

bool ParseInstrumentOption(const QString& key, const QString& value, SimInstrumentConfig& config, SimFaults& faults,
                           bool* ok, QString* range) {
  // A numeric item: its value within its range, else the range said.
  const auto number = [&](NumberRange r, int* field) {
    *ok = ParseNumber(value, r, field);
    if (!*ok) *range = r.Text();
  };
  *ok = true;
  if (key == QLatin1String("kind")) number(kKindRange, &config.kind);
  else if (key == QLatin1String("version")) config.version = value.toLatin1();
  else if (key == QLatin1String("type")) config.type = value.isEmpty() ? QByteArray(" ") : value.toLatin1().left(1);
  else if (key == QLatin1String("restart")) {
    const double seconds = value.toDouble(ok);
    *ok = *ok && seconds >= kRestartRangeS.min && seconds <= kRestartRangeS.max;
    if (*ok) config.restartMs = static_cast<int>(std::lround(seconds * 1000));
    else *range = kRestartRangeS.Text();
  } else if (key == QLatin1String("delay")) number(kReplyDelayRangeMs, &faults.replyDelayMs);
  else if (key == QLatin1String("wrong-ack-at")) number(kPageRange, &faults.wrongAckAtPage);
  else if (key == QLatin1String("no-ack-at")) number(kPageRange, &faults.noAckAtPage);
  else if (key == QLatin1String("drop-at")) number(kPageRange, &faults.dropLinkAtPage);
  else if (key == QLatin1String("silent-at")) number(kPageRange, &faults.silentFromPage);
  else if (key == QLatin1String("split")) number(kSplitRange, &faults.splitReplies);
  else if (key == QLatin1String("pfm-nak")) faults.pfmWithoutAckBye = true;
  else if (key == QLatin1String("silent")) faults.silent = true;
  else if (key == QLatin1String("noise")) faults.noise = true;
  else if (key == QLatin1String("no-take")) faults.noTake = true;
  else if (key == QLatin1String("no-restart")) faults.noRestart = true;
  else return false;
  return true;
}

bool ParseSimulationOptions(const QString& text, SimInstrumentConfig& config, SimFaults& faults, QString* error) {
  for (const QString& item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    const QString key = item.section(QLatin1Char('='), 0, 0).trimmed();
    const QString value = item.section(QLatin1Char('='), 1).trimmed();
    bool ok = true;
    QString range;
    if (!ParseInstrumentOption(key, value, config, faults, &ok, &range) || !ok) {
      *error = QStringLiteral("bad simulation option: %1").arg(item);
      if (!range.isEmpty()) *error += QStringLiteral(" (%1)").arg(range);
      return false;
    }
  }
  return true;
}

bool LooksLikeSimulationOptions(const QString& text) {
  static const QStringList flags = {"pfm-nak", "silent", "noise", "no-take", "no-restart"};
  for (const QString& item : text.split(QLatin1Char(',')))
    if (item.contains(QLatin1Char('=')) || flags.contains(item)) return true;
  return false;
}

SimInstrument::SimInstrument(SimInstrumentConfig config, SimFaults faults)
    : config_(std::move(config)),
      faults_(faults),
      commands_({"ENQ", "WHO", "RSC", "VFL", "FLV", "STB", "WEP", "WAE", "PFM"}),
      image_(65536, '\0'),
      loader_(512, '\0'),
      restart_(std::make_unique<TTimer>()) {
  restart_->OnTimer = [this](QObject*) {
    restart_->SetEnabled(false);
    if (!faults_.noTake) {
      // The firmware it now holds, read in the layout of the generation it
      // was sent for.
      const FirmwareIdentity identity = ReadFirmwareIdentity(RebuiltImage(), IsNG());
      config_.version = identity.version;
      config_.type = identity.type;
    }
    restarting_ = false;
    ++restarts_;
    if (OnBack) OnBack();
  };
}

SimInstrument::~SimInstrument() = default;

bool SimInstrument::IsNG() const { return config_.version.toDouble() >= 9.0; }

SimInstrument::Outcome SimInstrument::Handle(const QByteArray& message) {
  const QByteArray command = message.left(3);
  commands_.Add(command, command);
  if (faults_.silent || silenced_ || restarting_) return {Action::Silent, {}};

  if (command == "ENQ") return {Action::Reply, Ack()};
  if (command == "WHO") return {Action::Reply, Ack(QByteArray::number(config_.kind))};
  if (command == "RSC") {
    char seconds[4];
    qToLittleEndian<quint32>(config_.powerOnSeconds, seconds);
    return {Action::Reply, Ack(QByteArray(seconds, 4))};
  }
  if (command == "VFL") return {Action::Reply, Ack(config_.version)};
  if (command == "FLV") return {Action::Reply, Ack(config_.type.left(1))};
  if (command == "STB") {
    stoodBy_ = true;
    return {Action::Reply, "ACKBYE"};
  }
  if (command == "WEP" && message.size() >= 5) {
    const int page = (static_cast<unsigned char>(message[3]) << 8) | static_cast<unsigned char>(message[4]);
    if (page == faults_.dropLinkAtPage) return {Action::DropLink, {}};
    if (page == faults_.noAckAtPage) return {Action::Silent, {}};
    if (page == faults_.silentFromPage) {
      silenced_ = true;
      return {Action::Silent, {}};
    }
    const QByteArray payload = message.mid(5);
    const int step = PageStep();
    if (payload.size() != step + 2) {
      ++pageLengthErrors_;
    } else {
      quint16 sum = 0;
      for (int i = 0; i < step; ++i) sum = static_cast<quint16>(sum + static_cast<unsigned char>(payload[i]));
      const quint16 sent = static_cast<quint16>((static_cast<unsigned char>(payload[step]) << 8) |
                                                static_cast<unsigned char>(payload[step + 1]));
      if (sum != sent) ++pageSumErrors_;
      const qsizetype at = static_cast<qsizetype>(page) * step;
      if (at + step <= image_.size()) image_.replace(at, step, payload.left(step));
      ++pagesReceived_;
    }
    const int acked = page == faults_.wrongAckAtPage ? page + 2 : page;
    return {Action::Reply, Ack(QByteArray(1, static_cast<char>(acked >> 8)) + QByteArray(1, static_cast<char>(acked)))};
  }
  if (command == "WAE" && message.size() >= 4) {
    const int index = static_cast<unsigned char>(message[3]);
    loaderIndexes_.Append(index);
    const int chunk = index - 3;
    if (chunk >= 0 && chunk < 4) loader_.replace(chunk * 128, 128, message.mid(4, 128).leftJustified(128, '\0', true));
    return {Action::Reply, Ack()};
  }
  if (command == "PFM") {
    if (faults_.pfmWithoutAckBye) return {Action::Reply, "NAK"};
    programmed_ = true;
    restarting_ = true;
    // A restart time of 0 still comes back after the reply has gone out.
    if (!faults_.noRestart) {
      restart_->SetInterval(qMax(1, config_.restartMs));
      restart_->SetEnabled(true);
    }
    return {Action::Reply, "ACKBYE"};
  }
  return {Action::Reply, "NAK"};
}

}  // namespace zelvo::sim
