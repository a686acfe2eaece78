// The window's upload workflow end to end: the window with the scripted
// operator, the link over the simulated IrDA stack, the simulated instrument.

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>

#include <QTemporaryDir>
#include <memory>

#include "app/WindowTestSupport.h"
#include "link/IrCommPort.h"
#include "link/SerialOnlySystem.h"
#include "net/SocketErrors.h"
#include "sim/instrument/IrdaInstrument.h"

using namespace zelvo;
using namespace zelvo::upload_text;
using zelvo::test::RunUntil;

namespace {

class UploadWorkflow : public test::WindowWorkflow {
 protected:
  ~UploadWorkflow() override { CloseWindow(); }

  void Open(const sim::SimInstrumentConfig& config, const sim::SimFaults& faults = {}) {
    world_ = std::make_unique<sim::SimulatedIrdaWorld>(config, faults);
    OpenWindow();
  }

  QString Firmware(bool ng, const QByteArray& version, char type = 'A') { return files_.Make(ng, version, type); }
  sim::SimInstrument& Instrument() { return world_->Instrument(); }

  // Every run over infrared starts with the erase warning and the IrDA message.
  ScriptedDialogs& ExpectStart() { return test::ExpectRunStart(dialogs_, Prompt::IrdaMode); }
  ScriptedDialogs& ExpectUpload(const QString& file, const QString& version) {
    return test::ExpectUpload(dialogs_, Prompt::IrdaMode, file, version);
  }

  // The technician brings the instrument back once it has restarted.
  void AnswerOnceRestarted() {
    dialogs_.OnCall = [&](const DialogCall& call) {
      if (call.prompt != Prompt::IrdaModeAgain) return;
      EXPECT_TRUE(RunUntil(clock_, [&] { return !Instrument().Restarting(); }));
    };
  }

  // The technician reads a run's final message while the link still goes
  // down under it (a release answered, or given up).
  void HoldFinalMessagesUntilTheLinkIsDown() {
    dialogs_.OnCall = [&](const DialogCall& call) {
      if (call.icon != MsgIcon::Warning && call.icon != MsgIcon::Error) return;
      finalMessageAt_ = clock_.Now();  // the clock moves on while it is held
      EXPECT_TRUE(RunUntil(clock_, [&] { return !form_->KelLink1->Connected(); })) << qPrintable(call.text);
    };
  }

  std::unique_ptr<sim::SimulatedIrdaWorld> world_;
  qint64 finalMessageAt_ = -1;
};

}  // namespace

