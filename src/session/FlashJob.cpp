#include "session/FlashJob.h"

#include <QTimer>

#include "instrument/ZelvoPro.h"
#include "link/KelLink.h"

namespace zelvo {

namespace {

// A full interval from now.
void Rearm(TTimer& timer, qint64 ms) {
  timer.SetEnabled(false);
  timer.SetInterval(static_cast<int>(ms));
  timer.SetEnabled(true);
}

}  // namespace

FlashJob::FlashJob(Setup setup, QObject* owner)
    : QObject(owner),
      instrument_(setup.instrument),
      link_(setup.link),
      dock_(setup.dock),
      limits_(setup.limits),
      tmrInstrCon_(setup.tmrInstrCon ? setup.tmrInstrCon : &ownTimers_[0]),
      tmrInstrDisc_(setup.tmrInstrDisc ? setup.tmrInstrDisc : &ownTimers_[1]),
      tmrDockLCDUpd_(setup.tmrDockLCDUpd ? setup.tmrDockLCDUpd : &ownTimers_[2]) {
  if (!setup.tmrInstrCon) tmrInstrCon_->SetInterval(100);
  if (!setup.tmrInstrDisc) tmrInstrDisc_->SetInterval(100);
  if (!setup.tmrDockLCDUpd) tmrDockLCDUpd_->SetInterval(1000);
  session_ = std::make_unique<UploadSession>(instrument_, link_, tmrInstrCon_, tmrInstrDisc_, tmrDockLCDUpd_);
  if (dock_) session_->SetDock(dock_);
  // Bounds of the job's own replace the session's, with their own release
  // waits.
  if (limits_.identifyS > 0 || limits_.stallS > 0) {
    session_->SetIdentifyLimit(0);
    session_->SetStallLimit(0);
  }
  Bind();
}

FlashJob::~FlashJob() {
  StopTimers();
  // The watch gives the link's and the instrument's events back before the
  // session that bound them goes.
  restartWatch_.reset();
}

void FlashJob::Bind() {
  for (TTimer* timer : {&identifyTimer_, &stallTimer_, &releaseTimer_}) timer->SetEnabled(false);
  identifyTimer_.OnTimer = [this](QObject*) {
    identifyTimer_.SetEnabled(false);
    End(JobStop::IdentifyLimit, kGiveUpReleaseMs);
  };
  stallTimer_.OnTimer = [this](QObject*) { StallCheck(); };
  releaseTimer_.OnTimer = [this](QObject*) { ReleaseTimedOut(); };

  session_->OnFinished = [this](UploadOutcome outcome) { SessionFinished(outcome); };
  session_->OnConnectionStep = [this](bool uploading) { ConnectionStep(uploading); };
  session_->OnClearTrace = [this] {
    if (OnClearTrace) OnClearTrace();
  };
  session_->OnDisplayChanged = [this] {
    if (OnDisplayChanged) OnDisplayChanged();
    const UploadDisplay& d = session_->Display();
    if (OnPageProgress && session_->UploadInProgress() && ending_.stop == JobStop::None && d.stopEnabled &&
        session_->Result().pagesSent > 1)
      OnPageProgress(d.progress, sentFraction_, d.page, UploadSession::TimeText(session_->ElapsedSeconds()));
  };
  session_->OnIdentifying = [this] { IdentificationBegins(); };
  session_->OnIdentified = [this] { Identified(); };
  session_->OnUploadMoved = [this](int position, int total) { UploadMoved(position, total); };
  session_->OnProgramAnswered = [this](int error) {
    if (error <= 0) programAnsweredMs_ = TimerClockMs();  // the instrument restarts from here
    if (OnProgramAnswered) OnProgramAnswered(error <= 0);
  };
  if (limits_.endOnHalt) {
    // Shown once already by the component; the job ends the run its way.
    session_->HaltHandler = [this](UploadHalt halt) {
      const JobStop why =
          halt == UploadHalt::WrongPageAcknowledged ? JobStop::WrongPageAcknowledged : JobStop::LoaderChunkRefused;
      QTimer::singleShot(0, this, [this, why] { End(why, kReleaseWaitMs); });
    };
  }
  if (limits_.endOnSlaveModeRefused) {
    // The instrument cannot be reached through this dock; waiting for the
    // connect time-out would tell nothing more.
    link_->OnSlaveModeRefused = [this](QObject*) {
      QTimer::singleShot(0, this, [this] { End(JobStop::SlaveModeRefused, kReleaseWaitMs); });
    };
  }
  link_->OnDebugSend = [this](QObject*, const QByteArray& data) {
    if (OnTrace) OnTrace(true, data);
  };
  link_->OnDebugReceive = [this](QObject*, const QByteArray& data) {
    if (OnTrace) OnTrace(false, data);
  };
  // The sequence's steps, as they are written.
  const auto pagesDone = [this] {
    if (pagesSentShown_) return;
    pagesSentShown_ = true;
    if (OnPagesSent) OnPagesSent(Result().pagesSent);
  };
  instrument_->OnLoaderChunkSent = [this, pagesDone](QObject*, int part) {
    pagesDone();
    if (state_ == JobState::Uploading) SetState(JobState::Loader);
    if (OnLoaderPart) OnLoaderPart(part);
  };
  instrument_->OnProgramCommandSent = [this, pagesDone](QObject*) {
    pagesDone();
    if (state_ == JobState::Uploading || state_ == JobState::Loader) SetState(JobState::Programming);
    if (OnProgramCommandSent) OnProgramCommandSent();
  };
  instrument_->OnStandbySent = [this](QObject*) { ending_.releaseSent = true; };
  instrument_->OnStandbyAnswered = [this](QObject*) {
    if (ending_.releaseSent) ending_.releaseAnswered = true;
  };
}

// Identification alone needs none of the workflow: the instrument's and the
// link's events are the job's.
void FlashJob::BindIdentifyOnly() {
  session_->OnIdentifying = nullptr;
  instrument_->OnTimeOut = nullptr;
  instrument_->OnIdentifying = [this](QObject*) { IdentificationBegins(); };
  link_->OnTimeOut = [this](QObject*, quint16) {
    if (ending_.stop == JobStop::None) ending_.stop = JobStop::NotUp;
    Finish();
  };
  link_->OnOpenFailed = [this](QObject*) {  // it has said why
    if (ending_.stop == JobStop::None) ending_.stop = JobStop::LinkNotOpened;
    Finish();
  };
  instrument_->OnIsOnline = [this](QObject*, bool online) {
    if (!online) return Finish();
    if (identifyResult_.identified) return;
    identifyResult_.identified = true;
    identifyResult_.instrument = instrument_->Identity();
    identifyTimer_.SetEnabled(false);
    link_->OnTimeOut = nullptr;
    SetState(JobState::Identified);
    if (OnIdentified) OnIdentified(identifyResult_.instrument);
    if (ending_.stop == JobStop::None && !ending_.signal) Release(kReleaseWaitMs);
  };
}

void FlashJob::SetState(JobState state) {
  if (state == state_) return;
  state_ = state;
  if (OnStateChanged) OnStateChanged(state);
}

// A Start while a run is not over is the session's to refuse: that run's
// values stay.
void FlashJob::Start() {
  if (!Running()) {
    ending_ = JobEnding{};
    instrumentCame_ = false;
    pagesSentShown_ = false;
    sentFraction_ = 0.0;
    uploadStartMs_ = -1;
    programAnsweredMs_ = -1;
    SetState(JobState::Connecting);
  }
  session_->cbStartClick();
}

void FlashJob::Identify() {
  if (Running()) return;
  identifyOnly_ = true;
  ending_ = JobEnding{};
  identifyResult_ = UploadResult{};
  BindIdentifyOnly();
  SetState(JobState::Connecting);
  instrument_->SetOnline(true);
}

void FlashJob::Stop() { session_->cbStopClick(); }

bool FlashJob::End(JobStop why, int releaseMs) {
  if (ending_.stop != JobStop::None || state_ == JobState::Ended) return false;
  ending_.stop = why;
  identifyTimer_.SetEnabled(false);
  stallTimer_.SetEnabled(false);
  if (state_ == JobState::Restarting) {
    restartWatch_->GiveUp(RestartCheckReport::End::NotBack, releaseMs);
  } else if (inIdentified_) {
    // Released once the instrument's event has returned.
    QTimer::singleShot(0, this, [this, releaseMs] { Release(releaseMs); });
  } else {
    Release(releaseMs);
  }
  return true;
}

// The instrument is released with "STB" while the link is up, then waited
// for (at most releaseMs) to go down.
void FlashJob::Release(int releaseMs) {
  if (state_ == JobState::Ended) return;
  identifyTimer_.SetEnabled(false);
  stallTimer_.SetEnabled(false);
  // A connection step still to come (the instrument has only just been
  // identified) does not come: nothing is asked and no page is written to
  // an instrument being released, while its release waits (through a
  // network dock the "STB" alone takes the dock's pause).
  tmrInstrCon_->SetEnabled(false);
  const bool up = link_->Connected();
  if (up) SetState(JobState::Releasing);
  if (identifyOnly_) {
    if (up) instrument_->SetOnline(false);  // "STB"
  } else {
    session_->cbStopClick();  // while connecting: the opening given up, a dock's unanswered command too
  }
  if (!up) return Finish();
  ArmRelease(releaseMs);
}

void FlashJob::ArmRelease(int ms) {
  releaseTimer_.SetEnabled(false);
  if (state_ == JobState::Ended) return;  // the release ended the run at once
  Rearm(releaseTimer_, ms);
  releaseDueMs_ = TimerClockMs() + ms;
}

void FlashJob::HurryRelease(int ms) {
  if (releaseTimer_.Enabled() && releaseDueMs_ - TimerClockMs() > ms) ArmRelease(ms);
}

void FlashJob::ReleaseTimedOut() {
  releaseTimer_.SetEnabled(false);
  if (OnReleaseUnanswered) OnReleaseUnanswered();
  link_->CloseLink();
  Finish();
}

void FlashJob::Interrupt(int signal) {
  if (state_ == JobState::Ended) return;
  if (state_ == JobState::Idle) {  // before the start: nothing is addressed
    ending_.signal = signal;
    ending_.stop = JobStop::Interrupted;
    return Finish();
  }
  if (ending_.signal) return Finish();  // a second signal: stop waiting for the instrument
  ending_.signal = signal;
  if (state_ == JobState::Restarting) {
    restartWatch_->GiveUp(RestartCheckReport::End::Interrupted, kInterruptReleaseMs);
    return;
  }
  if (End(JobStop::Interrupted, kInterruptReleaseMs)) return;
  // Already releasing: wait no longer than an interruption allows.
  HurryRelease(kInterruptReleaseMs);
}

void FlashJob::Identified() {
  identifyTimer_.SetEnabled(false);
  SetState(JobState::Identified);
  inIdentified_ = true;
  if (OnIdentified) OnIdentified(instrument_->Identity());
  inIdentified_ = false;
}

void FlashJob::UploadMoved(int position, int total) {
  if (total > 0) sentFraction_ = static_cast<double>(position) / total;
  // The stall limit counts from the latest progress; its timer is not
  // re-armed for every page (it looks at the time itself when it runs out).
  if (limits_.stallS > 0 && session_->UploadInProgress() && ending_.stop == JobStop::None) {
    lastProgressMs_ = TimerClockMs();
    if (!stallTimer_.Enabled()) ArmStall(limits_.stallS * 1000);
  }
}

void FlashJob::ArmStall(qint64 ms) { Rearm(stallTimer_, ms); }

// Identification is given its time from the moment the link is up.
void FlashJob::IdentificationBegins() {
  instrumentCame_ = true;
  if (limits_.identifyS > 0 && ending_.stop == JobStop::None && !Result().identified)
    Rearm(identifyTimer_, limits_.identifyS * 1000LL);
}

void FlashJob::StallCheck() {
  stallTimer_.SetEnabled(false);
  const qint64 left = limits_.stallS * 1000LL - (TimerClockMs() - lastProgressMs_);
  if (left > 0) return ArmStall(left);
  End(JobStop::StallLimit, kReleaseWaitMs);
}

void FlashJob::ConnectionStep(bool uploading) {
  identifyTimer_.SetEnabled(false);
  if (uploading) {
    uploadStartMs_ = lastProgressMs_ = TimerClockMs();
    if (limits_.stallS > 0) ArmStall(limits_.stallS * 1000LL);
    SetState(JobState::Uploading);
    if (OnUploadStarted) OnUploadStarted(session_->Result());
    return;
  }
  if (ending_.stop != JobStop::None) return;
  // Refused, or no file accepted: the session has released the instrument.
  // Without a refusal the instrument went away, and the session ends the run.
  if (session_->Result().refusal != RunRefusal::None) ending_.stop = JobStop::Refused;
  ArmRelease(kReleaseWaitMs);
}

void FlashJob::SessionFinished(UploadOutcome outcome) {
  if (state_ == JobState::Ended) return;
  if (limits_.restartCheck && outcome == UploadOutcome::Completed && ending_.stop == JobStop::None &&
      !ending_.signal)
    return StartRestartCheck();
  Finish();
}

// The completed upload checked: the instrument waited for through its
// restart, then identified and released.
void FlashJob::StartRestartCheck() {
  identifyTimer_.SetEnabled(false);
  stallTimer_.SetEnabled(false);
  releaseTimer_.SetEnabled(false);
  SetState(JobState::Restarting);
  checkWaitedMs_ = 0;
  restartWatch_ = std::make_unique<RestartWatch>(instrument_, link_);
  restartWatch_->OnProgress = [this](const QString& line) {
    if (OnRestartProgress) OnRestartProgress(line);
  };
  restartWatch_->OnDecided = [this] { checkWaitedMs_ = SinceProgramAnsweredMs(); };
  restartWatch_->OnQuestionAnswered = [this] {
    if (OnQuestionAnswered) OnQuestionAnswered();
  };
  restartWatch_->OnEnded = [this](const RestartCheckReport&) { Finish(); };
  restartWatch_->Start(limits_.restartCheck->path, qint64{limits_.restartCheck->limitS} * 1000 - SinceProgramAnsweredMs());
}

void FlashJob::Finish() {
  if (state_ == JobState::Ended) return;
  // The job's own waits end with it: the link they would act on may be gone
  // before the job is (a fleet's dock frees it for the wait that follows).
  StopTimers();
  if (restartWatch_) {
    RestartCheckReport report = restartWatch_->Report();
    report.waitedS = checkWaitedMs_ / 100 / 10.0;
    if (ending_.signal) {
      report.signal = ending_.signal;
      report.end = RestartCheckReport::End::Interrupted;
    }
    ending_.check = report;
  }
  ending_.result = Result();
  SetState(JobState::Ended);
  if (OnEnded) OnEnded(ending_);
}

void FlashJob::StopTimers() {
  identifyTimer_.SetEnabled(false);
  stallTimer_.SetEnabled(false);
  releaseTimer_.SetEnabled(false);
}

qint64 FlashJob::UploadMs() const { return uploadStartMs_ < 0 ? 0 : TimerClockMs() - uploadStartMs_; }

qint64 FlashJob::SinceProgramAnsweredMs() const {
  return programAnsweredMs_ < 0 ? 0 : TimerClockMs() - programAnsweredMs_;
}

}  // namespace zelvo
