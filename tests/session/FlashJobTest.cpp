// The flash job as the command line runs it, on the manual clock: with the
// command's bounds, over the simulated IrDA stack and through the dock
// double; its states, its events once each, and how each run ends. The
// programs' texts, exit codes and JSON are the end-to-end suites' business.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <utility>

#include "DockDouble.h"
#include "support/ScriptedDialogs.h"
#include "instrument/ZelvoPro.h"
#include "link/KelLink.h"
#include "session/FlashJob.h"
#include "sim/instrument/IrdaInstrument.h"
#include "support/Firmware.h"
#include "support/Pump.h"

using namespace zelvo;
using zelvo::test::RunUntil;

namespace {

enum class Via { Irda, Dock };

const char* ViaName(Via via) { return via == Via::Irda ? "irda" : "dock"; }

// The bounds zelvoflash flash puts on a run.
JobLimits CommandLimits() {
  JobLimits limits;
  limits.identifyS = 60;
  limits.stallS = 60;
  limits.endOnSlaveModeRefused = true;
  limits.endOnHalt = true;
  return limits;
}

// One run: its own clock, operator, simulated instrument and job.
struct JobRun {
  // The simulated stack is in place before the link is made.
  explicit JobRun(Via via, const sim::SimInstrumentConfig& config, const sim::SimFaults& faults = {})
      : world(via == Via::Irda ? std::make_unique<sim::SimulatedIrdaWorld>(config, faults) : nullptr),
        docked(via == Via::Dock ? std::make_unique<sim::SimInstrument>(config, faults) : nullptr),
        dock(docked ? std::make_unique<test::DockDouble>(*docked) : nullptr) {
    // The link's search for an instrument in range pauses between looks
    // (an instrument restarting is out of range): the pause passes on the
    // test's clock, a few seconds of it a look.
    if (world) world->Stack().OnEnumerate = [this] { clock.Advance(5000); };
    ApplyDesignTimeValues(link, zelvo);
    if (dock) link.SetKovaExpressDock(dock.get());
    EXPECT_TRUE(RunUntil(clock, [&] { return !link.ReplyTimer()->Enabled(); }, 1000));
  }
  sim::SimInstrument& Instrument() { return world ? world->Instrument() : *docked; }

  // The job started with this file; the routine questions answered Yes.
  void Start(const JobLimits& limits, bool ng, const QByteArray& version) {
    job = std::make_unique<FlashJob>(FlashJob::Setup{&zelvo, &link, dock.get(), limits});
    job->SetUseDock(dock != nullptr);
    const QString firmware = files.Make(ng, version);
    job->SetFlashFileReader([bytes = test::FileBytes(firmware)](const QString&) { return bytes; });
    dialogs.SetDefaultQuestionAnswer(MsgResult::Yes);
    dialogs.AnswerFile(firmware);
    job->OnStateChanged = [this](JobState state) { states.append(state); };
    job->OnPagesSent = [this](int pages) { pagesSent.append(pages); };
    job->OnLoaderPart = [this](int part) { loaderParts.append(part); };
    job->OnProgramAnswered = [this](bool accepted) { programAnswers.append(accepted); };
    job->OnReleaseUnanswered = [this] { ++releasesUnanswered; };
    job->OnTrace = [this](bool sent, const QByteArray&) {
      if (sent && firstSentAt < 0) firstSentAt = clock.Now();  // the link is up
    };
    job->OnEnded = [this](const JobEnding& ending) {
      EXPECT_FALSE(ended.has_value()) << "ended twice";
      ended = ending;
      endedAt = clock.Now();
    };
    job->Start();
  }
  bool Ended() {
    return RunUntil(clock, [&] { return ended.has_value(); });
  }
  bool AtPage(int page) {
    return RunUntil(clock, [&] { return job->Result().pagesAcknowledged >= page; });
  }
  // Nothing is left running: the link down, the job's timers off.
  bool Settled() {
    return RunUntil(clock, [&] { return !link.Connected(); }, 10000);
  }