TEST_F(UploadWorkflow, WholeNGUpload) {
  Open({9, "9.05", "A", 100});
  form_->actCheckRestart->setChecked(true);
  const QString file = Firmware(true, "9.12", 'A');
  ExpectUpload(file, "9.12")
      .Expect(Prompt::UploadCompleted, QLatin1String(kNGCompleted))
      .Expect(Prompt::IrdaModeAgain, MsgResult::OK)
      .Expect(Prompt::NewFirmwareRunning, NewFirmwareRunning("9.12", "A"));
  AnswerOnceRestarted();

  QList<int> bars;
  QStringList statuses;
  form_->Session()->OnDisplayChanged = [&, show = form_->Session()->OnDisplayChanged] {
    show();
    if (bars.isEmpty() || bars.last() != form_->gauProgress->value()) bars << form_->gauProgress->value();
    if (statuses.isEmpty() || statuses.last() != form_->lblStatus->text()) statuses << form_->lblStatus->text();
  };
  form_->cbStart->click();
  EXPECT_EQ(form_->lblStatus->text(), QStringLiteral("Connecting to Instrument"));
  EXPECT_FALSE(form_->cbStart->isEnabled());
  EXPECT_TRUE(form_->cbStop->isEnabled());  // connecting can be given up
  EXPECT_EQ(form_->cursor().shape(), Qt::BusyCursor);

  ASSERT_TRUE(RunUntil(clock_, [&] { return form_->lblStatus->text() == QLatin1String("Uploading Flash to Intrument"); }));
  EXPECT_EQ(form_->lblInstrType->text(), QStringLiteral("Type: ZelvoPro"));
  EXPECT_EQ(form_->lblInstFlashVer->text(), QStringLiteral("Flash Version: 9.05 A"));
  EXPECT_TRUE(form_->lblNewFlash->text().startsWith(QStringLiteral("Upgrading to: 9")));
  EXPECT_TRUE(form_->lblNewFlash->text().endsWith(QStringLiteral(" A")));
  EXPECT_EQ(form_->lblFlashFileDate->text(), QStringLiteral("(2026-01-15 10:30:00)"));
  EXPECT_TRUE(form_->cbStop->isEnabled());
  EXPECT_FALSE(form_->cbStart->isEnabled());

  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcome_, UploadOutcome::Completed);
  const UploadResult& result = form_->Session()->Result();
  EXPECT_EQ(result.outcome, UploadOutcome::Completed);
  EXPECT_EQ(result.refusal, RunRefusal::None);
  EXPECT_TRUE(result.identified);
  EXPECT_EQ(result.instrument.InstFlashVersion, "9.05");
  EXPECT_EQ(result.fileVersion, "9.12");
  EXPECT_EQ(result.fileType, "A");
  EXPECT_EQ(result.pagesAcknowledged, 391);
  EXPECT_EQ(Instrument().CountOf("WEP"), 391);
  EXPECT_EQ(Instrument().CountOf("WAE"), 4);
  EXPECT_EQ(Instrument().CountOf("PFM"), 1);
  EXPECT_EQ(Instrument().LoaderIndexes(), (QList<int>{3, 4, 5, 6}));
  EXPECT_EQ(Instrument().PageSumErrors(), 0);
  EXPECT_EQ(Instrument().RebuiltImage(), test::FileBytes(file));
  EXPECT_TRUE(Instrument().Programmed());

  EXPECT_EQ(dialogs_.Calls().back().icon, MsgIcon::Information);
  // The instrument was waited for through its restart, identified and
  // released.
  ASSERT_TRUE(result.restartCheck.has_value());
  EXPECT_EQ(result.restartCheck->end, RestartCheckReport::End::CameBack);
  EXPECT_EQ(Instrument().CountOf("STB"), 1);
  EXPECT_FALSE(form_->KelLink1->Connected());
  // The last screen says how it ended and keeps the run's figures.
  ExpectWaiting(QStringLiteral("New firmware running: 9.12 A"));
  EXPECT_EQ(form_->lblInstrType->text(), QStringLiteral("Type: ZelvoPro"));
  EXPECT_EQ(form_->lblInstFlashVer->text(), QStringLiteral("Flash Version: 9.12 A"));
  EXPECT_EQ(form_->lblNewFlash->text(), QStringLiteral("Upgrading to: 9.12 A"));
  EXPECT_EQ(form_->gauProgress->value(), 100);
  EXPECT_EQ(form_->lblPageNum->text(), QStringLiteral("Sending PAGE 383"));
  EXPECT_EQ(form_->lblFlashAdr->text(), QStringLiteral("Address: 0D0F4"));
  // The bar climbs to 99 during the upload, and shows 100 once it is done.
  EXPECT_EQ(bars.mid(bars.size() - 2), (QList<int>{99, 100}));
  EXPECT_TRUE(std::is_sorted(bars.begin(), bars.end()));
  EXPECT_EQ(statuses, (QStringList{"Waiting", "Connecting to Instrument", "Connected", "Uploading Flash to Intrument",
                                   "Flash Upload Completed", "Waiting for the Instrument to Restart",
                                   "New firmware running: 9.12 A"}));
  // The trace holds every message, framed.
  const QString trace = debug_->Debug->toPlainText();
  EXPECT_TRUE(trace.startsWith(QString::fromLatin1("SND#\xE6" "ENQ" "\xE7#")));
  EXPECT_TRUE(trace.contains(QString::fromLatin1("SND#\xE6" "PFM" "\xE7#")));
}

