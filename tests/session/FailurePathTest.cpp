// The upload workflow when the world changes under a modal step: the link
// lost while the operator is asked something, a link that never comes up, and
// the busy cursor of each of these endings. The session runs with its link and
// instrument component over the simulated IrDA stack (or a serial-only system)
// and the scripted operator.

#include <gtest/gtest.h>

#include <memory>

#include "support/ScriptedDialogs.h"
#include "instrument/ZelvoPro.h"
#include "link/KelLink.h"
#include "link/SerialOnlySystem.h"
#include "session/UploadSession.h"
#include "sim/instrument/IrdaInstrument.h"
#include "support/Firmware.h"
#include "support/Pump.h"

using namespace zelvo;
using namespace zelvo::upload_text;
using zelvo::test::RunUntil;

namespace {

class FailurePath : public ::testing::Test {
 protected:
  void Open(const sim::SimInstrumentConfig& config, const sim::SimFaults& faults = {}) {
    world_ = std::make_unique<sim::SimulatedIrdaWorld>(config, faults);
    Components();
  }
  void Components() {
    link_ = std::make_unique<TKelLink>();
    zelvo_ = std::make_unique<TZelvoPro>();
    ApplyDesignTimeValues(*link_, *zelvo_);
    for (TTimer* t : {&con_, &disc_}) t->SetInterval(100);
    lcd_.SetInterval(1000);
    session_ = std::make_unique<UploadSession>(zelvo_.get(), link_.get(), &con_, &disc_, &lcd_);
    session_->OnFinished = [this](UploadOutcome outcome) { outcomes_ << outcome; };
    ASSERT_TRUE(RunUntil(clock_, [&] { return !link_->ReplyTimer()->Enabled(); }, 1000));
  }
  bool Finished() { return RunUntil(clock_, [&] { return !outcomes_.isEmpty(); }); }

  // While the dialog for which picks() holds is showing, the instrument goes
  // out of range and the event loop runs on (as it does under a modal dialog)
  // until the disconnection step has run.
  void LoseTheLinkDuring(std::function<bool(const DialogCall&)> picks) {
    dialogs_.OnCall = [this, picks](const DialogCall& call) {
      if (lost_ || !picks(call)) return;
      lost_ = true;
      world_->Stack().ClearDevices();
      EXPECT_TRUE(Finished());
    };
  }
  void ExpectIdleAfterTheDisconnection(UploadOutcome outcome = UploadOutcome::Closed) {
    zelvo::test::Settle();
    clock_.Advance(5000);
    EXPECT_EQ(outcomes_, QList<UploadOutcome>{outcome});
    const UploadDisplay& d = session_->Display();
    EXPECT_EQ(d.status, QStringLiteral("Waiting"));
    EXPECT_TRUE(d.startEnabled);
    EXPECT_FALSE(d.stopEnabled);
    EXPECT_FALSE(d.startGroupBusy);
    EXPECT_FALSE(d.connectedGroupBusy);
    EXPECT_EQ(d.newFlash, "Upgrading to:");
    EXPECT_FALSE(lcd_.Enabled());
    EXPECT_FALSE(session_->UploadInProgress());
    EXPECT_EQ(world_->Instrument().CountOf("WEP"), 0);
    EXPECT_FALSE(dialogs_.Saw(QStringLiteral("SendMsg Error - Not Connected!")));
    EXPECT_EQ(dialogs_.Texts().last(), QLatin1String(kConnectionClosed));
  }

  ManualClock clock_;
  ScriptedDialogs dialogs_;
  ScopedDialogs installed_{&dialogs_};
  test::FirmwareFiles files_;
  std::unique_ptr<sim::SimulatedIrdaWorld> world_;
  std::unique_ptr<TKelLink> link_;
  std::unique_ptr<TZelvoPro> zelvo_;
  TTimer con_, disc_, lcd_;
  std::unique_ptr<UploadSession> session_;
  QList<UploadOutcome> outcomes_;
  bool lost_ = false;
};

}  // namespace

TEST_F(FailurePath, LinkLostWhileTheFileDialogShows) {
  Open({9, "9.05", "A", 0});
  dialogs_.Answer(MsgResult::OK).AnswerFile(files_.Make(true, "9.12")).Answer(MsgResult::Yes);
  LoseTheLinkDuring([](const DialogCall& call) { return call.kind == DialogCall::Kind::OpenFile; });
  session_->cbStartClick();
  ASSERT_TRUE(Finished());
  ExpectIdleAfterTheDisconnection();
  // The file was chosen after the link had gone: no question follows.
  EXPECT_FALSE(dialogs_.Saw(Prompt::UpgradeToVersion));
}

