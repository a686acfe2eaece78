#pragma once
// The main window with its debug window, and the base of the workflow tests:
// the window over a manual clock with a scripted operator, each run's end
// recorded.

#include <gtest/gtest.h>

#include <memory>

#include "app/MainForm.h"
#include "support/Firmware.h"
#include "support/Pump.h"
#include "support/ScriptedOperator.h"
#include "support/UploadDialogs.h"

namespace zelvo::test {

struct Window {
  Window() : debug(&main) { main.SetDebugForm(&debug); }
  TfrmMain main;
  TfrmDebug debug;
};

// A test with a simulated world of its own closes the window before the
// world goes.
class WindowWorkflow : public ::testing::Test {
 protected:
  // A new window, shown, once the link has looked for its transport (100 ms
  // after it is made).
  void OpenWindow() {
    window_.reset();
    window_ = std::make_unique<Window>();
    form_ = &window_->main;
    debug_ = &window_->debug;
    form_->show();
    ASSERT_TRUE(RunUntil(clock_, [&] { return !form_->KelLink1->ReplyTimer()->Enabled(); }, 1000));
    // The restart check after an upload is a test's own choice.
    form_->actCheckRestart->setChecked(false);
    outcome_ = UploadOutcome::None;
    form_->Session()->OnFinished = [this, window = form_->Session()->OnFinished](UploadOutcome outcome) {
      outcome_ = outcome;
      if (window) window(outcome);
    };
  }
  void CloseWindow() { window_.reset(); }
  bool Finished() { return RunUntil(clock_, [&] { return outcome_ != UploadOutcome::None; }); }
  // Ready for the next run: waiting (or saying how the last upload ended),
  // Start usable, Stop not, no busy cursor.
  void ExpectWaiting(const QString& status = QStringLiteral("Waiting")) {
    EXPECT_EQ(form_->lblStatus->text(), status);
    EXPECT_TRUE(form_->cbStart->isEnabled());
    EXPECT_FALSE(form_->cbStop->isEnabled());
    EXPECT_NE(form_->cursor().shape(), Qt::BusyCursor);
  }

  ManualClock clock_;  // before every timer
  ScriptedOperator dialogs_;
  FirmwareFiles files_;
  std::unique_ptr<Window> window_;
  TfrmMain* form_ = nullptr;
  TfrmDebug* debug_ = nullptr;
  UploadOutcome outcome_ = UploadOutcome::None;
};

}  // namespace zelvo::test