// The restart check's other endings: the old firmware back, no instrument
// within the limit, the check skipped or stopped. Each says so on the last
// screen, leaves the instrument released, and the next Start begins from a
// clean screen.
TEST_F(UploadWorkflow, TheRestartCheckSaysWhatWentWrong) {
  struct Case {
    const char* name;
    bool noTake, noRestart;
    MsgResult bringBack;  // the answer to "put it in IrDA mode again"
    bool stopWhileWaiting;
    QString status;
    Prompt prompt;    // of the message after the question
    QString message;  // none: no message after the question
  };
  const Case cases[] = {
      {"the old firmware back", true, false, MsgResult::OK, false, "New Firmware NOT Running",
       Prompt::OtherFirmwareRunning, OtherFirmwareRunning("9.05", "A", "9.12", "A")},
      {"never back", false, true, MsgResult::OK, false, "New Firmware NOT Checked", Prompt::NotBackFromRestart,
       NotBackFromRestart(120)},
      {"skipped", false, false, MsgResult::Cancel, false, "Flash Upload Completed", Prompt::General, {}},
      {"stopped", false, true, MsgResult::OK, true, "Flash Upload Completed", Prompt::General, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimFaults faults;
    faults.noTake = c.noTake;
    faults.noRestart = c.noRestart;
    CloseWindow();
    world_.reset();
    Open({9, "9.05", "A", 0}, faults);
    form_->actCheckRestart->setChecked(true);
    ExpectUpload(Firmware(true, "9.12", 'A'), "9.12")
        .Expect(Prompt::UploadCompleted, QLatin1String(kNGCompleted))
        .Expect(Prompt::IrdaModeAgain, c.bringBack);
    if (!c.message.isEmpty()) dialogs_.Expect(c.prompt, c.message);
    if (c.noRestart) {
      // Out of range for good: the search goes on, time passing, until the
      // limit or Stop.
      dialogs_.OnCall = nullptr;
      world_->Stack().OnEnumerate = [&] {
        if (form_->lblStatus->text() != QLatin1String("Waiting for the Instrument to Restart")) return;
        if (c.stopWhileWaiting && form_->cbStop->isEnabled())
          form_->cbStop->click();
        else
          clock_.Advance(10000);
      };
    } else {
      AnswerOnceRestarted();
    }
    form_->cbStart->click();
    ASSERT_TRUE(Finished());
    world_->Stack().OnEnumerate = nullptr;
    EXPECT_EQ(outcome_, UploadOutcome::Completed);
    dialogs_.ExpectAllShown();
    ExpectWaiting(c.status);
    EXPECT_EQ(form_->gauProgress->value(), 100);
    ASSERT_TRUE(RunUntil(clock_, [&] { return !form_->KelLink1->Connected(); }));
    EXPECT_LE(Instrument().CountOf("STB"), 1);

    outcome_ = UploadOutcome::None;
    dialogs_.Expect(Prompt::EraseWarning, MsgResult::Cancel);
    form_->cbStart->click();
    ASSERT_TRUE(Finished());
    ExpectWaiting();
    EXPECT_EQ(form_->lblPageNum->text(), QStringLiteral("Sending PAGE"));
    EXPECT_EQ(form_->lblFlashAdr->text(), QStringLiteral("Address:"));
    EXPECT_EQ(form_->lblFlashTime->text(), QStringLiteral("Time"));
    EXPECT_EQ(form_->lblInstrType->text(), QStringLiteral("Type:"));
    EXPECT_EQ(form_->gauProgress->value(), 0);
  }
}

TEST_F(UploadWorkflow, WholeClassicUpload) {
  Open({9, "7.61", "P", 0});
  const QString file = Firmware(false, "7.62", 'P');
  ExpectUpload(file, "7.62").Expect(Prompt::UploadCompleted, QLatin1String(kIrdaCompleted));
  form_->cbStart->click();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcome_, UploadOutcome::Completed);
  EXPECT_EQ(Instrument().CountOf("FLV"), 1);  // 7.61 > 7.5
  EXPECT_EQ(Instrument().CountOf("WEP"), 521);
  EXPECT_EQ(Instrument().CountOf("WAE"), 0);
  EXPECT_EQ(Instrument().CountOf("PFM"), 1);
  EXPECT_EQ(Instrument().RebuiltImage(), test::FileBytes(file));
  EXPECT_EQ(form_->lblPageNum->text(), QStringLiteral("Sending PAGE 503"));  // 32240 / 64
  EXPECT_EQ(form_->lblFlashAdr->text(), QStringLiteral("Address: 08EF0"));
}