TEST_F(FailurePath, LinkLostWhileAQuestionShows) {
  Open({9, "9.05", "A", 0});
  dialogs_.Answer(MsgResult::OK).AnswerFile(files_.Make(true, "9.12")).Answer(MsgResult::Yes);
  LoseTheLinkDuring([](const DialogCall& call) { return call.prompt == Prompt::UpgradeToVersion; });
  session_->cbStartClick();
  ASSERT_TRUE(Finished());
  ExpectIdleAfterTheDisconnection();
}

TEST_F(FailurePath, LinkLostWhileARefusalShows) {
  Open({10, "7.5", " ", 0});
  dialogs_.Answer(MsgResult::OK);
  LoseTheLinkDuring([](const DialogCall& call) { return call.prompt == Prompt::LtdNotSupported; });
  session_->cbStartClick();
  ASSERT_TRUE(Finished());
  ExpectIdleAfterTheDisconnection(UploadOutcome::Refused);
  EXPECT_EQ(world_->Instrument().CountOf("STB"), 0);
}

TEST_F(FailurePath, LinkLostBeforeTheInstrumentIsOnlineTakesTheBusyCursorOff) {
  sim::SimFaults silent;
  silent.silent = true;
  Open({9, "9.05", "A", 0}, silent);
  dialogs_.Answer(MsgResult::OK);
  session_->cbStartClick();
  EXPECT_TRUE(session_->Display().startGroupBusy);
  ASSERT_TRUE(RunUntil(clock_, [&] { return world_->Instrument().CountOf("ENQ") >= 1; }));
  world_->Stack().ClearDevices();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcomes_, QList<UploadOutcome>{UploadOutcome::Closed});
  EXPECT_FALSE(session_->Display().startGroupBusy);
  EXPECT_FALSE(session_->Display().connectedGroupBusy);
  EXPECT_TRUE(session_->Display().startEnabled);
}

TEST_F(FailurePath, ConnectionTimeOutEndsTheRunWaiting) {
  Open({9, "9.05", "A", 0});
  world_->Stack().ClearDevices();
  world_->Stack().OnEnumerate = [&] { clock_.Advance(5000); };
  dialogs_.Answer(MsgResult::OK);
  session_->cbStartClick();  // the time-out comes inside the opening's search
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcomes_, QList<UploadOutcome>{UploadOutcome::TimedOut});
  EXPECT_EQ(dialogs_.Texts().last(), QLatin1String(kConnectionTimeOut));
  EXPECT_EQ(dialogs_.CountOf(Prompt::ConnectionTimeOut), 1);
  const UploadDisplay& d = session_->Display();
  EXPECT_TRUE(d.startEnabled);
  EXPECT_FALSE(d.stopEnabled);
  EXPECT_FALSE(d.startGroupBusy);
  EXPECT_EQ(d.status, QStringLiteral("Waiting"));
}

TEST_F(FailurePath, IrCommPortThatCannotBeOpenedEndsTheRunAtOnce) {
  SerialOnlySystem system;
  QString error;
  ASSERT_TRUE(system.Install(QStringLiteral("/nonexistent/zelvo-ircomm"), &error)) << error.toStdString();
  Components();
  ASSERT_FALSE(link_->IrDASocketMode());
  dialogs_.Answer(MsgResult::OK);
  session_->cbStartClick();
  ASSERT_GE(dialogs_.Texts().size(), 3);
  EXPECT_TRUE(dialogs_.Texts()[2].startsWith(QStringLiteral("Could not open the IrCOMM port /nonexistent/zelvo-ircomm: ")));
  clock_.Advance(100);  // the disconnection step
  EXPECT_EQ(outcomes_, QList<UploadOutcome>{UploadOutcome::LinkFailed});
  EXPECT_EQ(dialogs_.Texts().size(), 3);  // the reason was the last word
  EXPECT_TRUE(session_->Display().startEnabled);
  EXPECT_FALSE(session_->Display().stopEnabled);
  EXPECT_FALSE(session_->Display().startGroupBusy);
  EXPECT_EQ(session_->Display().status, QStringLiteral("Waiting"));
  clock_.Advance(60000);
  EXPECT_FALSE(dialogs_.Saw(Prompt::ConnectionTimeOut));
  EXPECT_EQ(outcomes_.size(), 1);
}

