#pragma once
// One instrument's run, from Start to its end: the one owner of the upload
// workflow (UploadSession), its three window timers, the bounds a front end
// puts on it and the restart check after it. Above the instrument component
// only the job takes the link's and the instrument's events; a front end
// (the window, zelvoflash flash, fleet, identify) renders the job's events
// and answers its requests, and decides nothing from the messages on the
// link.
//
// The job runs on events and timers alone, without a wait of its own: a
// front end runs it inside its event loop, a test on the manual clock.

#include <QByteArray>
#include <QObject>
#include <functional>
#include <memory>
#include <optional>

#include "core/Timer.h"
#include "session/RestartWatch.h"
#include "session/UploadSession.h"

namespace zelvo {

class IUploadDock;
class TKelLink;
class TZelvoPro;

// Where a run is. One value: the job's own steps, the session's steps as the
// job sees them.
enum class JobState {
  Idle,        // not started
  Connecting,  // the link opening, the instrument awaited
  Identified,  // the instrument answered; the file is being checked, questions asked
  Uploading,   // pages
  Loader,      // the NG flash loader
  Programming, // the program command sent
  Releasing,   // the job's own release ("STB") under way
  Restarting,  // the check after a completed upload
  Ended,
};

// What ended a run before its session did, when something did: a bound of
// the job's, a refusal, the dock, the front end.
enum class JobStop {
  None,                   // the session's result names the ending
  IdentifyLimit,          // identification did not complete within the limit
  StallLimit,             // the upload made no progress within the limit
  SlaveModeRefused,       // the dock did not accept slave mode
  WrongPageAcknowledged,  // the instrument acknowledged another page
  LoaderChunkRefused,     // the instrument did not accept a part of the flash loader
  Refused,                // the session refused the instrument or the file (the result says why)
  Interrupted,            // a signal
  GivenUp,                // the front end gave the run up (its dock has gone)
  Declined,               // the front end declined the instrument identified
  NotUp,                  // identification only: no instrument came up in time
  LinkNotOpened,          // identification only: the link could not be opened
};

// Bounds the job keeps itself (0: none), each reached ending the run with
// the instrument released. Without them the session's own bounds apply, as
// the window shows them.
struct JobLimits {
  int identifyS = 0;  // from the link up to the instrument's answer
  int stallS = 0;     // from the latest move of the upload
  // A dock that refuses slave mode ends the run at once, rather than after
  // the connect time-out.
  bool endOnSlaveModeRefused = false;
  // An upload the instrument halted (a page or a loader part refused) is
  // released with the job's wait and ends as such, rather than with the
  // session's message.
  bool endOnHalt = false;
  // The check after a completed upload: how the instrument is reached again,
  // and the limit counted from the program command's answer. Nothing: no
  // check of the job's.
  struct RestartCheck {
    RestartPath path = RestartPath::Port;
    int limitS = 120;
  };
  std::optional<RestartCheck> restartCheck;
};

struct JobEnding {
  JobStop stop = JobStop::None;  // the first thing that ended the run
  int signal = 0;                // a signal interrupted the run (at any step)
  bool releaseSent = false;      // "STB" went out
  bool releaseAnswered = false;  // and its "ACKBYE" came back
  UploadResult result;
  std::optional<RestartCheckReport> check;  // the job's restart check, when it ran
};

class FlashJob : public QObject {
 public:
  // Release waits: "STB" (5 s) answered and the link down; a few seconds for
  // "ACKBYE" at most after a signal; after identification gave up.
  static constexpr int kReleaseWaitMs = RestartWatch::kReleaseWaitMs;
  static constexpr int kInterruptReleaseMs = 3000;
  static constexpr int kGiveUpReleaseMs = 700;

  struct Setup {
    TZelvoPro* instrument = nullptr;
    TKelLink* link = nullptr;
    IUploadDock* dock = nullptr;  // the dock at hand, if any
    JobLimits limits;
    // The window's timers, when it has them: the job's own otherwise.
    TTimer* tmrInstrCon = nullptr;
    TTimer* tmrInstrDisc = nullptr;
    TTimer* tmrDockLCDUpd = nullptr;
  };
  explicit FlashJob(Setup setup, QObject* owner = nullptr);
  ~FlashJob() override;

  // Dock path and file, as the session takes them.
  void SetUseDock(bool useDock) { session_->SetUseDock(useDock); }
  void SetDockAddress(const QString& address) { session_->SetDockAddress(address); }
  void SetFlashFileReader(FlashFileReader read) { session_->SetFlashFileReader(std::move(read)); }
  // The window's own restart check after a completed upload (on or off).
  void SetRestartCheck(bool on) { session_->SetRestartCheck(on); }

