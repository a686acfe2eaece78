#include "app/MainForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <algorithm>
#include <QPointer>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QHBoxLayout>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "app/Artwork.h"
#include "core/Bytes.h"
#include "core/Dialogs.h"
#include "core/MessagePump.h"
#include "net/SocketErrors.h"

namespace zelvo {

namespace {

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QLatin1String(name));
  return label;
}

}  // namespace

TfrmMain::TfrmMain(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QLatin1String(kMainCaption));
  CreateControls();
  CreateComponents();
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::CreateControls() {
  lblStatus = MakeLabel(this, "lblStatus", QStringLiteral("Waiting"));
  lblStatus->setAlignment(Qt::AlignCenter);
  QFont statusFont = lblStatus->font();
  statusFont.setPixelSize(19);
  statusFont.setBold(true);
  lblStatus->setFont(statusFont);
  lblStatus->setStyleSheet(QStringLiteral("color: blue;"));

  gbInstrInfo = new QGroupBox(QStringLiteral("Instrument Information"), this);
  gbInstrInfo->setObjectName(QStringLiteral("gbInstrInfo"));
  lblInstrType = MakeLabel(gbInstrInfo, "lblInstrType", QStringLiteral("Type:"));
  lblInstFlashVer = MakeLabel(gbInstrInfo, "lblInstFlashVer", QStringLiteral("Flash Version:"));
  lblNewFlash = MakeLabel(gbInstrInfo, "lblNewFlash", QStringLiteral("Upgrading to:"));
  lblFlashFileDate = MakeLabel(gbInstrInfo, "lblFlashFileDate", QStringLiteral("(Flash Date)"));
  // A wait that goes on unanswered is said below the instrument's lines.
  lblSilence = MakeLabel(gbInstrInfo, "lblSilence", QString());
  lblSilence->setWordWrap(true);
  lblSilence->setStyleSheet(QStringLiteral("color: #b00000;"));
  auto* infoLayout = new QVBoxLayout(gbInstrInfo);
  for (QLabel* label : {lblInstrType, lblInstFlashVer, lblNewFlash, lblFlashFileDate, lblSilence})
    infoLayout->addWidget(label);
  infoLayout->addStretch();

  cbStart = new QPushButton(QStringLiteral("Start"), this);
  cbStart->setObjectName(QStringLiteral("cbStart"));
  cbStop = new QPushButton(QStringLiteral("Stop"), this);
  cbStop->setObjectName(QStringLiteral("cbStop"));
  cbStop->setEnabled(false);
  cbLoadFile = new QPushButton(QStringLiteral("Load File"), this);
  cbLoadFile->setObjectName(QStringLiteral("cbLoadFile"));
  cbLoadFile->setVisible(false);
  for (QPushButton* button : {cbStart, cbStop}) button->setMinimumWidth(110);
  for (QPushButton* button : {cbStart, cbStop, cbLoadFile}) button->installEventFilter(this);

  panGauge = new QFrame(this);
  panGauge->setObjectName(QStringLiteral("panGauge"));
  panGauge->setFrameShape(QFrame::StyledPanel);
  gauProgress = new QProgressBar(panGauge);
  gauProgress->setObjectName(QStringLiteral("gauProgress"));
  gauProgress->setOrientation(Qt::Horizontal);
  gauProgress->setRange(0, 100);
  gauProgress->setValue(0);
  gauProgress->setTextVisible(true);
  auto* gaugeLayout = new QHBoxLayout(panGauge);
  gaugeLayout->addWidget(gauProgress);

  panLED = new QFrame(this);
  panLED->setObjectName(QStringLiteral("panLED"));
  panLED->setFrameShape(QFrame::StyledPanel);
  ledTX = new TLedIndicator(panLED);
  ledTX->setObjectName(QStringLiteral("ledTX"));
  ledTX->setToolTip(QStringLiteral("TX"));
  ledRX = new TLedIndicator(panLED);
  ledRX->setObjectName(QStringLiteral("ledRX"));
  ledRX->setToolTip(QStringLiteral("RX"));
  auto* ledLayout = new QHBoxLayout(panLED);
  ledLayout->addWidget(new QLabel(QStringLiteral("TX"), panLED));
  ledLayout->addWidget(ledTX);
  ledLayout->addSpacing(8);
  ledLayout->addWidget(new QLabel(QStringLiteral("RX"), panLED));
  ledLayout->addWidget(ledRX);

  lblPageNum = MakeLabel(this, "lblPageNum", QStringLiteral("Sending PAGE"));
  lblFlashAdr = MakeLabel(this, "lblFlashAdr", QStringLiteral("Address:"));
  lblFlashTime = MakeLabel(this, "lblFlashTime", QStringLiteral("Time"));
  Rev = MakeLabel(this, "Rev", QStringLiteral("Revision"));
  QFont revFont = Rev->font();
  revFont.setItalic(true);
  Rev->setFont(revFont);
  Rev->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  imgInstr = MakeLabel(this, "imgInstr", QString());
  imgInstr->setPixmap(InstrumentPicture(QSize(96, 170)));
  imgInstr->setFixedSize(96, 170);
  imgKovaxDock = MakeLabel(this, "imgKovaxDock", QString());
  imgKovaxDock->setPixmap(DockPicture(QSize(150, 100)));
  imgKovaxDock->setVisible(false);

  chkUseKovax = new QCheckBox(QStringLiteral("Use Kova Express"), this);
  chkUseKovax->setObjectName(QStringLiteral("chkUseKovax"));
  chkUseKovax->setVisible(false);
  UseWeb = new QCheckBox(QStringLiteral("Use Web"), this);
  UseWeb->setObjectName(QStringLiteral("UseWeb"));
  UseWeb->setVisible(false);
  cboUSBDocks = new QComboBox(this);
  cboUSBDocks->setObjectName(QStringLiteral("cboUSBDocks"));
  cboUSBDocks->setVisible(false);
  IpAddr = new QLineEdit(QStringLiteral("192.168.10.100"), this);
  IpAddr->setObjectName(QStringLiteral("IpAddr"));
  IpAddr->setVisible(false);
  lblNetwrkDocks = MakeLabel(this, "lblNetwrkDocks", QStringLiteral("Ethernet Availiable Docks List"));
  lblNetwrkDocks->setVisible(false);
  cboNetDockList = new QComboBox(this);
  cboNetDockList->setObjectName(QStringLiteral("cboNetDockList"));
  cboNetDockList->setVisible(false);

  // Layout: status across the top; picture and instrument panel; buttons and
  // dock choice; progress; page, address, time and LEDs; revision.
  auto* top = new QVBoxLayout(this);
  top->setContentsMargins(14, 10, 14, 8);
  top->setSpacing(8);
  top->addWidget(lblStatus);

  auto* middle = new QHBoxLayout;
  middle->addWidget(imgInstr);
  middle->addWidget(imgKovaxDock);
  middle->addWidget(gbInstrInfo, 1);
  top->addLayout(middle);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(cbStart);
  buttons->addWidget(cbStop);
  buttons->addWidget(cbLoadFile);
  buttons->addStretch();
  buttons->addWidget(chkUseKovax);
  buttons->addWidget(UseWeb);
  top->addLayout(buttons);

  auto* docks = new QGridLayout;
  docks->addWidget(cboUSBDocks, 0, 0);
  docks->addWidget(IpAddr, 0, 1);
  docks->addWidget(lblNetwrkDocks, 1, 0);
  docks->addWidget(cboNetDockList, 1, 1);
  top->addLayout(docks);

  top->addWidget(panGauge);

  auto* progress = new QHBoxLayout;
  progress->addWidget(lblPageNum, 1);
  progress->addWidget(lblFlashAdr, 1);
  progress->addWidget(lblFlashTime, 1);
  progress->addWidget(panLED);
  top->addLayout(progress);
  top->addWidget(Rev);

  setFixedSize(kDesignWidth, kDesignHeight);
}

