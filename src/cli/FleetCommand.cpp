// zelvoflash fleet: every dock given flashes the instrument put in it, all
// docks at once and each independently of the others.
//
// Each dock's session runs on a thread of its own with its own event loop:
// the dock, the link, the instrument component, their timers and sockets are
// created there, and the nested waits of one dock (the network dock's pause
// after each data send, a command's wait for its reply) handle that dock's
// events only. The operator dialogs service is installed per thread. The main
// thread watches Ctrl-C, hands it to every dock, and prints what the docks
// report: one live line per dock on a terminal, one line per event otherwise,
// a record per instrument and the summary at the end.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "cli/Commands.h"
#include "cli/Connection.h"
#include "cli/Docks.h"
#include "cli/InstrumentRun.h"
#include "cli/Platform.h"
#include "cli/Interrupt.h"
#include "cli/Outcome.h"
#include "cli/Report.h"
#include "cli/TerminalDialogs.h"
#include "core/MessagePump.h"
#include "dock/DockKinds.h"
#include "dock/DockProtocol.h"
#include "dock/DockWatch.h"
#include "instrument/FlashFile.h"
#include "session/RestartWatch.h"
#include "sim/dock/SimulatedWorld.h"
#include "usb/UsbBackend.h"

namespace zelvo::cli {

namespace {

struct FleetDock {
  TransportOption transport;
  QString label;  // the dock as given: its address, or "usb:N"
};

// What the docks report, shown on the main thread. Every call may come from
// any dock's thread; it is queued to the main thread, in order per dock.
class FleetBoard : public QObject {
 public:
  FleetBoard(const Console& console, const CommandOptions& options, const QList<FleetDock>& docks,
             const QByteArray& fileVersion)
      : console_(console), options_(options), fileVersion_(PrintableText(fileVersion)) {
    for (const FleetDock& dock : docks) {
      lines_.emplace_back();
      lines_.back().label = dock.label;
    }
    for (const Line& line : lines_) labelWidth_ = std::max(labelWidth_, static_cast<int>(line.label.size()));
    redraw_.setSingleShot(true);
    redraw_.setInterval(100);  // a live line is redrawn at most ten times a second
    QObject::connect(&redraw_, &QTimer::timeout, this, [this] { Draw(); });
  }

  void Event(int dock, const QString& text) {
    Post([this, dock, text] {
      Line& line = lines_[dock];
      line.state = text;
      if (console_.outputTerminal) return Dirty();
      Print(QStringLiteral("%1: %2").arg(line.label, text));
    });
  }
  void Identified(int dock, const InstrumentIdentity& instrument) {
    const QString text = QStringLiteral("%1 %2 -> %3")
                             .arg(QLatin1String(FamilyName(instrument.InstrumentKind)),
                                  PrintableText(instrument.InstFlashVersion).trimmed(), fileVersion_);
    Post([this, dock, text] {
      lines_[dock].instrument = text;
      lines_[dock].progress.clear();
      Dirty();
    });
  }
  void Progress(int dock, int percent, const QString& page, const QString& time) {
    Post([this, dock, percent, page, time] {
      Line& line = lines_[dock];
      constexpr int kWidth = 20;
      const int filled = percent * kWidth / 100;
      line.progress = QStringLiteral("[%1%2] %3%  %4  %5")
                          .arg(QString(filled, QLatin1Char('#')), QString(kWidth - filled, QLatin1Char('.')))
                          .arg(percent, 3)
                          .arg(page, time);
      if (console_.outputTerminal) return Dirty();
      const int decile = percent / 10;
      if (decile == line.lastDecile) return;
      line.lastDecile = decile;
      Print(QStringLiteral("%1: %2%  %3  %4").arg(line.label).arg(percent, 3).arg(page, time));
    });
  }
  // One instrument's record; counted as completed, interrupted or failed.
  void Record(int dock, const QJsonObject& record, Outcome outcome) {
    Post([this, dock, record, outcome] {
      Line& line = lines_[dock];
      (outcome == Outcome::Completed     ? line.completed
       : outcome == Outcome::Interrupted ? line.interrupted
                                         : line.failed) += 1;
      line.lastDecile = -1;
      const QByteArray text = JsonLine(record);
      if (options_.json) {
        StepAside();
        std::fprintf(console_.result, "%s\n", text.constData());
        std::fflush(console_.result);
        Dirty();
      }
      if (!options_.logFile.isEmpty()) {
        QString error;
        if (!AppendRecordLine(options_.logFile, text, &error)) {
          Print(QStringLiteral("zelvoflash: ") + error, true);
          recordLost_ = true;
        }
      }
    });
  }
  // The dock can be used no more (it could not be opened, or went away).
  void DockEnded(int dock, const QString& why) {
    Post([this, dock, why] {
      Line& line = lines_[dock];
      line.ended = why;
      line.state = why;
      if (console_.outputTerminal) return Dirty();
      Print(QStringLiteral("%1: %2").arg(line.label, why), true);
    });
  }

