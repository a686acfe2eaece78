#pragma once
// The simulated docking station: the dock's side of the control protocol and
// the pass-through of bare instrument messages to a simulated instrument,
// whatever carries them (the simulated USB bus, or TCP). SimUsbDock and
// SimNetDock connect it to a carrier; the protocol lives here once.
//
// Control: every command of the dock's table is answered "ACK" (with its
// data) or "NAK"; the four LCD lines are kept; "EVT1" is reported once the
// dock is in slave mode with its instrument in it, "EVT2" when the instrument
// is taken out or the pass-through ends ("DSC"). Data: the host's bytes are
// gathered into whole instrument messages (by command and length), handed to
// the instrument, and its bare replies sent back.
//
// Main thread only.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QStringList>
#include <array>
#include <functional>

#include "dock/DockKinds.h"
#include "sim/instrument/CommandRecord.h"
#include "sim/instrument/SimInstrument.h"

namespace zelvo::sim {

// The three dock models differ on the wire only where they must (ports,
// device type, "PSS", the slave-mode reply, the layout of their event
// reports); the sim plays each, with the host's own table of kinds.
using SimDockKind = zelvo::DockKind;
using zelvo::DockKindName;
using zelvo::ParseDockKind;

// Named fault modes of the dock. Page numbers count from 0; -1 is off.
struct SimDockFaults {
  int slaveBusyTimes = 0;           // "SLV" answered busy ("ACKB") this many times
  QByteArray nakCommand;            // this command ("SLV", "LCD2", "PSS", ...) is answered "NAK"
  bool silentControl = false;       // no control reply and no event report at all
  int removeInstrumentAtPage = -1;  // the instrument is taken out when page k arrives
  int unplugAtPage = -1;            // the dock goes away when page k arrives
  bool eventsWithReply = false;     // event reports and the reply in one input
  bool splitReplies = false;        // every control reply cut across two reads
  bool empty = false;               // no instrument in the dock
  int presentEveryMs = 0;           // in slave mode, "EVT1" reported again every MS ms (0: once)
  int floodDataAtPage = -1;         // page k gets no reply: noise on the data channel without pause, up to the next message
  int floodEventsAtPage = -1;       // the same with event reports ("EVT0") on the control channel
  int floodRepliesAtPage = -1;      // the same with replies' letters ("ACK", "NAK") on the control channel
  QByteArray swapAtRelease;         // at the first end of the pass-through ("DSC") the instrument is taken out and
                                    // another running this version put in, before the next "SLV" (empty: off)
};

struct SimDockConfig {
  static constexpr int kGoneAfterByeMs = 30;
  static constexpr NumberRange kGoneAfterByeRangeMs{0, 200};
  static constexpr NumberRange kBusyRange{0, 65535};
  static constexpr NumberRange kPresentEveryRangeMs{1, 3600000};
  SimDockKind kind = SimDockKind::KovaExpress;
  SimDockFaults faults;
  // The instrument restarts once it has answered the program command with
  // "ACKBYE"; the dock reports it gone ("EVT2") this long after that reply,
  // and in the dock again once it is back from its restart (in slave mode,
  // "EVT1" follows the next "SLV").
  int goneAfterByeMs = kGoneAfterByeMs;
};

// Reads one dock option ("dock=kova-express|mp-kova-express|kova6",
// "gone-after=MS", "busy=N", "nak=CMD", "silent-dock", "remove-at=K", "unplug-at=K",
// "events-with-reply", "split-dock", "empty-dock", "present-every=MS", "flood-at=K", "flood-events-at=K",
// "flood-replies-at=K", "swap-at-release=V"). False when the key is not
// a dock option; *ok false when the value is bad, with range set to the
// range a numeric value must lie in (pages as the instrument's).
bool ParseDockOption(const QString& key, const QString& value, SimDockConfig& config, bool* ok, QString* range);
// The dock options that are flags (no value).
const QStringList& DockOptionFlags();

class SimDock : public QObject {
 public:
  static constexpr int kLcdWidth = 16;
  static constexpr int kEventDelayMs = 20;  // an event report follows its cause as its own input