TEST_F(UploadWorkflow, CancelOnTheFirstQuestionSendsNothing) {
  Open({9, "9.05", "A", 0});
  form_->KelLink1DebugSend(nullptr, "old line");
  dialogs_.Expect(Prompt::EraseWarning, MsgResult::Cancel);
  // Enter on the focused button presses it, as Space does.
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(form_->cbStart, &enter);
  zelvo::test::Settle();
  ASSERT_EQ(dialogs_.Calls().size(), 1);
  EXPECT_TRUE(Instrument().Commands().isEmpty());
  EXPECT_EQ(world_->Stack().SocketsCreated() > 0 ? world_->Stack().HostWrites().size() : 0, 0);
  EXPECT_TRUE(debug_->Debug->toPlainText().isEmpty());  // emptied all the same
  ExpectWaiting();
  EXPECT_EQ(dialogs_.Calls()[0].icon, MsgIcon::Warning);
  EXPECT_EQ(dialogs_.Calls()[0].buttons, MsgButtons::OKCancel);
}

TEST_F(UploadWorkflow, ZelvoLtdAtSevenFiveIsRefused) {
  Open({10, "7.5", "P", 0});
  ExpectStart().Expect(Prompt::LtdNotSupported).Expect(Prompt::ConnectionClosed);
  form_->cbStart->click();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(Instrument().CountOf("RSC"), 1);
  EXPECT_EQ(Instrument().CountOf("FLV"), 0);
  EXPECT_EQ(Instrument().CountOf("STB"), 1);
  EXPECT_EQ(outcome_, UploadOutcome::Refused);
  EXPECT_EQ(form_->Session()->Result().refusal, RunRefusal::LtdNotOverInfrared);
}

TEST_F(UploadWorkflow, ZelvoLtdClassicWithTypePProceeds) {
  Open({10, "7.61", "P", 0});
  ExpectStart().ExpectFile({}).Expect(Prompt::ConnectionClosed);
  form_->cbStart->click();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(form_->lblInstrType->text(), QStringLiteral("Type:"));  // reset after the release
  EXPECT_EQ(outcome_, UploadOutcome::Cancelled);
  EXPECT_EQ(form_->Session()->Result().refusal, RunRefusal::NoFileChosen);
}

TEST_F(UploadWorkflow, VersionBelowHalfIsRefusedZeroAndHalfProceed) {
  const struct {
    QByteArray version;
    const char* refusal;  // nullptr: the file is asked for (and not given)
  } cases[] = {
      {"0.4",
       "The current Flash version (0.4) does not support Flash Upload via Infrared! Please contact Orlund "
       "Instrumentation."},
      {"0.5", nullptr},
      {"0", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version.constData());
    Open({9, c.version, "A", 0});
      ExpectStart();
      if (c.refusal)
        dialogs_.Expect(Prompt::VersionNotSupported, QLatin1String(c.refusal));
      else
        dialogs_.ExpectFile({});
      dialogs_.Expect(Prompt::ConnectionClosed);
      form_->cbStart->click();
      ASSERT_TRUE(Finished());
      dialogs_.ExpectAllShown();
      CloseWindow();
      world_.reset();
  }
}