  // An instrument failed, a dock ended early or a service record was lost.
  bool AnyFailed() const {
    return recordLost_ || std::any_of(lines_.begin(), lines_.end(),
                                      [](const Line& l) { return l.failed > 0 || !l.ended.isEmpty(); });
  }

  // Per dock: instruments completed and failed (and interrupted, if any),
  // and why a dock ended early.
  void Summary() {
    Draw();
    StepAside();
    for (const Line& line : lines_) {
      QString text = QStringLiteral("zelvoflash: dock %1: %2 completed, %3 failed")
                         .arg(line.label)
                         .arg(line.completed)
                         .arg(line.failed);
      if (line.interrupted) text += QStringLiteral(", %1 interrupted").arg(line.interrupted);
      if (!line.ended.isEmpty()) text += QStringLiteral(" (") + line.ended + QLatin1Char(')');
      std::fprintf(console_.out, "%s\n", qPrintable(TerminalText(text)));
    }
    std::fflush(console_.out);
  }

 private:
  struct Line {
    QString label;
    QString instrument;
    QString progress;
    QString state = QStringLiteral("opening the dock");
    QString ended;
    int completed = 0;
    int failed = 0;
    int interrupted = 0;
    int lastDecile = -1;
  };

  void Post(std::function<void()> fn) { QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection); }

  void Dirty() {
    if (console_.outputTerminal && !redraw_.isActive()) redraw_.start();
  }

  void Print(const QString& text, bool error = false) {
    StepAside();
    std::FILE* to = error ? console_.err : console_.out;
    std::fprintf(to, "%s\n", qPrintable(TerminalText(text)));
    std::fflush(to);
  }

  // The live lines are redrawn in place: the cursor goes back up over them.
  void Draw() {
    if (!console_.outputTerminal) return;
    const int width = TerminalWidth();
    if (drawn_) std::fprintf(console_.out, "\033[%zuA", lines_.size());
    for (const Line& line : lines_) {
      QString text = TerminalText(QStringLiteral("%1  %2  %3  %4")
                                      .arg(line.label.leftJustified(labelWidth_), line.instrument.leftJustified(24),
                                           line.progress.leftJustified(50), line.state));
      if (text.size() >= width) text.truncate(width - 1);
      std::fprintf(console_.out, "\r\033[K%s\n", qPrintable(text));
    }
    std::fflush(console_.out);
    drawn_ = true;
  }

  // Other output goes below the live lines, which are drawn again after it.
  void StepAside() { drawn_ = false; }

  int TerminalWidth() const {
    const int columns = TerminalColumns(console_.out);
    return columns > 20 ? columns : 120;
  }