// The window keeps its design size; the dock rows, when shown, make it taller
// instead of squeezing the picture onto the buttons.
void TfrmMain::FitHeightToDockRows() {
  layout()->activate();
  setFixedSize(kDesignWidth, std::max(kDesignHeight, layout()->sizeHint().height()));
}

void TfrmMain::CreateComponents() {
  KelLink1 = new TKelLink(this);

  tmrInstrCon = new TTimer(this);
  tmrInstrCon->SetInterval(100);
  tmrInstrDisc = new TTimer(this);
  tmrInstrDisc->SetInterval(100);
  tmrDockLCDUpd = new TTimer(this);
  tmrDockLCDUpd->SetInterval(1000);

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
  PopupMenu1->addAction(QStringLiteral("Debug Window"), this, [this] {
    if (debugForm_) debugForm_->setVisible(true);
  });
  // The restart check after an upload, on unless the technician turns it off.
  actCheckRestart = PopupMenu1->addAction(QStringLiteral("Check the Restart After an Upload"));
  actCheckRestart->setObjectName(QStringLiteral("actCheckRestart"));
  actCheckRestart->setCheckable(true);
  actCheckRestart->setChecked(true);
  // Exit closes the window as the title bar does: a running upload is asked
  // about, and the dock goes back to its own mode.
  PopupMenu1->addAction(QStringLiteral("Exit"), this, [this] {
    if (close()) QCoreApplication::exit(0);
  });

  AppInfo = new TAppVersionInfo(this);
  AppInfo->SetLangId(QStringLiteral("0409"));

  ZelvoPro1 = new TZelvoPro(this);
  ApplyDesignTimeValues(*KelLink1, *ZelvoPro1);

  USBDevice1 = new TUSBDevice(this);
  USBDevice1->DebugOnPipeData = [](QObject*, int, int) {};
  USBDevice1->SetReceiveBufferSize(szAuto);
  USBDevice1->SetDeviceType(tpKovaExpress);
  USBDevice1->SetUseWindowsMsgs(false);

  KovaExpressDock1 = new TKovaExpressDock(this);
  KovaExpressDock1->SetUSBDevice(USBDevice1);
  KovaExpressDock1->SetDockState(TKovaExpressDock::TDockState::Cmd_Enq);
  KovaExpressDock1->SetCommandTimeOut(3000);
  KovaExpressDock1->OnTCPConnected = [](QObject*) {};

  DockEnumerator1 = new TDockEnumerator(this);
  DockEnumerator1->SetDockType(TPDockType::tpKovaExpress);
  DockEnumerator1->OnListChanged = [this](QObject*) { DockEnumerator1ListChanged(); };

  job_ = new FlashJob({ZelvoPro1, KelLink1, KovaExpressDock1, {}, tmrInstrCon, tmrInstrDisc, tmrDockLCDUpd}, this);
  job_->SetRestartCheck(actCheckRestart->isChecked());
  connect(actCheckRestart, &QAction::toggled, this, [this](bool on) { job_->SetRestartCheck(on); });
  job_->OnTrace = [this](bool sent, const QByteArray& data) {
    if (sent)
      KelLink1DebugSend(KelLink1, data);
    else
      KelLink1DebugReceive(KelLink1, data);
  };
  job_->OnDisplayChanged = [this] { ShowDisplay(); };
  job_->OnEnded = [this](const JobEnding&) {
    if (!closeAfterRelease_) return;
    QTimer::singleShot(0, this, [this] {
      closeAfterRelease_ = false;
      close();
    });
  };
  job_->OnClearTrace = [this] {
    if (debugForm_) debugForm_->Debug->clear();
  };
  connect(cbStart, &QPushButton::clicked, this, [this] { cbStartClick(); });
  connect(cbStop, &QPushButton::clicked, this, [this] { cbStopClick(); });
  connect(cbLoadFile, &QPushButton::clicked, this, [this] { cbLoadFileClick(); });
  connect(chkUseKovax, &QCheckBox::clicked, this, [this] { chkUseKovaxClick(); });
  connect(cboUSBDocks, &QComboBox::activated, this, [this] { cboUSBDocksChange(); });
  connect(cboNetDockList, &QComboBox::activated, this, [this] { cboNetDockListChange(); });
}