TEST_F(UploadWorkflow, ConnectionTimeOutMakesStartUsableAgain) {
  Open({9, "9.05", "A", 0});
  world_->Stack().ClearDevices();
  // Nobody in range: every enumeration pass moves the clock on, so the
  // connect time-out (30 s) comes.
  world_->Stack().OnEnumerate = [&] { clock_.Advance(5000); };
  ExpectStart().Expect(Prompt::ConnectionTimeOut);
  form_->cbStart->click();
  ASSERT_TRUE(RunUntil(clock_, [&] { return dialogs_.Pending().isEmpty(); }, 60000));
  EXPECT_EQ(dialogs_.Calls().back().icon, MsgIcon::Warning);
  ExpectWaiting();
}

// An instrument in range that never answers: "ENQ" is re-sent as designed,
// but identification is given 60 s from its start; then the instrument is
// released and the window waits again.
TEST_F(UploadWorkflow, ASilentInstrumentEndsInTheConnectionTimeOut) {
  sim::SimFaults silent;
  silent.silent = true;
  Open({9, "9.05", "A", 0}, silent);
  qint64 identificationStarted = -1;
  form_->ZelvoPro1->OnIdentifying = [&, inner = form_->ZelvoPro1->OnIdentifying](QObject* sender) {
    identificationStarted = clock_.Now();
    inner(sender);
  };
  HoldFinalMessagesUntilTheLinkIsDown();
  ExpectStart().Expect(Prompt::ConnectionTimeOut);
  form_->cbStart->click();
  EXPECT_TRUE(form_->cbStop->isEnabled());
  // The wait is said once it lasts, with when it will be given up.
  ASSERT_TRUE(RunUntil(clock_, [&] { return identificationStarted >= 0; }));
  clock_.Advance(identificationStarted + 4500 - clock_.Now());
  EXPECT_TRUE(form_->lblSilence->text().isEmpty());
  clock_.Advance(identificationStarted + 12000 - clock_.Now());
  EXPECT_EQ(form_->lblSilence->text(), QStringLiteral("No identification after 12 s; giving up in 48 s"));
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcome_, UploadOutcome::TimedOut);
  EXPECT_TRUE(form_->lblSilence->text().isEmpty());
  EXPECT_GE(finalMessageAt_ - identificationStarted, 60000);
  EXPECT_LT(finalMessageAt_ - identificationStarted, 61000);
  EXPECT_EQ(Instrument().CountOf("STB"), 1);  // released
  ExpectWaiting();
  clock_.Advance(60000);  // nothing more is said
  const int enquiries = Instrument().CountOf("ENQ");
  clock_.Advance(60000);
  EXPECT_EQ(Instrument().CountOf("ENQ"), enquiries);
}

// Stop while connecting: before any device is in range (inside the search)
// and with the link up but identification unanswered. Either way the run ends
// with the window waiting, the instrument asked to stand by at most once, and
// no time-out comes later.
TEST_F(UploadWorkflow, StopWhileConnectingEndsTheRun) {
  for (const bool linkUp : {false, true}) {
    SCOPED_TRACE(linkUp ? "link up" : "searching");
    sim::SimFaults silent;
    silent.silent = true;
    Open({9, "9.05", "A", 0}, silent);
      if (!linkUp) {
      world_->Stack().ClearDevices();
      world_->Stack().OnEnumerate = [&] {
        if (form_->cbStop->isEnabled()) form_->cbStop->click();
      };
    }
    ExpectStart().Expect(Prompt::ConnectionClosed);
    form_->cbStart->click();
    if (linkUp) {
      ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("ENQ") >= 2; }));
      form_->cbStop->click();
      // The instrument has its reply time to answer: the window says so, and
      // Stop pressed again asks nothing more.
      EXPECT_EQ(form_->lblStatus->text(), "Releasing Instrument");
      EXPECT_FALSE(form_->cbStop->isEnabled());
      form_->cbStopClick();
    }
    ASSERT_TRUE(Finished());
    EXPECT_EQ(outcome_, UploadOutcome::Closed);
    EXPECT_EQ(Instrument().CountOf("STB"), linkUp ? 1 : 0);
    ExpectWaiting();
    clock_.Advance(90000);  // no time-out comes
    EXPECT_FALSE(form_->KelLink1->Connected());
    dialogs_.ExpectAllShown();
    CloseWindow();
    world_.reset();
  }
}

