// The upload workflow through a docking station, against the dock double
// with the simulated instrument behind it.

#include <gtest/gtest.h>

#include "DockDouble.h"
#include "instrument/ZelvoPro.h"
#include "link/KelLink.h"
#include "session/UploadSession.h"
#include "sim/instrument/SimInstrument.h"
#include "support/Firmware.h"
#include "support/Pump.h"
#include "support/ScriptedOperator.h"
#include "support/UploadDialogs.h"

using namespace zelvo;
using namespace zelvo::upload_text;
using zelvo::test::DockDouble;
using zelvo::test::RunUntil;

namespace {

class DockPath : public ::testing::Test {
 protected:
  void Open(const sim::SimInstrumentConfig& config) {
    instrument_ = std::make_unique<sim::SimInstrument>(config);
    dock_ = std::make_unique<DockDouble>(*instrument_);
    ApplyDesignTimeValues(link_, zelvo_);
    link_.SetKovaExpressDock(dock_.get());
    for (TTimer* t : {&con_, &disc_}) t->SetInterval(100);
    lcd_.SetInterval(1000);
    session_ = std::make_unique<UploadSession>(&zelvo_, &link_, &con_, &disc_, &lcd_);
    session_->SetDock(dock_.get());
    session_->SetUseDock(true);
    session_->SetDockAddress(QStringLiteral("10.1.2.3"));
    session_->OnFinished = [this](UploadOutcome outcome) { outcome_ = outcome; };
    ASSERT_TRUE(RunUntil(clock_, [&] { return !link_.ReplyTimer()->Enabled(); }, 1000));
  }
  bool Finished() { return RunUntil(clock_, [&] { return outcome_ != UploadOutcome::None; }); }
  ScriptedDialogs& ExpectStart() { return test::ExpectRunStart(dialogs_, Prompt::PlaceInDock); }
  ScriptedDialogs& ExpectUpload(const QString& file, const QString& version) {
    return test::ExpectUpload(dialogs_, Prompt::PlaceInDock, file, version);
  }
  QStringList Lcd() const {
    QStringList lines;
    for (const QString& entry : dock_->log)
      if (entry.startsWith(QLatin1String("LCD"))) lines << entry;
    return lines;
  }

  ManualClock clock_;
  test::ScriptedOperator dialogs_;
  test::FirmwareFiles files_;
  std::unique_ptr<sim::SimInstrument> instrument_;
  std::unique_ptr<DockDouble> dock_;
  TKelLink link_;
  TZelvoPro zelvo_;
  TTimer con_, disc_, lcd_;
  std::unique_ptr<UploadSession> session_;
  UploadOutcome outcome_ = UploadOutcome::None;
};

}  // namespace

TEST_F(DockPath, ClassicUploadThroughTheDock) {
  Open({9, "7.61", "P", 0});
  ExpectUpload(files_.Make(false, "7.62", 'P'), "7.62").Expect(Prompt::UploadCompleted, QLatin1String(kDockCompleted));
  session_->cbStartClick();
  EXPECT_EQ(dock_->address, QStringLiteral("10.1.2.3"));
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcome_, UploadOutcome::Completed);
  EXPECT_EQ(Lcd(), (QStringList{"LCD2 [Insert Instr]", "LCD3 [   To Flash   ]", "LCD2 [Loading Instr ]",
                                "LCD3 [FLASH  ]", "LCD0 [ FLASH Upload   ]", "LCD1 [   Completed    ]"}));
  EXPECT_EQ(dock_->log.count(QStringLiteral("PSS 0 0")), 1);
  EXPECT_EQ(dock_->log.first(), QStringLiteral("enable"));
  EXPECT_TRUE(dock_->log.contains(QStringLiteral("SLV")));
  EXPECT_TRUE(dock_->log.contains(QStringLiteral("DSC")));
  // Bare messages: no frame bytes through the dock.
  EXPECT_EQ(dock_->sent.first(), "ENQ");
  EXPECT_EQ(instrument_->CountOf("WEP"), 521);
  EXPECT_EQ(dock_->sent.last(), "PFM");
}