  ManualClock clock;
  ScriptedDialogs dialogs;
  ScopedDialogs installed{&dialogs};
  test::FirmwareFiles files;
  std::unique_ptr<sim::SimulatedIrdaWorld> world;
  std::unique_ptr<sim::SimInstrument> docked;
  std::unique_ptr<test::DockDouble> dock;
  TKelLink link;
  TZelvoPro zelvo;
  std::unique_ptr<FlashJob> job;
  QList<JobState> states;
  QList<int> pagesSent, loaderParts;
  QList<bool> programAnswers;
  int releasesUnanswered = 0;
  qint64 firstSentAt = -1, endedAt = -1;
  std::optional<JobEnding> ended;
};

}  // namespace

// Whole NG and classic uploads: the states in order, every page and each
// part of the loader reported once, the program command's answer, a result
// that says completed and no release of the job's own.
TEST(FlashJob, AWholeUploadReportsEachStepOnce) {
  for (const Via via : {Via::Irda, Via::Dock}) {
    for (const bool ng : {true, false}) {
      SCOPED_TRACE(std::string(ViaName(via)) + (ng ? " NG" : " classic"));
      JobRun run(via, {9, ng ? "9.05" : "7.61", "A", 0});
      run.Start(CommandLimits(), ng, ng ? "9.12" : "7.62");
      ASSERT_TRUE(run.Ended());
      const JobEnding& e = *run.ended;
      EXPECT_EQ(e.stop, JobStop::None);
      EXPECT_EQ(e.signal, 0);
      EXPECT_FALSE(e.releaseSent);
      EXPECT_EQ(e.result.outcome, UploadOutcome::Completed);
      EXPECT_EQ(e.result.pagesSent, ng ? 391 : 521);
      EXPECT_EQ(e.result.loaderChunksSent, ng ? 4 : 0);
      EXPECT_EQ(e.result.instrument.InstFlashVersion, ng ? "9.05" : "7.61");
      QList<JobState> steps{JobState::Connecting, JobState::Identified, JobState::Uploading};
      if (ng) steps << JobState::Loader;
      steps << JobState::Programming << JobState::Ended;
      EXPECT_EQ(run.states, steps);
      EXPECT_EQ(run.pagesSent, QList<int>{ng ? 391 : 521});
      EXPECT_EQ(run.loaderParts, ng ? (QList<int>{0, 1, 2, 3}) : QList<int>{});
      EXPECT_EQ(run.programAnswers, QList<bool>{true});
      EXPECT_EQ(run.Instrument().CountOf("PFM"), 1);
      EXPECT_FALSE(run.job->Running());
    }
  }
}

// A signal in the middle of the pages: "STB" goes out, its "ACKBYE" is
// taken and the run ends interrupted; a second signal ends the wait for it
// at once.
TEST(FlashJob, ASignalReleasesTheInstrument) {
  for (const Via via : {Via::Irda, Via::Dock}) {
    for (const int signals : {1, 2}) {
      SCOPED_TRACE(std::string(ViaName(via)) + " signals " + std::to_string(signals));
      JobRun run(via, {9, "9.05", "A", 0});
      run.Start(CommandLimits(), true, "9.12");
      ASSERT_TRUE(run.AtPage(40));
      for (int i = 0; i < signals; ++i) run.job->Interrupt(2);
      ASSERT_TRUE(run.Ended());
      const JobEnding& e = *run.ended;
      EXPECT_EQ(e.stop, JobStop::Interrupted);
      EXPECT_EQ(e.signal, 2);
      EXPECT_TRUE(e.releaseSent);
      EXPECT_EQ(e.releaseAnswered, signals == 1);
      EXPECT_LT(e.result.pagesSent, 391);
      EXPECT_EQ(run.Instrument().CountOf("STB"), signals == 1 ? 1 : run.Instrument().CountOf("STB"));
      EXPECT_EQ(run.releasesUnanswered, 0);
      EXPECT_TRUE(run.states.contains(JobState::Releasing));
      if (signals == 2) run.link.CloseLink();
      EXPECT_TRUE(run.Settled());
    }
  }
}