// Each way a run ends is named in the session's result, with how far the
// upload got; the front ends read it there, not from the wording of what was
// shown.
TEST_F(FailurePath, EachEndingIsNamedInTheResult) {
  struct Pages {
    int sent = 0, acknowledged = 0, loaderChunks = 0;
  };
  struct Case {
    const char* name;
    sim::SimInstrumentConfig instrument;
    bool eraseConfirmed;
    QString file;  // empty: the file dialog is cancelled
    QList<MsgResult> answers;
    RunRefusal refusal;
    UploadOutcome outcome;
    sim::SimFaults faults = {};
    Pages pages = {};
    QString stalledAt = {};
  };
  const QString ng912 = files_.Make(true, "9.12");
  sim::SimFaults noAckAt3, wrongAckAt3, dropAt5;
  noAckAt3.noAckAtPage = 3;
  wrongAckAt3.wrongAckAtPage = 3;
  dropAt5.dropLinkAtPage = 5;
  const Case cases[] = {
      {"erase declined", {9, "9.05", "A", 0}, false, {}, {}, RunRefusal::EraseDeclined, UploadOutcome::Cancelled},
      {"ltd over infrared", {10, "7.5", "P", 0}, true, {}, {}, RunRefusal::LtdNotOverInfrared, UploadOutcome::Refused},
      {"version too old", {9, "0.4", "A", 0}, true, {}, {}, RunRefusal::VersionTooOld, UploadOutcome::Refused},
      {"no file", {9, "9.05", "A", 0}, true, {}, {}, RunRefusal::NoFileChosen, UploadOutcome::Cancelled},
      {"other generation", {9, "9.05", "A", 0}, true, files_.Make(false, "7.62"), {}, RunRefusal::FileNotValid,
       UploadOutcome::Refused},
      {"type declined", {9, "9.05", "B", 0}, true, ng912, {MsgResult::No}, RunRefusal::TypeDeclined,
       UploadOutcome::Refused},
      {"upgrade declined", {9, "9.05", "A", 0}, true, ng912, {MsgResult::No}, RunRefusal::UpgradeDeclined,
       UploadOutcome::Cancelled},
      {"older declined", {9, "9.50", "A", 0}, true, ng912, {MsgResult::Yes, MsgResult::No},
       RunRefusal::OlderVersionDeclined, UploadOutcome::Refused},
      {"completed", {9, "9.05", "A", 0}, true, ng912, {MsgResult::Yes}, RunRefusal::None, UploadOutcome::Completed,
       {}, {391, 391, 4}},
      {"stalled", {9, "9.05", "A", 0}, true, ng912, {MsgResult::Yes}, RunRefusal::None, UploadOutcome::Stalled,
       noAckAt3, {4, 3, 0}, QStringLiteral("page 2 of 383")},
      {"page refused", {9, "9.05", "A", 0}, true, ng912, {MsgResult::Yes}, RunRefusal::None, UploadOutcome::Halted,
       wrongAckAt3, {4, 3, 0}, QStringLiteral("page 2 of 383")},
      {"link lost", {9, "9.05", "A", 0}, true, ng912, {MsgResult::Yes}, RunRefusal::None,
       UploadOutcome::UnexpectedDisconnect, dropAt5, {6, 5, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    outcomes_.clear();
    dialogs_.Clear();
    Open(c.instrument, c.faults);
    session_->SetStallLimit(2);
    dialogs_.Answer(c.eraseConfirmed ? MsgResult::OK : MsgResult::Cancel);
    if (!c.file.isEmpty()) dialogs_.AnswerFile(c.file);
    for (MsgResult answer : c.answers) dialogs_.Answer(answer);
    session_->cbStartClick();
    ASSERT_TRUE(Finished());
    const UploadResult& result = session_->Result();
    EXPECT_EQ(outcomes_, QList<UploadOutcome>{c.outcome});
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.refusal, c.refusal);
    EXPECT_EQ(result.identified, c.eraseConfirmed);
    EXPECT_EQ(result.instrument.InstFlashVersion, c.eraseConfirmed ? c.instrument.version : QByteArray());
    const bool uploaded = c.pages.sent > 0;
    EXPECT_EQ(result.fileAccepted, uploaded);
    EXPECT_EQ(result.fileVersion, uploaded ? QByteArray("9.12") : QByteArray());
    EXPECT_EQ(result.pagesSent, c.pages.sent);
    EXPECT_EQ(result.pagesAcknowledged, c.pages.acknowledged);
    EXPECT_EQ(result.loaderChunksSent, c.pages.loaderChunks);
    EXPECT_EQ(result.stalledAt, c.stalledAt);
    EXPECT_EQ(world_->Instrument().CountOf("WEP"), c.pages.sent);
    EXPECT_EQ(world_->Instrument().CountOf("WAE"), c.pages.loaderChunks);
    session_.reset();
    zelvo_.reset();
    link_.reset();
    world_.reset();
  }
}
