#pragma once
// The main window: every control of the utility and the components it owns.

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

#include "app/AppVersionInfo.h"
#include "app/DebugForm.h"
#include "app/LedIndicator.h"
#include "core/Timer.h"
#include "dock/KovaExpressDock.h"
#include "net/DockEnumerator.h"
#include "instrument/ZelvoPro.h"
#include "link/KelLink.h"
#include "session/FlashJob.h"
#include "usb/USBPipe.h"

namespace zelvo {

inline constexpr const char* kApplicationTitle = "ZelvoPro Flash Utility";
inline constexpr const char* kMainCaption = "ZelvoPro Flash Upload Utility ";

class TfrmMain : public QWidget {
 public:
  // debugForm receives the trace lines; it is created by the caller so that
  // the start-up order (main window, then debug window) stays visible in main().
  explicit TfrmMain(QWidget* parent = nullptr);
  ~TfrmMain() override;

  void SetDebugForm(TfrmDebug* form) { debugForm_ = form; }
  TfrmDebug* DebugForm() const { return debugForm_; }

  // Caption and revision label from the program's version block.
  void FormShow();

  // Trace of the link: one line per message, and the activity LEDs.
  void KelLink1DebugSend(QObject* sender, const QByteArray& data);
  void KelLink1DebugReceive(QObject* sender, const QByteArray& data);

  // The upload workflow's handlers; the session does the work.
  void cbStartClick();
  void cbStopClick();
  void cbLoadFileClick();
  UploadSession* Session() const { return job_->Session(); }

  // Closing the window: a dock left enabled goes back to its own mode.
  void FormClose();

  // Dock selection.
  void chkUseKovaxClick();
  void cboUSBDocksChange();
  void cboNetDockListChange();
  void DockEnumerator1ListChanged();
  // Shows the dock check box, which the window keeps hidden by default.
  void RevealDockControls();

  // Controls, named as in the window description.
  QLabel* lblStatus;
  QGroupBox* gbInstrInfo;
  QLabel* lblInstrType;
  QLabel* lblInstFlashVer;
  QLabel* lblNewFlash;
  QLabel* lblFlashFileDate;
  QLabel* lblSilence;  // a wait for the instrument that goes on unanswered
  QPushButton* cbStart;
  QPushButton* cbStop;
  QPushButton* cbLoadFile;
  QFrame* panGauge;
  QProgressBar* gauProgress;
  QFrame* panLED;
  TLedIndicator* ledTX;
  TLedIndicator* ledRX;
  QLabel* lblPageNum;
  QLabel* lblFlashAdr;
  QLabel* lblFlashTime;
  QLabel* Rev;
  QLabel* imgInstr;
  QLabel* imgKovaxDock;
  QCheckBox* chkUseKovax;
  QCheckBox* UseWeb;
  QComboBox* cboUSBDocks;
  QLineEdit* IpAddr;
  QLabel* lblNetwrkDocks;
  QComboBox* cboNetDockList;

  // Non-visual components, in the order they are created.
  TKelLink* KelLink1;
  TTimer* tmrInstrCon;
  TTimer* tmrInstrDisc;
  TTimer* tmrDockLCDUpd;
  QMenu* PopupMenu1;
  QAction* actCheckRestart;  // the restart check after an upload (on by default)
  TAppVersionInfo* AppInfo;
  TZelvoPro* ZelvoPro1;
  TUSBDevice* USBDevice1;
  TKovaExpressDock* KovaExpressDock1;
  TDockEnumerator* DockEnumerator1;

 protected:
  void showEvent(QShowEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void CreateComponents();
  void AppendTrace(bool sent, const QByteArray& data);
  void ShowDisplay();
  // False when the search could not start (the operator has been told why).
  bool SetUpNetworkChoice();
  bool StartDockSearch();
  void FitHeightToDockRows();
  // True when the window may close now: nothing is being written. When the
  // technician chooses to abandon an upload, the instrument is released and
  // the window closes once the run has ended.
  bool ReleaseBeforeClosing();
  static constexpr int kDesignWidth = 480;
  static constexpr int kDesignHeight = 390;

  FlashJob* job_ = nullptr;
  TfrmDebug* debugForm_ = nullptr;
  bool shown_ = false;
  bool statusAlarmShown_ = false;
  bool closeAfterRelease_ = false;
};

}  // namespace zelvo