  const Console& console_;
  const CommandOptions& options_;
  const QString fileVersion_;
  std::vector<Line> lines_;
  int labelWidth_ = 0;
  QTimer redraw_;
  bool drawn_ = false;
  bool recordLost_ = false;
};

// One dock's run's lines, to the board.
class DockOutput final : public RunOutput {
 public:
  DockOutput(FleetBoard& board, int dock) : board_(board), dock_(dock) {}
  void Say(const QString& text) override { board_.Event(dock_, text); }
  // Every page moves the upload on; the board hears of it at each tenth of
  // the upload (the lines printed without a terminal) and otherwise at most
  // twice a second (the live line): each report wakes the main thread, and
  // with many docks the wake-ups add up.
  void Progress(int percent, double, const QString& page, const QString& time) override {
    constexpr qint64 kShownEveryMs = 500;
    if (percent / 10 == shownDecile_ && shown_.isValid() && shown_.elapsed() < kShownEveryMs) return;
    shownDecile_ = percent / 10;
    shown_.start();
    board_.Progress(dock_, percent, page, time);
  }
  bool PagesDone(const QString& what) override {
    if (pagesDone_) return false;
    pagesDone_ = true;
    board_.Progress(dock_, 100, what, QString());
    return true;
  }
  void Identified(const InstrumentIdentity& instrument) override {
    identifiedAt_ = LocalTimestamp();
    board_.Identified(dock_, instrument);
  }
  // When the instrument put in answered; empty before.
  const QString& IdentifiedAt() const { return identifiedAt_; }

 private:
  FleetBoard& board_;
  const int dock_;
  bool pagesDone_ = false;
  int shownDecile_ = -1;
  QElapsedTimer shown_;  // since the board last heard of the progress
  QString identifiedAt_;
};

// One dock's session, on its own thread: the dock opened, then one
// instrument after another until it is told to stop (--once: after one).
// A dock that goes away is opened again when it is back (--once: its
// instrument counts as failed and the dock's part ends).
class DockWorker : public QThread {
 public:
  DockWorker(int index, const FleetDock& dock, const CommandOptions& options, const TFlashFile& file,
             FleetBoard& board, TraceFile* trace)
      : index_(index), label_(dock.label), board_(board), file_(file), trace_(trace), options_(options) {
    options_.transport = dock.transport;
    relay_.moveToThread(this);
  }

  // Any thread: the dock's session hears of the signal on its own thread.
  void Interrupt(int signal) {
    QMetaObject::invokeMethod(&relay_, [this, signal] {
      stopSignal_ = signal;
      interrupts_.Raise(signal);
    }, Qt::QueuedConnection);
  }
  bool Interrupted() const { return stopSignal_ != 0; }

  // The dock waits for an instrument to be put in for as long as it takes.
  static constexpr int kUntilPutIn = 0;
  // Pauses before the dock is tried again: 1 s, doubling up to 10 s.
  static constexpr int kFirstRetryMs = 1000;
  static constexpr int kLastRetryMs = 10000;

