#pragma once
// One instrument's upload on an open connection: the window's upload
// workflow driven by the command line's options, with the command's own
// bounds on identification and progress, the release on a failure or an
// interruption, and the check after a completed upload (--verify). zelvoflash
// flash runs one; zelvoflash fleet runs one per instrument put in each dock.

#include <QJsonObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "cli/Connection.h"
#include "cli/Outcome.h"
#include "core/MessagePump.h"
#include "session/FlashJob.h"

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
  bool InstrumentCame() const { return job_ && job_->InstrumentCame(); }
  // The job's result so far (empty before Exec).
  UploadResult Result() const;
  // Seconds from the start of the upload, 0 before it.
  double UploadSeconds() const;
  // The check after the upload, once it ran.
  const std::optional<RestartCheckReport>& Check() const { return check_; }

 private:
  void Wire();
  // The ending of a job ended, in the command's terms.
  RunEnding EndingOf(const JobEnding& ended) const;
  QString StopText(JobStop stop, const JobEnding& ended) const;
  // One trace line, and a word when it reaches the cap of this run.
  void Trace(bool sent, const QByteArray& data);

  Setup setup_;
  const CommandOptions& options_;
  Instrument* instrument_;
  std::unique_ptr<FlashJob> job_;
  MessageLoop loop_;
  std::optional<JobEnding> ended_;
  // The endings the command settled itself: the instrument declined (vet),
  // the dock gone.
  std::optional<RunEnding> declined_;
  QString gaveUp_;
  bool pagesShown_ = false;  // the output showed every page sent
  std::optional<RestartCheckReport> check_;
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