  // Start pressed: the whole workflow.
  void Start();
  // The instrument identified, then released: nothing written.
  void Identify();
  // The operator's Stop.
  void Stop();
  // The hidden "Load File" button.
  void LoadFile() { session_->cbLoadFileClick(); }
  // The front end ends the run: the instrument is released (waited for at
  // most releaseMs) and the run ends as why. False when its ending was
  // settled already. Raised from inside OnIdentified, the release waits until
  // the instrument's event has returned.
  bool End(JobStop why, int releaseMs);
  // A signal: the run is released and ends as interrupted; a second one ends
  // it at once.
  void Interrupt(int signal);

  JobState State() const { return state_; }
  bool Running() const { return state_ != JobState::Idle && state_ != JobState::Ended; }
  const UploadDisplay& Display() const { return session_->Display(); }
  const UploadResult& Result() const { return identifyOnly_ ? identifyResult_ : session_->Result(); }
  bool UploadInProgress() const { return session_->UploadInProgress(); }
  int ElapsedSeconds() const { return session_->ElapsedSeconds(); }
  // The workflow the job runs (the window's handlers, its display rules).
  UploadSession* Session() const { return session_.get(); }
  // The instrument came up at least once (identification began).
  bool InstrumentCame() const { return instrumentCame_; }
  // Milliseconds from the start of the upload (0 before it), and from the
  // program command's answer (0 before it), on the timers' clock.
  qint64 UploadMs() const;
  qint64 SinceProgramAnsweredMs() const;

  // --- What the job reports ---
  std::function<void(JobState)> OnStateChanged;
  // The instrument answered its identification; End may be called from here.
  std::function<void(const InstrumentIdentity&)> OnIdentified;
  // A file was accepted and its pages are about to be written.
  std::function<void(const UploadResult&)> OnUploadStarted;
  // The upload moved on: the window's gauge, how much of the image is sent
  // (0..1), the page and time labels. Raised from the second page on.
  std::function<void(int percent, double fraction, const QString& page, const QString& time)> OnPageProgress;
  // Every page is written (raised once): the loader or the program command follows.
  std::function<void(int pagesSent)> OnPagesSent;
  // A part of the NG flash loader written (its index, from 0).
  std::function<void(int part)> OnLoaderPart;
  std::function<void()> OnProgramCommandSent;
  // The program command answered: accepted or not.
  std::function<void(bool accepted)> OnProgramAnswered;
  // The job's release waited its time out unanswered: the link is closed next.
  std::function<void()> OnReleaseUnanswered;
  // A line of the restart check's progress.
  std::function<void(const QString&)> OnRestartProgress;
  // The restart check's question was answered (a front end takes a signal
  // that cut it short first).
  std::function<void()> OnQuestionAnswered;
  // Every message on the link, as the debug trace shows it.
  std::function<void(bool sent, const QByteArray& data)> OnTrace;
  // The window's display changed; Start pressed and confirmed (its trace is
  // emptied).
  std::function<void()> OnDisplayChanged;
  std::function<void()> OnClearTrace;
  // Raised once per run, last.
  std::function<void(const JobEnding&)> OnEnded;

 private:
  void Bind();
  void BindIdentifyOnly();
  void SetState(JobState state);
  void Release(int releaseMs);
  void ArmRelease(int ms);
  void HurryRelease(int ms);
  void ArmStall(qint64 ms);
  void IdentificationBegins();
  void ReleaseTimedOut();
  void Identified();
  void UploadMoved(int position, int total);
  void ConnectionStep(bool uploading);
  void SessionFinished(UploadOutcome outcome);
  void StallCheck();
  void StartRestartCheck();
  void Finish();
  void StopTimers();

  TZelvoPro* instrument_;
  TKelLink* link_;
  IUploadDock* dock_;
  const JobLimits limits_;
  TTimer ownTimers_[3];
  TTimer* tmrInstrCon_;
  TTimer* tmrInstrDisc_;
  TTimer* tmrDockLCDUpd_;
  std::unique_ptr<UploadSession> session_;
  std::unique_ptr<RestartWatch> restartWatch_;
  TTimer identifyTimer_, stallTimer_, releaseTimer_;

  JobState state_ = JobState::Idle;
  JobEnding ending_;
  bool identifyOnly_ = false;
  UploadResult identifyResult_;  // identification only
  bool instrumentCame_ = false;
  bool inIdentified_ = false;  // OnIdentified is being raised
  bool pagesSentShown_ = false;
  double sentFraction_ = 0.0;
  qint64 uploadStartMs_ = -1;
  qint64 lastProgressMs_ = 0;
  qint64 programAnsweredMs_ = -1;
  qint64 releaseDueMs_ = 0;
  qint64 checkWaitedMs_ = 0;  // from the program command's answer to the check's decision
};

}  // namespace zelvo