 protected:
  void run() override {
    TerminalDialogs openDialogs(Policy(), stdout, stderr, stdin);
    openDialogs.PrintLine = [this](bool, const QString& line) { board_.Event(index_, line); };
    std::optional<ScopedDialogs> installed(std::in_place, &openDialogs);  // a dock being opened may have something to say
    Connection connection;
    QString why;
    if (!connection.Open(options_, &why, kUntilPutIn)) {
      board_.DockEnded(index_, why);
      return;
    }
    installed.reset();
    TDockProtocol* dock = connection.transport.Dock();
    DockWatch watch(*dock, [&connection] { return connection.instrument && connection.instrument->link.Connected(); });
    watch.OnLost = [this](const QString& lost) {
      if (current_) current_->GiveUp(UnreachableText(lost));
      if (waiting_) waiting_->Quit();
    };
    for (bool first = true; !Interrupted(); first = false) {
      if (watch.Lost()) {
        // The instrument in it, if any, has its record.
        if (options_.once) {
          board_.DockEnded(index_, UnreachableText(watch.Why()));
          break;
        }
        installed.emplace(&openDialogs);
        const bool back = Reconnect(connection, watch);
        installed.reset();
        if (!back) break;
      } else if (!first) {
        connection.Renew(options_, kUntilPutIn);  // a link of its own for each instrument
      }
      if (Interrupted()) break;
      board_.Event(index_, QStringLiteral("waiting for an instrument"));
      TerminalDialogs dialogs(Policy(), stdout, stderr, stdin);
      dialogs.SetFirmwareFile(options_.firmware);
      dialogs.PrintLine = [this](bool, const QString& line) { board_.Event(index_, line); };
      ScopedDialogs runDialogs(&dialogs);
      DockOutput output(board_, index_);
      const QString waitingSince = LocalTimestamp();
      int goneReportsAtIdentification = 0;
      InstrumentRun run({&options_, &file_, &connection, &interrupts_, &dialogs, trace_, &output,
                         [&](const InstrumentIdentity& instrument) {
                           goneReportsAtIdentification = dock->InstrumentGoneReports();
                           return UpToDate(instrument);
                         }});
      current_ = &run;
      const RunEnding ending = run.Exec();
      current_ = nullptr;
      if (!run.InstrumentCame()) {
        if (Interrupted()) break;
        // Nothing was put in: the dock went away (it is asked whether it is
        // still there: the run's own commands may have gone unanswered), or
        // it cannot be used.
        watch.CheckNow();
        if (watch.Lost()) continue;
        board_.DockEnded(index_, ending.message);
        break;
      }
      const UploadResult result = run.Result();
      // Nothing written to an instrument that runs the file's firmware: up to
      // date, even when an interruption cut its release short.
      if (ending.outcome == Outcome::UpToDate ||
          (result.identified && result.pagesSent == 0 && UpToDate(result.instrument))) {
        board_.Event(index_, EndingText(ending) + QStringLiteral("; not flashed"));
        if (options_.once) break;
        if (!watch.Lost()) WaitForRemoval(connection, goneReportsAtIdentification);
        continue;
      }
      board_.Event(index_, EndingText(ending));
      // The instrument's run started when it was found in the dock.
      const QString started = output.IdentifiedAt().isEmpty() ? waitingSince : output.IdentifiedAt();
      QJsonObject record = RunRecord(options_, file_, &run, ending, ExitCodeOf(ending.outcome), started);
      record.insert("dock", label_);
      board_.Record(index_, record, ending.outcome);
      if (options_.once) break;
      // A refused instrument would be refused again as long as it stays:
      // it is waited out, as one up to date is.
      if (ending.outcome == Outcome::Refused && result.pagesSent == 0) {
        if (!watch.Lost()) WaitForRemoval(connection, goneReportsAtIdentification);
        continue;
      }
      // A failed run may be the dock's doing: it is asked whether it is
      // still there before the next instrument is waited for.
      if (ending.outcome != Outcome::Completed) watch.CheckNow();
    }
  }

 private:
  TerminalDialogs::Policy Policy() const { return {options_.yes, options_.force, false}; }

  static QString UnreachableText(const QString& why) {
    return QStringLiteral("the dock can no longer be reached: ") + why;
  }

  // The dock tried again, with growing pauses, until it is back and answers
  // (true) or the run is interrupted (false). Said once each way.
  bool Reconnect(Connection& connection, DockWatch& watch) {
    board_.Event(index_, UnreachableText(watch.Why()));
    TDockProtocol* dock = connection.transport.Dock();
    connection.instrument.reset();  // its link lets go of the dock
    if (dock->Enabled()) dock->SetEnabled(false);  // there but silent
    for (int pause = kFirstRetryMs; Pause(pause); pause = std::min(pause * 2, kLastRetryMs)) {
      QString why;
      if (connection.transport.ReopenDock(&why) && dock->Enquire() == DockAnswer::Answered) {
        watch.Recovered();
        board_.Event(index_, QStringLiteral("the dock answers again"));
        connection.Renew(options_, kUntilPutIn);
        return true;
      }
      if (dock->Enabled()) dock->SetEnabled(false);
    }
    return false;
  }

  // Waits ms, or less when interrupted (false).
  bool Pause(int ms) {
    MessageLoop loop;
    QTimer done;
    done.setSingleShot(true);
    QObject::connect(&done, &QTimer::timeout, [&loop] { loop.Quit(); });
    done.start(ms);
    Wait(loop);
    return !Interrupted();
  }

  // Runs loop until it is quit, the run is interrupted or the dock has gone.
  void Wait(MessageLoop& loop) {
    if (Interrupted()) return;
    const auto previous = interrupts_.OnInterrupt;
    interrupts_.OnInterrupt = [&loop](int) { loop.Quit(); };
    waiting_ = &loop;
    loop.Exec();
    waiting_ = nullptr;
    interrupts_.OnInterrupt = previous;
  }