void TfrmMain::cbStartClick() {
  job_->SetUseDock(chkUseKovax->isChecked());
  job_->SetDockAddress(IpAddr->text());
  job_->Start();
}

void TfrmMain::cbStopClick() { job_->Stop(); }

void TfrmMain::cbLoadFileClick() { job_->LoadFile(); }

// The controls follow the session's display.
void TfrmMain::ShowDisplay() {
  const UploadDisplay& d = job_->Display();
  lblStatus->setText(d.status);
  if (d.statusAlarm != statusAlarmShown_) {
    statusAlarmShown_ = d.statusAlarm;
    lblStatus->setStyleSheet(d.statusAlarm ? QStringLiteral("color: #c00000;") : QStringLiteral("color: blue;"));
  }
  lblInstrType->setText(d.instrType);
  lblInstFlashVer->setText(d.flashVersion);
  lblNewFlash->setText(ToText(d.newFlash));
  lblFlashFileDate->setText(ToText(d.flashDate));
  lblSilence->setText(d.silence);
  cbStart->setEnabled(d.startEnabled);
  // The dock in use cannot change under a connection.
  for (QWidget* w : {static_cast<QWidget*>(chkUseKovax), static_cast<QWidget*>(cboUSBDocks),
                     static_cast<QWidget*>(IpAddr), static_cast<QWidget*>(cboNetDockList)})
    w->setEnabled(d.startEnabled);
  cbStop->setEnabled(d.stopEnabled);
  gauProgress->setValue(d.progress);
  lblFlashAdr->setText(d.address);
  lblPageNum->setText(d.page);
  lblFlashTime->setText(d.time);

  // Busy cursors: the start group while connecting, the connected group while
  // an instrument is connected; the window belongs to both.
  const auto apply = [](QWidget* widget, bool busy) {
    if (busy)
      widget->setCursor(Qt::BusyCursor);
    else
      widget->unsetCursor();
  };
  apply(this, d.startGroupBusy || d.connectedGroupBusy);
  for (QWidget* w : {static_cast<QWidget*>(panGauge), static_cast<QWidget*>(panLED)})
    apply(w, d.startGroupBusy || d.connectedGroupBusy);
  apply(gbInstrInfo, d.startGroupBusy || d.connectedGroupBusy);
  for (QWidget* w : {static_cast<QWidget*>(cbStop), static_cast<QWidget*>(gauProgress),
                     static_cast<QWidget*>(chkUseKovax), static_cast<QWidget*>(cboUSBDocks)})
    apply(w, d.connectedGroupBusy);
}

