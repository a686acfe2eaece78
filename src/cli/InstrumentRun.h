#pragma once
// One instrument's upload on an open connection: the window's upload
// workflow driven by the command line's options, with the command's own
// bounds on identification and progress, the release on a failure or an
// interruption, and the check after a completed upload (--verify). zelvoflash
// flash runs one; zelvoflash fleet runs one per instrument put in each dock.

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "cli/Connection.h"
#include "cli/Outcome.h"
#include "cli/RestartCheck.h"
#include "core/Timer.h"
#include "session/UploadSession.h"

namespace zelvo {
class TFlashFile;
}  // namespace zelvo

namespace zelvo::cli {

class Interrupts;
class TerminalDialogs;

// What a run shows as it goes, however the front end shows it.
class RunOutput {
 public:
  virtual ~RunOutput() = default;
  // One line about the run ("instrument: ...", "releasing the instrument").
  virtual void Say(const QString& text) = 0;
  // Upload progress: percent is the window's gauge, fraction how much of the
  // image has been sent (0..1).
  virtual void Progress(int percent, double fraction, const QString& page, const QString& time) = 0;
  // Every page is sent; true when this call showed it (the first time).
  virtual bool PagesDone(const QString& what) = 0;
  // Something else (an operator message) is about to be printed.
  virtual void StepAside() {}
  // The instrument answered its identification.
  virtual void Identified(const InstrumentIdentity& /*instrument*/) {}
};

class InstrumentRun {
 public:
  struct Setup {
    const CommandOptions* options = nullptr;
    const TFlashFile* file = nullptr;  // the firmware file named on the command line, read
    Connection* connection = nullptr;  // open, with its instrument
    Interrupts* interrupts = nullptr;
    TerminalDialogs* dialogs = nullptr;  // installed for the run's thread
    TraceFile* trace = nullptr;          // nothing: no trace
    RunOutput* output = nullptr;
    // Decides, once the instrument is identified, whether the run ends there
    // (the instrument released, nothing written) rather than go on.
    std::function<std::optional<RunEnding>(const InstrumentIdentity&)> vet;
  };
  explicit InstrumentRun(Setup setup);
  ~InstrumentRun();
  InstrumentRun(const InstrumentRun&) = delete;
  InstrumentRun& operator=(const InstrumentRun&) = delete;

  // Runs the upload (and the check) to its end.
  RunEnding Exec();
  // Ends the run from outside (the dock has gone) as a failure with why,
  // unless its ending is settled already; the instrument is released if it
  // can still be reached.
  void GiveUp(const QString& why);
  // An instrument was there: the link came up at least once.
  bool InstrumentCame() const { return instrumentCame_; }
  // The session's result so far (empty before Exec).
  UploadResult Result() const;
  // Seconds from the start of the upload, 0 before it.
  double UploadSeconds() const;
  // The check after the upload, once it ran.
  const std::optional<RestartCheckReport>& Check() const { return verify_; }

 private:
  void Wire();
  void Fail(Outcome outcome, const QString& why, int releaseMs);
  void Interrupt(int signal);
  // One trace line, and a word when it reaches the cap of this run.
  void Trace(bool sent, const QByteArray& data);
  void Sent(const QByteArray& data);
  void Received(const QByteArray& data);
  void ConnectionStep(bool started);
  void ShowProgress();
  RunEnding Verify();

  Setup setup_;
  const CommandOptions& options_;
  Instrument* instrument_;
  TTimer tmrInstrCon_, tmrInstrDisc_, tmrDockLCDUpd_;
  std::unique_ptr<UploadSession> session_;
  QEventLoop loop_;
  QTimer identifyTimer_, stallTimer_, releaseTimer_;

  // How the run ends, when that was settled before the session ended it: a
  // failure of the command's own, or a refusal being released.
  std::optional<RunEnding> ending_;
  bool instrumentCame_ = false;
  bool interrupted_ = false;
  bool stbSent_ = false;
  bool released_ = false;  // "ACKBYE" after "STB"
  double sentFraction_ = 0.0;
  QElapsedTimer uploadClock_;
  QElapsedTimer lastProgress_;  // since the upload last moved on
  QElapsedTimer restartClock_;  // from the "ACKBYE" to the program command
  std::optional<RestartCheckReport> verify_;
};

// The record of --json and --log for an ending and its exit status: of the
// run, or (run null) of a command that ended before any instrument was
// addressed. started: when the command (or the run) began.
QJsonObject RunRecord(const CommandOptions& options, const TFlashFile& file, const InstrumentRun* run,
                      const RunEnding& ending, int exitCode, const QString& started);

// The firmware file, read before any instrument is addressed: it must be
// readable and of one of the two layouts. False with why set when not.
bool CheckFirmware(const QString& path, TFlashFile& file, QString* why);

}  // namespace zelvo::cli