TEST_F(DockPath, NGCompletionAndStopShowTheirDockTexts) {
  Open({9, "9.05", "A", 0});
  ExpectUpload(files_.Make(true, "9.12"), "9.12").Expect(Prompt::UploadCompleted, QLatin1String(kNGCompleted));
  session_->cbStartClick();
  ASSERT_TRUE(Finished());

  // Stop in the middle of the next upload: the release texts, then "STB".
  outcome_ = UploadOutcome::None;
  dock_->log.clear();
  ExpectUpload(files_.Make(true, "9.12"), "9.12");
  const int pagesBefore = instrument_->CountOf("WEP");
  session_->cbStartClick();
  ASSERT_TRUE(RunUntil(clock_, [&] { return instrument_->CountOf("WEP") > pagesBefore + 100; }));
  session_->cbStopClick();
  // The message names the page the instrument received last, as the page
  // label numbers it.
  dialogs_.Expect(Prompt::StoppedMidUpload,
                  StoppedMidUpload(QStringLiteral("page %1 of 383").arg(session_->Display().page.section(' ', 2))));
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcome_, UploadOutcome::Closed);
  EXPECT_TRUE(Lcd().contains(QStringLiteral("LCD0 [ Please Remove  ]")));
  EXPECT_TRUE(Lcd().contains(QStringLiteral("LCD1 [   Instrument   ]")));
  EXPECT_EQ(instrument_->CountOf("STB"), 1);
}

// Taken out mid-upload: the dock's display says the upload failed, as it
// says a completion, instead of going on with "Loading Instr" / "FLASH".
TEST_F(DockPath, TakenOutMidUploadTheDockShowsTheFailure) {
  Open({9, "9.05", "A", 0});
  ExpectUpload(files_.Make(true, "9.12"), "9.12").Expect(Prompt::UnexpectedDisconnect);
  session_->cbStartClick();
  ASSERT_TRUE(RunUntil(clock_, [&] { return instrument_->CountOf("WEP") > 10; }));
  dock_->TakeOut();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcome_, UploadOutcome::UnexpectedDisconnect);
  EXPECT_EQ(Lcd().mid(Lcd().size() - 2), (QStringList{"LCD0 [ FLASH Upload   ]", "LCD1 [     FAILED     ]"}));
}

TEST_F(DockPath, RefusalReleasesTheInstrumentWithTheDockTexts) {
  Open({10, "7.5", " ", 0});
  ExpectStart().Expect(Prompt::LtdNotSupported).Expect(Prompt::ConnectionClosed);
  session_->cbStartClick();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(Lcd().mid(2), (QStringList{"LCD0 [ Please Remove  ]", "LCD1 [   Instrument   ]"}));
}

TEST_F(DockPath, InstrumentOnlineWhileTheDockMessageShows) {
  // The dock reports the instrument at once: the connection step (and the
  // file dialogue) runs under the dock's own message. Its end does not undo it.
  Open({9, "7.61", "P", 0});
  ExpectUpload(files_.Make(false, "7.62", 'P'), "7.62").Expect(Prompt::UploadCompleted, QLatin1String(kDockCompleted));
  bool nested = false;
  dialogs_.OnCall = [&](const DialogCall& call) {
    if (nested || call.prompt != Prompt::PlaceInDock) return;
    nested = true;
    EXPECT_TRUE(RunUntil(clock_, [&] { return instrument_->CountOf("WEP") >= 1; }));
  };
  session_->cbStartClick();
  EXPECT_EQ(session_->Display().status, QStringLiteral("Uploading Flash to Intrument"));
  EXPECT_FALSE(session_->Display().startGroupBusy);
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcome_, UploadOutcome::Completed);
}