// The command's bounds, and the failures it ends at once, each with the
// instrument released where it was up; a front end ending the run from the
// identification (a fleet's instrument already up to date) or giving it up
// (its dock gone).
TEST(FlashJob, TheCommandsBoundsAndAFrontEndEndTheRun) {
  struct Case {
    const char* name;
    Via via;
    sim::SimFaults faults;
    JobLimits limits;
    JobStop ending;  // what the front end ends the run with, if anything
    JobStop stop;
    bool releaseAnswered;
    int pages;  // pages written, at most
    int endsWithinMs = 0;  // of the link coming up (0: not looked at)
  };
  JobLimits quick = CommandLimits();
  quick.identifyS = 5;
  quick.stallS = 5;
  sim::SimFaults silent, noAck, wrongAck;
  silent.silent = true;
  noAck.noAckAtPage = 5;
  wrongAck.wrongAckAtPage = 5;
  const Case cases[] = {
      // The limit, then a short release: not "STB"'s own 5 s.
      {"a silent instrument", Via::Irda, silent, quick, JobStop::None, JobStop::IdentifyLimit, false, 0, 6000},
      {"a page never answered", Via::Irda, noAck, quick, JobStop::None, JobStop::StallLimit, true, 6},
      {"a page never answered, through a dock", Via::Dock, noAck, quick, JobStop::None, JobStop::StallLimit, true, 6},
      {"another page acknowledged", Via::Irda, wrongAck, quick, JobStop::None, JobStop::WrongPageAcknowledged, true,
       6},
      {"declined once identified", Via::Irda, {}, quick, JobStop::Declined, JobStop::Declined, true, 0},
      {"declined once identified, through a dock", Via::Dock, {}, quick, JobStop::Declined, JobStop::Declined, true,
       0},
      {"given up mid-upload", Via::Dock, {}, quick, JobStop::GivenUp, JobStop::GivenUp, true, 391},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JobRun run(c.via, {9, "9.05", "A", 0}, c.faults);
    run.Start(c.limits, true, "9.12");
    if (c.ending == JobStop::Declined) {
      run.job->OnIdentified = [&](const InstrumentIdentity&) {
        EXPECT_TRUE(run.job->End(JobStop::Declined, FlashJob::kReleaseWaitMs));
      };
    } else if (c.ending == JobStop::GivenUp) {
      ASSERT_TRUE(run.AtPage(20));
      EXPECT_TRUE(run.job->End(JobStop::GivenUp, FlashJob::kGiveUpReleaseMs));
      EXPECT_FALSE(run.job->End(JobStop::Declined, FlashJob::kReleaseWaitMs));  // settled already
    }
    ASSERT_TRUE(run.Ended());
    const JobEnding& e = *run.ended;
    EXPECT_EQ(e.stop, c.stop);
    EXPECT_EQ(e.signal, 0);
    EXPECT_TRUE(e.releaseSent);
    EXPECT_EQ(e.releaseAnswered, c.releaseAnswered);
    EXPECT_EQ(run.releasesUnanswered, c.releaseAnswered ? 0 : 1);
    EXPECT_LE(run.Instrument().CountOf("WEP"), c.pages);
    EXPECT_EQ(run.Instrument().CountOf("PFM"), 0);
    if (c.endsWithinMs) {
      EXPECT_GE(run.endedAt - run.firstSentAt, c.limits.identifyS * 1000);
      EXPECT_LE(run.endedAt - run.firstSentAt, c.endsWithinMs);
    }
    EXPECT_TRUE(run.Settled());
  }
}