void TfrmMain::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shown_) return;
  shown_ = true;
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  FormShow();
}

void TfrmMain::FormShow() {
  AppInfo->SetExeName(QCoreApplication::applicationFilePath());
  AppInfo->ReadVersionInfo();
  const QString version = AppInfo->FileVersion();
  setWindowTitle(windowTitle() + TAppVersionInfo::VersionField(version, 1) + QLatin1Char('.') +
                 TAppVersionInfo::VersionField(version, 2));
  Rev->setText(QStringLiteral("Revision ") + TAppVersionInfo::VersionField(version, 3));
}

void TfrmMain::contextMenuEvent(QContextMenuEvent* event) { PopupMenu1->popup(event->globalPos()); }

// Enter on a focused button presses it, as Space does (outside a dialog a
// push button takes Space only).
bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
  const auto* key = static_cast<QKeyEvent*>(event);
  auto* button = qobject_cast<QPushButton*>(watched);
  if (!button || key->isAutoRepeat() || (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter))
    return QWidget::eventFilter(watched, event);
  if (button->isEnabled()) button->click();
  return true;
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  if (!ReleaseBeforeClosing()) {
    event->ignore();
    return;
  }
  FormClose();
  QWidget::closeEvent(event);
}

bool TfrmMain::ReleaseBeforeClosing() {
  if (closeAfterRelease_) return false;  // already on its way
  if (!job_->UploadInProgress()) return true;
  QPointer<TfrmMain> self(this);
  const MsgResult answer = MessageDlg(Prompt::AbandonUpload, QLatin1String(upload_text::kAbandonUpload),
                                      MsgIcon::Warning, MsgButtons::YesNo);
  if (!self || answer != MsgResult::Yes) return false;
  if (!job_->UploadInProgress()) return true;  // it ended while the question was open
  // The run ends as Stop ends it, its final message included; the window
  // closes after that.
  closeAfterRelease_ = true;
  job_->Stop();
  return false;
}

void TfrmMain::FormClose() {
  if (!KovaExpressDock1->Enabled()) return;
  QPointer<TfrmMain> self(this);
  bool retry = false;
  KovaExpressDock1->SetSlaveMode(false, retry);
  if (!self) return;
  const QByteArray blank(14, ' ');
  KovaExpressDock1->SetLCDLineText(0, blank);
  if (!self) return;
  KovaExpressDock1->SetLCDLineText(1, blank);
}

// --- dock selection ---------------------------------------------------------

void TfrmMain::RevealDockControls() { chkUseKovax->setVisible(true); }