  // The instrument runs the file's firmware already: nothing to write. So
  // too an instrument back from the restart that ended its own upload.
  std::optional<RunEnding> UpToDate(const InstrumentIdentity& instrument) const {
    if (!SameFirmware(instrument.InstFlashVersion, instrument.InstFlashType, file_.FileFlashVersion(),
                      file_.FileFlashType()))
      return std::nullopt;
    return RunEnding{Outcome::UpToDate,
                     QStringLiteral("the instrument already runs %1")
                         .arg(PrintableText(instrument.InstFlashVersion + ' ' + instrument.InstFlashType).trimmed())};
  }

  // An instrument that was not flashed stays in the dock until it is taken
  // out: the dock is put in slave mode and reports it gone. The reports say
  // nothing of which instrument is in the dock: one taken out and another
  // put in quickly may be told only by the report of the first one gone,
  // arriving at any time since the instrument was identified (also while
  // the run still ended). The release's end of the pass-through ("DSC") is
  // reported as the instrument gone too, once: any report beyond that one
  // ends the wait, and the next run identifies whatever is in the dock.
  void WaitForRemoval(Connection& connection, int goneReportsAtIdentification) {
    TDockProtocol* dock = connection.transport.Dock();
    connection.instrument.reset();  // the dock's events are this wait's
    // The release's "DSC" goes out first.
    QCoreApplication::sendPostedEvents();
    const auto takenOut = [dock, goneReportsAtIdentification] {
      return dock->InstrumentGoneReports() - goneReportsAtIdentification > 1;
    };
    MessageLoop loop;
    dock->OnInstrumentDisconnected = [&loop, &takenOut](QObject*) {
      if (takenOut()) loop.Quit();
    };
    dock->SetLCDLineText(0, " Please Remove  ");
    dock->SetLCDLineText(1, "   Instrument   ");
    bool retry = false;
    dock->SetSlaveMode(true, retry);
    board_.Event(index_, QStringLiteral("take the instrument out of the dock"));
    if (!takenOut() && dock->Enabled()) Wait(loop);
    dock->OnInstrumentDisconnected = nullptr;
  }

  const int index_;
  const QString label_;
  FleetBoard& board_;
  const TFlashFile& file_;
  TraceFile* trace_;
  CommandOptions options_;
  QObject relay_;           // lives on the dock's thread: interruptions reach it there
  Interrupts interrupts_;   // the dock's thread only
  InstrumentRun* current_ = nullptr;  // the run under way
  MessageLoop* waiting_ = nullptr;     // a wait between runs (an instrument taken out, a pause)
  std::atomic<int> stopSignal_{0};
};

// The docks named on the command line, "--dock-usb all" as every USB dock of
// its kind on the bus; simulated docks as the simulated world placed them.
QList<FleetDock> ListDocks(const CommandOptions& options, const sim::SimulatedWorld* world, QString* why) {
  QList<FleetDock> docks;
  const auto add = [&docks](TransportOption transport) {
    const bool net = transport.kind == TransportOption::Kind::DockNet;
    const QString label = net ? transport.dockAddress : QStringLiteral("usb:%1").arg(transport.dockIndex);
    docks.append({std::move(transport), label});
  };
  if (world) {
    for (int i = 0; i < world->DockCount(); ++i) {
      TransportOption transport;
      transport.dockKind = world->Setup().ForDock(i + 1).dock.kind;
      if (world->Via() == sim::SimVia::NetDock) {
        transport.kind = TransportOption::Kind::DockNet;
        transport.dockAddress = world->DockAddress(i);
      } else {
        // The n-th dock of its kind on the bus, as --dock-usb N counts.
        transport.kind = TransportOption::Kind::DockUsb;
        transport.dockIndex = 1 + static_cast<int>(std::count_if(docks.begin(), docks.end(), [&](const FleetDock& d) {
                                return d.transport.dockKind == transport.dockKind;
                              }));
      }
      add(transport);
    }
    return docks;
  }
  for (const TransportOption& given : options.docks) {
    if (given.kind != TransportOption::Kind::DockUsb || given.dockIndex != 0) {
      add(given);
      continue;
    }
    const DockKind kind = given.dockKind;
    const std::optional<QStringList> found =
        CurrentUsbBackend().ListDevices(DeviceTypeGuid(DockModelOf(kind).usbDeviceType));
    if (!found || found->isEmpty()) {
      *why = found ? QStringLiteral("no %1 on the USB bus").arg(DockTitle(kind))
                   : QStringLiteral("USB device enumeration unavailable (%1)").arg(DockTitle(kind));
      return {};
    }
    for (qsizetype n = 1; n <= found->size(); ++n) {
      TransportOption transport = given;
      transport.dockIndex = static_cast<int>(n);
      add(transport);
    }
  }
  return docks;
}

// A trace file name of the dock's own: its label with what a file name
// cannot hold replaced.
QString TraceFileName(const QString& label) {
  QString name = label;
  name.replace(QLatin1Char(':'), QLatin1Char('-'));
  return QStringLiteral("dock-%1.trace").arg(name);
}

}  // namespace