// No IrDA sockets and no IrCOMM port recorded: the port dialog is cancelled,
// and the window says at once why no link can be opened.
TEST_F(UploadWorkflow, NoInfraredPathSaysWhyAtOnce) {
  NoIrdaStack noIrda;
  ScopedIrdaStack installedStack(&noIrda);
  QTemporaryDir empty;
  const QString previousMirror = RegistryMirrorPath();
  SetRegistryMirrorPath(empty.filePath(QStringLiteral("registry.ini")));
  OpenWindow();
  ExpectStart()
      .ExpectPort({})
      .Expect(QStringLiteral("No infrared link can be opened: no IrDA stack on this system (10047 %1) and no IrCOMM "
                             "port recorded in the registry mirror %2. Choose the IrCOMM port when asked for one, or "
                             "record it there.")
                  .arg(WinsockErrorText(10047), empty.filePath(QStringLiteral("registry.ini"))));
  form_->cbStart->click();
  clock_.Advance(100);  // the disconnection step
  EXPECT_EQ(outcome_, UploadOutcome::LinkFailed);
  ExpectWaiting();
  clock_.Advance(60000);  // no time-out comes
  CloseWindow();
  SetRegistryMirrorPath(previousMirror);
}

TEST_F(UploadWorkflow, UnexpectedDisconnectThenClosedOnTheNextConnection) {
  sim::SimFaults faults;
  faults.dropLinkAtPage = 10;
  Open({9, "9.05", "A", 0}, faults);
  ExpectUpload(Firmware(true, "9.12", 'A'), "9.12").Expect(Prompt::UnexpectedDisconnect);
  form_->cbStart->click();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcome_, UploadOutcome::UnexpectedDisconnect);
  EXPECT_EQ(dialogs_.Calls().back().icon, MsgIcon::Error);

  // The next connection ends before any upload (the file dialog cancelled).
  sim::SimFaults none;
  Instrument().SetFaults(none);
  outcome_ = UploadOutcome::None;
  ExpectStart().ExpectFile({}).Expect(Prompt::ConnectionClosed);
  clock_.Advance(1000);
  form_->cbStart->click();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcome_, UploadOutcome::Cancelled);
}

TEST_F(UploadWorkflow, ProgramCommandRefusedNeverEndsAsCompleted) {
  sim::SimFaults faults;
  faults.pfmWithoutAckBye = true;
  Open({9, "7.61", "P", 0}, faults);
  ExpectUpload(Firmware(false, "7.62", 'P'), "7.62").Expect(Prompt::ProgramCommandFailed).Expect(Prompt::NotCompleted);
  form_->cbStart->click();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcome_, UploadOutcome::ProgramFailed);
  // Still on the link after its refusal: the instrument is released.
  const QList<QByteArray> commands = Instrument().Commands();
  ASSERT_GE(commands.size(), 2);
  EXPECT_EQ(commands.mid(commands.size() - 2), (QList<QByteArray>{"PFM", "STB"}));
}