void TfrmMain::chkUseKovaxClick() {
  if (!chkUseKovax->isChecked()) {
    for (QWidget* w : {static_cast<QWidget*>(cboUSBDocks), static_cast<QWidget*>(IpAddr),
                       static_cast<QWidget*>(cboNetDockList), static_cast<QWidget*>(lblNetwrkDocks)})
      w->setVisible(false);
    FitHeightToDockRows();
    KelLink1->SetKovaExpressDock(nullptr);
    return;
  }
  KelLink1->SetKovaExpressDock(KovaExpressDock1);
  QPointer<TfrmMain> self(this);
  // The docks on the bus now: one plugged in since the window opened counts.
  USBDevice1->RefreshDeviceList();
  const QStringList devices = USBDevice1->DeviceList();
  if (devices.isEmpty()) {
    MessageDlg(Prompt::NoUsbDocks,
               QStringLiteral("No docks connected to the USB bus were found, Please enter the address of remote dock, "
                              "or pick one from the list."),
               MsgIcon::Information, MsgButtons::OK);
    if (!self) return;
    SetUpNetworkChoice();
    return;
  }
  const MsgResult answer =
      MessageDlg(Prompt::UseUsbDock,
                 QStringLiteral("Do you want to use a dock connected to this computer via USB?\r\n\r\n"
                                "Select \"No\" if you want to select a Network dock."),
                 MsgIcon::Confirmation, MsgButtons::YesNo);
  if (!self) return;
  if (answer == MsgResult::Yes) {
    KovaExpressDock1->SetUSBDevice(USBDevice1);
    cboUSBDocks->setVisible(true);
    FitHeightToDockRows();
    cboUSBDocks->clear();
    for (int n = 1; n <= devices.size(); ++n) cboUSBDocks->addItem(QStringLiteral("Kova Express Dock(USB) %1").arg(n));
    // The dock Start will open: the one chosen before if it is still there,
    // the first one when none was chosen.
    const QString chosen = USBDevice1->DeviceName();
    cboUSBDocks->setCurrentIndex(chosen.isEmpty() ? 0 : devices.indexOf(chosen));
    ProcessMessages();
    if (!self) return;
    MessageDlg(Prompt::SelectOneDock, QStringLiteral("Please select one dock from the drop down list."),
               MsgIcon::Information, MsgButtons::OK);
  } else {
    const bool searching = SetUpNetworkChoice();
    ProcessMessages();
    if (!self || !searching) return;  // the operator has been told why there is no list
    MessageDlg(Prompt::EnterDockAddress,
               QStringLiteral("Please enter the remote dock address, or pick one from the list."), MsgIcon::Information,
               MsgButtons::OK);
  }
}

bool TfrmMain::SetUpNetworkChoice() {
  IpAddr->setVisible(true);
  KovaExpressDock1->SetUSBDevice(nullptr);
  cboNetDockList->setVisible(true);
  lblNetwrkDocks->setVisible(true);
  FitHeightToDockRows();
  return StartDockSearch();
}

// A new search starts from an empty list. One that cannot start leaves it
// empty: the operator is told why, in one message, and can still type the
// address.
bool TfrmMain::StartDockSearch() {
  cboNetDockList->clear();
  try {
    DockEnumerator1->StartEnumeration();
    return true;
  } catch (const ESocketException& error) {
    const QString port = QLatin1String(DockKindOf(DockEnumerator1->DockType()).listenPort);
    const QString why = TDockEnumerator::ListenPortInUse(error)
                            ? QStringLiteral("UDP port %1 is in use by another program").arg(port)
                            : QStringLiteral("cannot listen on UDP port %1, %2 (%3)")
                                  .arg(port, WinsockErrorText(error.Code()))
                                  .arg(error.Code());
    MessageDlg(Prompt::DockSearchError,
               QStringLiteral("Network Dock Search Error - ") + why +
                   QStringLiteral("! Please enter the remote dock address."),
               MsgIcon::Warning, MsgButtons::OK);
    return false;
  }
}

void TfrmMain::cboUSBDocksChange() {
  const QStringList devices = USBDevice1->DeviceList();
  const int index = cboUSBDocks->currentIndex();
  if (index >= 0 && index < devices.size()) USBDevice1->SetDeviceName(devices.at(index));
}

void TfrmMain::DockEnumerator1ListChanged() {
  cboNetDockList->clear();
  cboNetDockList->addItems(DockEnumerator1->DockNames);
  // Only the dock whose address is in use shows as chosen.
  cboNetDockList->setCurrentIndex(DockEnumerator1->DockAddresses.indexOf(IpAddr->text()));
}

void TfrmMain::cboNetDockListChange() {
  const int index = cboNetDockList->currentIndex();
  if (index >= 0 && index < DockEnumerator1->DockAddresses.size())
    IpAddr->setText(DockEnumerator1->DockAddresses.at(index));
}

void TfrmMain::AppendTrace(bool sent, const QByteArray& data) {
  if (debugForm_) debugForm_->Debug->appendPlainText(ToText(TraceLine(sent, data)));
  ledRX->SetLit(!ledRX->Lit());
  ledTX->SetLit(!ledRX->Lit());
}

void TfrmMain::KelLink1DebugSend(QObject*, const QByteArray& data) { AppendTrace(true, data); }

void TfrmMain::KelLink1DebugReceive(QObject*, const QByteArray& data) { AppendTrace(false, data); }

}  // namespace zelvo