int RunFleet(const CommandOptions& options, const Console& console) {
  const auto usage = [&console](const QString& why) {
    PrintMessage(console.err, why);
    return 2;
  };
  TFlashFile file;
  QString why;
  if (!CheckFirmware(options.firmware, file, &why)) {
    PrintMessage(console.err, why);
    return 1;
  }
  if (!options.logFile.isEmpty() && !CheckRecordFile(options.logFile, &why)) return usage(why);
  std::unique_ptr<sim::SimulatedWorld> world;
  if (options.transport.kind == TransportOption::Kind::Simulate) {
    world = std::make_unique<sim::SimulatedWorld>(options.transport.simulation);
    if (!world->Start(&why)) {
      PrintMessage(console.err, why);
      return 1;
    }
  }
  const QList<FleetDock> docks = ListDocks(options, world.get(), &why);
  if (docks.isEmpty()) {
    PrintMessage(console.err, why);
    return 1;
  }
  std::vector<std::unique_ptr<TraceFile>> traces;
  if (!options.traceDir.isEmpty()) {
    if (!QDir().mkpath(options.traceDir)) return usage(QStringLiteral("cannot make the trace directory %1").arg(options.traceDir));
    for (const FleetDock& dock : docks) {
      traces.push_back(std::make_unique<TraceFile>());
      const QString path = QDir(options.traceDir).filePath(TraceFileName(dock.label));
      if (!traces.back()->Open(path, options.traceFormat, &why)) return usage(why);
    }
  }

  FleetBoard board(console, options, docks, file.FileFlashVersion());
  std::vector<std::unique_ptr<DockWorker>> workers;
  for (qsizetype i = 0; i < docks.size(); ++i)
    workers.push_back(std::make_unique<DockWorker>(static_cast<int>(i), docks[i], options, file, board,
                                                   traces.empty() ? nullptr : traces[i].get()));
  MessageLoop loop;
  int running = static_cast<int>(workers.size());
  for (auto& worker : workers)
    QObject::connect(worker.get(), &QThread::finished, worker.get(), [&] {
      if (--running == 0) loop.Quit();
    });
  int signal = 0;
  InterruptWatch interrupts;
  interrupts.OnInterrupt = [&](int received) {
    signal = received;
    for (auto& worker : workers) worker->Interrupt(received);
  };
  for (auto& worker : workers) worker->start();
  loop.Exec();
  for (auto& worker : workers) worker->wait();
  QCoreApplication::sendPostedEvents(&board);  // the docks' last reports
  board.Summary();
  bool traceLost = false;
  for (const auto& trace : traces) {
    if (trace->Lost().isEmpty()) continue;
    PrintMessage(console.err, trace->Lost());
    traceLost = true;
  }
  if (signal) return Interrupts::kExitInterrupted;
  if (board.AnyFailed()) return 1;
  return traceLost ? kExitRecordLost : 0;
}

}  // namespace zelvo::cli