  SimDock(SimInstrument& instrument, SimDockConfig config, QObject* parent = nullptr);

  // --- from the host ---
  // Control-channel bytes, in any cutting (a command may span calls).
  void ControlReceived(const QByteArray& bytes);
  // Data-channel bytes, in any cutting.
  void DataReceived(const QByteArray& bytes);

  // --- to the host (set by the carrier) ---
  // One control input: the carrier delivers it as one read or arrival.
  std::function<void(const QByteArray&)> SendControl;
  // One instrument reply on the data channel.
  std::function<void(const QByteArray&)> SendData;
  // The carrier has sent all it was given on a channel: a flood on it goes
  // on. The network dock calls it; over the simulated USB bus a flood is one
  // burst.
  void Drained(bool control);
  // The dock goes away (fault mode): the carrier unplugs or drops the
  // connections.
  std::function<void()> GoAway;

  // --- what happened ---
  const SimDockConfig& Config() const { return config_; }
  SimInstrument& Instrument() { return instrument_; }
  // The latest control commands (the last RecentEntries::kKept), as text.
  QStringList Commands() const { return commands_.Recent(); }
  qint64 CommandsReceived() const { return commands_.Total(); }  // in all
  // Both channels in order of arrival, the latest entries: "control SLV",
  // "data ENQ" (a data message by its first three letters).
  QStringList Log() const { return log_.List(); }
  // How many times the control command named (its three letters: "SLV",
  // "LCD", ...) arrived in all.
  int CountOf(const QString& name) const { return commands_.CountOf(name.toLatin1()); }
  QByteArray LcdLine(int line) const { return lcd_.at(static_cast<size_t>(line & 3)); }
  bool Slave() const { return slave_; }
  bool InstrumentPresent() const { return instrumentPresent_; }
  // Data bytes that arrived while the instrument could not be reached.
  int DroppedDataBytes() const { return droppedData_; }
  // Bytes sent by the flood faults.
  qint64 FloodedBytes() const { return flooded_; }

  // --- the world around the dock (tests) ---
  void InsertInstrument();
  void RemoveInstrument();
  // An unprompted control input (a test's event report).
  void Report(const QByteArray& input) { Deliver(input); }
  // A gas reading in the kind's layout: the Kova Express dock sends the
  // first two bytes (a big-endian value), the multi-port dock 8 bytes and
  // the Kova6 dock 14 bytes, reversed (missing bytes are zero).
  void ReportGasReading(const QByteArray& reading);
  // The Kova6 dock's battery report: "C" (charging) or "D" (charged) and
  // the voltage in four hexadecimal digits. False, nothing sent, for the
  // other kinds.
  bool ReportBatteryStatus(bool charged, quint16 voltage);

 private:
  void Command(const QByteArray& command);
  QByteArray Answer(const QByteArray& command);
  void Deliver(const QByteArray& input);
  void ReportLater(const QByteArray& event);
  // The instrument answered the program command and restarts.
  void Restarting();
  void Message(const QByteArray& message);
  // Bytes of the instrument message that begins pending_, or 0 when unknown.
  qsizetype MessageLength() const;

  SimInstrument& instrument_;
  SimDockConfig config_;
  QByteArray controlPending_;
  QByteArray dataPending_;
  CommandRecord<QString> commands_;
  RecentEntries<QString> log_;
  std::array<QByteArray, 4> lcd_;
  bool slave_ = false;
  bool instrumentPresent_ = true;
  bool gone_ = false;
  bool restarting_ = false;  // reported gone for the restart, until the instrument is back
  bool swapped_ = false;     // swap-at-release done
  int busyLeft_ = 0;
  int droppedData_ = 0;
  enum class Flood { None, Data, Events, Replies } flooding_ = Flood::None;
  qint64 flooded_ = 0;
  QTimer* presentTimer_;  // the repeated "EVT1" of the fault mode
};

}  // namespace zelvo::sim