// A page never acknowledged: 60 s after the last acknowledgement the upload
// ends as failed, naming the page, and the instrument is released.
TEST_F(UploadWorkflow, AnUnacknowledgedPageEndsAsAFailedUpload) {
  sim::SimFaults faults;
  faults.noAckAtPage = 7;
  Open({9, "9.05", "A", 0}, faults);
  HoldFinalMessagesUntilTheLinkIsDown();
  ExpectUpload(Firmware(true, "9.12", 'A'), "9.12")
      .Expect(Prompt::UploadStalled,
              QStringLiteral("Flash Upload NOT Completed! The instrument did not answer for 60 s at page 6 of 383. "
                             "Please start the upload again."));
  form_->cbStart->click();
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("WEP") == 8; }));
  const qint64 lastProgress = clock_.Now();
  clock_.Advance(12000);
  EXPECT_EQ(form_->lblSilence->text(), QStringLiteral("No page acknowledged for 12 s; giving up in 48 s"));
  ASSERT_TRUE(Finished());
  EXPECT_TRUE(form_->lblSilence->text().isEmpty());
  EXPECT_GE(clock_.Now() - lastProgress, 60000);
  EXPECT_EQ(outcome_, UploadOutcome::Stalled);
  EXPECT_EQ(dialogs_.Calls().back().icon, MsgIcon::Error);
  EXPECT_EQ(Instrument().CountOf("WEP"), 8);
  EXPECT_EQ(Instrument().CountOf("STB"), 1);
  EXPECT_FALSE(Instrument().Programmed());
  // The last screen keeps the instrument and the bar where the upload stopped.
  ExpectWaiting(QStringLiteral("Flash Upload NOT Completed"));
  EXPECT_EQ(form_->lblInstrType->text(), QStringLiteral("Type: ZelvoPro"));
  EXPECT_EQ(form_->gauProgress->value(), UploadSession::GaugePercent(7 * 126, 49154));
  EXPECT_EQ(form_->lblPageNum->text(), QStringLiteral("Sending PAGE 6"));
  // The release's answer closes the link without a second message.
  clock_.Advance(1000);
}

// A page refused: after the component's own message nothing more is sent,
// so the upload ends there, the instrument released, and the window says
// which page was refused and that the upload must be started again.
TEST_F(UploadWorkflow, WrongPageAcknowledgementEndsTheUploadThere) {
  sim::SimFaults faults;
  faults.wrongAckAtPage = 7;
  Open({9, "9.05", "A", 0}, faults);
  HoldFinalMessagesUntilTheLinkIsDown();
  ExpectUpload(Firmware(true, "9.12", 'A'), "9.12")
      .Expect(QLatin1String(kErrorSendingFlash))
      .Expect(Prompt::UploadRefused, UploadRefused(QStringLiteral("page 6 of 383")));
  const qint64 started = clock_.Now();
  form_->cbStart->click();
  ASSERT_TRUE(Finished());
  EXPECT_LT(clock_.Now() - started, 30000) << "not left for the progress limit";
  EXPECT_EQ(outcome_, UploadOutcome::Halted);
  EXPECT_EQ(Instrument().CountOf("WEP"), 8);
  EXPECT_EQ(Instrument().CountOf("STB"), 1);
  ExpectWaiting(QStringLiteral("Flash Upload NOT Completed"));
  form_->cbStop->click();  // not offered: nothing more happens
  EXPECT_EQ(Instrument().CountOf("STB"), 1);
}

// Closing the window mid-upload asks first. No: the upload goes on. Yes: the
// instrument is stood by and the run ends as Stop ends it, then the window
// closes; nothing is written after the release.
TEST_F(UploadWorkflow, ClosingMidUploadAsksAndReleasesFirst) {
  Open({9, "9.05", "A", 0});
  ExpectUpload(Firmware(true, "9.12", 'A'), "9.12").Expect(Prompt::AbandonUpload, MsgResult::No);
  form_->cbStart->click();
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("WEP") >= 20; }));
  EXPECT_FALSE(form_->close());
  EXPECT_TRUE(form_->isVisible());
  const int pagesAfterNo = Instrument().CountOf("WEP");
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("WEP") > pagesAfterNo; }));

  int pagesAtRelease = -1;
  dialogs_.Expect(Prompt::AbandonUpload, MsgResult::Yes);
  dialogs_.OnCall = [&](const DialogCall& call) {
    if (call.prompt != Prompt::AbandonUpload) return;
    pagesAtRelease = Instrument().CountOf("WEP");
    // The page the window shows, in the window's own numbering.
    dialogs_.Expect(Prompt::StoppedMidUpload,
                    StoppedMidUpload(QStringLiteral("page %1 of 383").arg(form_->lblPageNum->text().section(' ', 2))));
  };
  EXPECT_FALSE(form_->close());  // closes once the run has ended
  ASSERT_TRUE(RunUntil(clock_, [&] { return !form_->isVisible(); }));
  EXPECT_EQ(outcome_, UploadOutcome::Closed);
  EXPECT_EQ(Instrument().CountOf("STB"), 1);
  EXPECT_EQ(Instrument().CountOf("WEP"), pagesAtRelease);
  dialogs_.ExpectAllShown();
}