// The identification limit counts from the link being up: an operator who
// takes longer than the limit over a question before it still gets the
// instrument identified and flashed.
TEST(FlashJob, TheIdentifyLimitCountsFromTheLinkUp) {
  JobRun run(Via::Irda, {9, "9.05", "A", 0});
  JobLimits limits = CommandLimits();
  limits.identifyS = 1;
  bool slow = true;
  run.dialogs.OnCall = [&](const DialogCall&) {
    if (std::exchange(slow, false)) run.clock.Advance(2500);
  };
  run.Start(limits, true, "9.12");
  ASSERT_TRUE(run.Ended());
  EXPECT_EQ(run.ended->stop, JobStop::None);
  EXPECT_TRUE(run.ended->result.identified);
  EXPECT_EQ(run.ended->result.outcome, UploadOutcome::Completed);
}

// A dock that keeps refusing slave mode ends the run at once, rather than
// after the connect time-out; nothing is addressed.
TEST(FlashJob, ADockRefusingSlaveModeEndsTheRun) {
  JobRun run(Via::Dock, {9, "9.05", "A", 0});
  run.dock->refusesSlaveMode = true;
  run.Start(CommandLimits(), true, "9.12");
  ASSERT_TRUE(run.Ended());
  EXPECT_EQ(run.ended->stop, JobStop::SlaveModeRefused);
  EXPECT_FALSE(run.ended->releaseSent);
  EXPECT_FALSE(run.job->InstrumentCame());
  EXPECT_TRUE(run.dock->sent.isEmpty());
}

// The check after a completed upload (--verify) over the IrDA stack and
// through a dock: the file's version back, the old one back, nothing back
// within the limit, a signal while it waits.
TEST(FlashJob, TheCheckAfterTheUpload) {
  enum class Ending { Passes, NoTake, NoRestart, Interrupted };
  for (const Via via : {Via::Irda, Via::Dock}) {
    for (const Ending ending : {Ending::Passes, Ending::NoTake, Ending::NoRestart, Ending::Interrupted}) {
      SCOPED_TRACE(std::string(ViaName(via)) + " ending " + std::to_string(static_cast<int>(ending)));
      sim::SimFaults faults;
      faults.noTake = ending == Ending::NoTake;
      faults.noRestart = ending == Ending::NoRestart;
      JobRun run(via, {9, "9.05", "A", 0, 1000}, faults);
      JobLimits limits = CommandLimits();
      limits.restartCheck =
          JobLimits::RestartCheck{via == Via::Irda ? RestartPath::IrdaSocket : RestartPath::Dock, 30};
      run.Start(limits, true, "9.12");
      if (ending == Ending::Interrupted) {
        ASSERT_TRUE(RunUntil(run.clock, [&] { return run.job->State() == JobState::Restarting; }));
        run.job->Interrupt(2);
      }
      ASSERT_TRUE(run.Ended());
      const JobEnding& e = *run.ended;
      EXPECT_EQ(e.result.outcome, UploadOutcome::Completed);
      EXPECT_EQ(e.result.pagesSent, 391);
      EXPECT_TRUE(run.states.contains(JobState::Restarting));
      ASSERT_TRUE(e.check.has_value());
      const RestartCheckReport& check = *e.check;
      switch (ending) {
        case Ending::Passes:
        case Ending::NoTake:
          EXPECT_EQ(check.end, RestartCheckReport::End::CameBack);
          EXPECT_EQ(check.version, std::optional<QByteArray>(ending == Ending::Passes ? "9.12" : "9.05"));
          EXPECT_EQ(check.typeLetter, std::optional<QByteArray>("A"));
          EXPECT_GE(check.waitedS, 1.0);  // the instrument's restart
          EXPECT_LT(check.waitedS, 30.0);
          break;
        case Ending::NoRestart:
          EXPECT_EQ(check.end, RestartCheckReport::End::NotBack);
          EXPECT_FALSE(check.version.has_value());
          EXPECT_GE(check.waitedS, 30.0);
          break;
        case Ending::Interrupted:
          EXPECT_EQ(check.end, RestartCheckReport::End::Interrupted);
          EXPECT_EQ(check.signal, 2);
          EXPECT_EQ(e.signal, 2);
          break;
      }
      EXPECT_TRUE(run.Settled());
    }
  }
}