TEST_F(UploadWorkflow, ProgressAndTimeLabels) {
  Open({9, "9.05", "A", 0});
  form_->ZelvoPro1->SetIsNG(true);
  form_->Session()->ZelvoPro1FlashProgress(49140, 49154);
  EXPECT_EQ(form_->gauProgress->value(), 99);
  EXPECT_EQ(form_->lblFlashAdr->text(), QStringLiteral("Address: 0D0F4"));
  EXPECT_EQ(form_->lblPageNum->text(), QStringLiteral("Sending PAGE 383"));
  form_->ZelvoPro1->SetIsNG(false);
  form_->Session()->ZelvoPro1FlashProgress(62, 32258);
  EXPECT_EQ(form_->lblFlashAdr->text(), QStringLiteral("Address: 0113E"));
  EXPECT_EQ(form_->lblPageNum->text(), QStringLiteral("Sending PAGE 0"));
  EXPECT_EQ(form_->gauProgress->value(), 0);

  form_->tmrDockLCDUpd->SetEnabled(true);
  clock_.Advance(75000);
  EXPECT_EQ(form_->lblFlashTime->text(), QStringLiteral("Time: 1:15"));
  EXPECT_EQ(form_->Session()->ElapsedSeconds(), 75);
}

TEST(UploadDisplayRules, GaugeRoundsHalvesToEven) {
  EXPECT_EQ(UploadSession::GaugePercent(49140, 49154), 99);
  EXPECT_EQ(UploadSession::GaugePercent(1, 2), 50);    // 49.5 -> 50 (even)
  EXPECT_EQ(UploadSession::GaugePercent(1, 198), 0);   // 0.5 -> 0
  EXPECT_EQ(UploadSession::GaugePercent(3, 198), 2);   // 1.5 -> 2
  EXPECT_EQ(UploadSession::GaugePercent(5, 198), 2);   // 2.5 -> 2
  EXPECT_EQ(UploadSession::GaugePercent(0, 10), 0);
  EXPECT_EQ(UploadSession::GaugePercent(10, 10), 99);
  EXPECT_EQ(UploadSession::AddressText(0), QStringLiteral("Address: 01100"));
  EXPECT_EQ(UploadSession::AddressText(0xFFFFF), QStringLiteral("Address: 1010FF"));
  EXPECT_EQ(UploadSession::TimeText(0), QStringLiteral("Time: 0:00"));
  EXPECT_EQ(UploadSession::TimeText(3600), QStringLiteral("Time: 60:00"));
}

TEST_F(UploadWorkflow, HiddenLoadFileButtonSendsTheLoader) {
  Open({9, "9.05", "A", 0});
  form_->ZelvoPro1->OnIsOnline = nullptr;  // online without the connection step
  form_->ZelvoPro1->SetOnline(true);
  ASSERT_TRUE(RunUntil(clock_, [&] { return form_->ZelvoPro1->OnLine(); }));
  form_->ZelvoPro1->SetIsNG(false);
  form_->cbLoadFileClick();
  EXPECT_TRUE(form_->ZelvoPro1->IsNG());
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("PFM") == 1; }));
  EXPECT_EQ(Instrument().LoaderIndexes(), (QList<int>{3, 4, 5, 6}));
  EXPECT_EQ(Instrument().CountOf("WEP"), 0);
}
