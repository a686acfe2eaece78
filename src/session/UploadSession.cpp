#include "session/UploadSession.h"

#include <algorithm>

#include "core/Bytes.h"
#include "core/Dialogs.h"
#include "core/MessagePump.h"
#include "core/Timer.h"
#include "instrument/FlashFile.h"
#include "instrument/ZelvoPro.h"
#include "link/KelLink.h"
#include "dock/UploadDock.h"

namespace zelvo {

namespace upload_text {
QString VersionNotSupported(const QByteArray& version) {
  return QStringLiteral("The current Flash version (") + ToText(version) +
         QStringLiteral(") does not support Flash Upload via Infrared! Please contact Orlund Instrumentation.");
}

QString UploadStalled(const QString& where, int seconds) {
  return QStringLiteral("Flash Upload NOT Completed! The instrument did not answer for %1 s at %2. Please start the "
                        "upload again.")
      .arg(seconds)
      .arg(where);
}
QString UploadRefused(const QString& where) {
  return QStringLiteral("Flash Upload NOT Completed! The instrument refused %1; nothing more was sent. Please start "
                        "the upload again.")
      .arg(where);
}
QString StoppedMidUpload(const QString& where) {
  return QLatin1String(kConnectionClosed) +
         QStringLiteral(" The upload was stopped at %1: the instrument holds an incomplete firmware. Please start the "
                        "upload again.")
             .arg(where);
}
QString NewFirmwareRunning(const QByteArray& version, const QByteArray& type) {
  return QStringLiteral("New firmware running: ") + ToText(version + ' ' + type).trimmed();
}
QString OtherFirmwareRunning(const QByteArray& version, const QByteArray& type, const QByteArray& fileVersion,
                             const QByteArray& fileType) {
  return QStringLiteral("Flash Upload NOT Completed! The instrument came back running %1, not the file's %2: the new "
                        "firmware did not take. Please start the upload again.")
      .arg(ToText(version + ' ' + type).trimmed(), ToText(fileVersion + ' ' + fileType).trimmed());
}
QString NotBackFromRestart(int seconds) {
  return QStringLiteral("The instrument did not come back within %1 s of the upload, so its new firmware could not "
                        "be checked. Check its firmware version before it is used.")
      .arg(seconds);
}
}  // namespace upload_text

using namespace upload_text;

bool IsCancellation(RunRefusal refusal) {
  return refusal == RunRefusal::EraseDeclined || refusal == RunRefusal::NoFileChosen ||
         refusal == RunRefusal::UpgradeDeclined;
}

namespace {
RunRefusal RefusalOf(FileRefusal refusal) {
  switch (refusal) {
    case FileRefusal::NoneChosen: return RunRefusal::NoFileChosen;
    case FileRefusal::NotValid: return RunRefusal::FileNotValid;
    case FileRefusal::TypeDeclined: return RunRefusal::TypeDeclined;
    case FileRefusal::UpgradeDeclined: return RunRefusal::UpgradeDeclined;
    case FileRefusal::OlderVersionDeclined: return RunRefusal::OlderVersionDeclined;
    case FileRefusal::InstrumentGone: break;
  }
  return RunRefusal::None;
}
}  // namespace

void ApplyDesignTimeValues(TKelLink& link, TZelvoPro& instrument) {
  link.SetInstrumentType(TKelType::tpZelvoPro);
  link.SetRS232Port(1);
  link.SetRS232BaudRate(115200);
  link.SetConnected(false);
  link.SetDefaultTimeOut(30);
  link.SetLogging(TTraceLogState::tlOff);
  instrument.SetKelLink(&link);
  instrument.SetTimeOut(5);
  for (auto setter : {&TZelvoPro::SetStandardClamping, &TZelvoPro::SetAlternateClamping,
                      &TZelvoPro::SetAlarmLatchEnabled, &TZelvoPro::SetTwaAlarmEnabled, &TZelvoPro::SetPeakAlarmEnabled,
                      &TZelvoPro::SetStelAlarmEnabled, &TZelvoPro::SetGasIndicatorModeLTD, &TZelvoPro::SetIsRussian,
                      &TZelvoPro::SetAlarmAckEnabled, &TZelvoPro::SetUltraShipMode, &TZelvoPro::SetDeadBattery,
                      &TZelvoPro::SetVibrPowerSavemode, &TZelvoPro::SetMaxSensorResolution,
                      &TZelvoPro::SetSensorNeedsZeroCal, &TZelvoPro::SetSensorNeedsSpanCal, &TZelvoPro::SetDLStatus,
                      &TZelvoPro::SetNeverTurnOffMode, &TZelvoPro::SetVibratorInstalled, &TZelvoPro::SetCalDueLockOut})
    (instrument.*setter)(false);
}

QByteArray TraceLine(bool sent, const QByteArray& data) {
  QByteArray line(sent ? "SND#" : "RCV#");
  line.reserve(data.size() + 6);
  for (const char c : data) {
    switch (c) {
      case '\\': line += "\\\\"; break;
      case '\n': line += "\\n"; break;
      case '\r': line += "\\r"; break;
      case '#': line += "\\#"; break;
      default: line += c;
    }
  }
  return line + '#';
}

std::optional<QByteArray> TraceMessage(const QByteArray& line) {
  if (!(line.startsWith("SND#") || line.startsWith("RCV#")) || line.size() < 5 || !line.endsWith('#'))
    return std::nullopt;
  QByteArray message;
  message.reserve(line.size() - 5);
  for (qsizetype i = 4; i < line.size() - 1; ++i) {
    char c = line.at(i);
    if (c == '#') return std::nullopt;  // only the last one closes the line
    if (c == '\\') {
      if (++i == line.size() - 1) return std::nullopt;
      switch (line.at(i)) {
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case '\\': case '#': c = line.at(i); break;
        default: return std::nullopt;
      }
    }
    message += c;
  }
  return message;
}

UploadSession::UploadSession(TZelvoPro* instrument, TKelLink* link, TTimer* tmrInstrCon, TTimer* tmrInstrDisc,
                             TTimer* tmrDockLCDUpd, QObject* owner)
    : QObject(owner),
      instrument_(instrument),
      link_(link),
      tmrInstrCon_(tmrInstrCon),
      tmrInstrDisc_(tmrInstrDisc),
      tmrDockLCDUpd_(tmrDockLCDUpd) {
  instrument_->OnIsOnline = [this](QObject*, bool status) { ZelvoPro1IsOnline(status); };
  instrument_->OnProgFlashSent = [this](QObject*, int error) { ZelvoPro1ProgFlashSent(error); };
  instrument_->OnFlashProgress = [this](QObject*, int position, int total) { ZelvoPro1FlashProgress(position, total); };
  instrument_->OnTimeOut = [this](QObject*) { ZelvoPro1TimeOut(); };
  instrument_->OnUploadHalted = [this](QObject*, UploadHalt halt) {
    if (HaltHandler) return HaltHandler(halt);
    UploadHalted();
  };
  tmrInstrCon_->OnTimer = [this](QObject*) { tmrInstrConTimer(); };
  tmrInstrDisc_->OnTimer = [this](QObject*) { tmrInstrDiscTimer(); };
  tmrDockLCDUpd_->OnTimer = [this](QObject*) { tmrDockLCDUpdTimer(); };
  instrument_->OnIdentifying = [this](QObject*) {
    if (OnIdentifying) OnIdentifying();
    if (connecting_) StartLimit(identifyLimitS_);
  };
  limitTimer_ = new TTimer(this);
  limitTimer_->OnTimer = [this](QObject*) { LimitReached(); };
  restartWatch_ = new RestartWatch(instrument_, link_, this);
  restartWatch_->OnEnded = [this](const RestartCheckReport& report) { RestartChecked(report); };
  silenceTicker_ = new TTimer(this);
  silenceTicker_->SetInterval(1000);
  silenceTicker_->OnTimer = [this](QObject*) { SilenceTick(); };
}

void UploadSession::Changed() {
  if (OnDisplayChanged) OnDisplayChanged();
}

void UploadSession::SetLcd(int line, const QByteArray& text) {
  if (dock_) dock_->SetLCDLineText(line, text);
}

void UploadSession::ShowReleaseTexts() {
  if (!useDock_) return;
  SetLcd(0, " Please Remove  ");
  SetLcd(1, "   Instrument   ");
}

// --- Start and Stop ---

void UploadSession::cbStartClick() {
  if (restartWatch_->Running()) return;  // the last run is not over
  if (dock_) dock_->SetEthernetAddress(dockAddress_);
  result_ = UploadResult{};
  // Nothing of the last run's screen is carried into this one.
  display_ = UploadDisplay{};
  Changed();
  releasing_ = false;
  if (OnClearTrace) OnClearTrace();
  elapsedSeconds_ = 0;

  if (MessageDlg(Prompt::EraseWarning, QLatin1String(kEraseWarning), MsgIcon::Warning, MsgButtons::OKCancel) !=
      MsgResult::OK) {
    Refuse(RunRefusal::EraseDeclined);
    return Finish(UploadOutcome::Cancelled);
  }

  // Opening the link and the dock's message wait in nested loops: the
  // instrument may come online, or the run end, before they return. What
  // they did is not undone.
  const quint64 before = statusEvents_;
  connecting_ = true;
  endOutcome_ = UploadOutcome::None;
  endedBeforeLinkDown_ = false;
  link_->OnOpenFailed = [this](QObject*) { LinkOpenFailed(); };
  if (useDock_ && dock_) {
    if (!dock_->Enabled()) dock_->SetEnabled(true);
    dock_->ClearUsbHalted();
    SetLcd(2, "Insert Instr");
    if (connecting_) SetLcd(3, "   To Flash   ");
    if (!connecting_) return;  // given up meanwhile: the disconnection step ends the run
    link_->OnTimeOut = [this](QObject*, quint16) { KelLink1TimeOut(); };
    display_.startEnabled = false;
    display_.stopEnabled = true;  // connecting can be given up
    Changed();
    instrument_->SetOnline(true);
    link_->HoldConnectTimeOut();
    // The message has done its work once the instrument is online: it is
    // closed then, as if OK were pressed (ZelvoPro1IsOnline).
    if (statusEvents_ == before)
      ClosableMessage(Prompt::PlaceInDock, QLatin1String(kPlaceInDock), MsgIcon::Information, placeInDock_);
    // The technician docks the instrument after reading the message: the
    // connect time-out counts from now.
    link_->RestartConnectTimeOut();
    if (statusEvents_ == before) display_.status = QStringLiteral("Connecting to Instrument");
  } else {
    MessageDlg(Prompt::IrdaMode, QLatin1String(kIrdaMode), MsgIcon::Information, MsgButtons::OK);
    display_.status = QStringLiteral("Connecting to Instrument");
    link_->OnTimeOut = [this](QObject*, quint16) { KelLink1TimeOut(); };
    display_.startEnabled = false;
    display_.stopEnabled = true;  // connecting can be given up
    Changed();
    instrument_->SetOnline(true);
  }
  if (statusEvents_ == before) display_.startGroupBusy = true;
  Changed();
}

void UploadSession::cbStopClick() {
  if (restartWatch_->Running()) {  // the check is given up; the upload is done
    restartWatch_->GiveUp(RestartCheckReport::End::Cancelled, RestartWatch::kReleaseWaitMs);
    return;
  }
  if (releasing_) return;
  uploadInProgress_ = false;
  uploadDone_ = false;
  StopLimit();
  if (!link_->Connected()) {
    // Still connecting: the opening is given up, and the run ends here. A
    // silent dock is not waited for.
    if (useDock_ && dock_) dock_->AbandonCommand();
    link_->CloseLink();
    connecting_ = false;
    tmrInstrDisc_->SetEnabled(true);
    return;
  }
  // The instrument has up to its reply time-out to answer: the window says
  // what it waits for, and Stop is not offered again meanwhile.
  releasing_ = true;
  AskToStandBy();
  display_.status = QStringLiteral("Releasing Instrument");
  display_.stopEnabled = false;
  Changed();
  ShowReleaseTexts();
}

void UploadSession::cbLoadFileClick() {
  instrument_->SetIsNG(true);
  instrument_->SendLoader();
}

// The connect time-out: no instrument came up. The disconnection step ends
// the run with "Connection Time Out!" and the window back to waiting.
void UploadSession::KelLink1TimeOut() {
  ++statusEvents_;
  EndWithoutLinkDown(UploadOutcome::TimedOut);
}

// The link could not be opened at all; it has said why.
// The instrument refused a page or a part of the flash loader, and the
// component has said so ("Error sending Flash"): nothing more will be sent,
// so the upload ends there, with the instrument released.
void UploadSession::UploadHalted() {
  ++statusEvents_;
  if (!uploadInProgress_) return;
  result_.stalledAt = WhereTheUploadStopped();
  AskToStandBy();
  ShowReleaseTexts();
  EndWithoutLinkDown(UploadOutcome::Halted);
}

void UploadSession::LinkOpenFailed() {
  ++statusEvents_;
  EndWithoutLinkDown(UploadOutcome::LinkFailed);
}

void UploadSession::EndWithoutLinkDown(UploadOutcome outcome) {
  connecting_ = false;
  StopLimit();
  endOutcome_ = outcome;
  tmrInstrDisc_->SetEnabled(true);
}

void UploadSession::Refuse(RunRefusal refusal) { result_.refusal = refusal; }

void UploadSession::Finish(UploadOutcome outcome) {
  result_.outcome = outcome;
  if (OnFinished) OnFinished(outcome);
}

void UploadSession::StartLimit(int seconds) {
  StopLimit();
  limitS_ = seconds;
  silenceTicker_->SetEnabled(true);
  if (seconds <= 0) return;
  limitTimer_->SetInterval(seconds * 1000);
  limitTimer_->SetEnabled(true);
}

void UploadSession::StopLimit() {
  limitTimer_->SetEnabled(false);
  silenceTicker_->SetEnabled(false);
  silentS_ = 0;
  if (display_.silence.isEmpty()) return;
  display_.silence.clear();
  Changed();
}

// Once a wait has gone on longer than an answer ever takes, the window says
// so, and when the wait will be given up.
void UploadSession::SilenceTick() {
  ++silentS_;
  if (silentS_ < kSilenceShownAfterS) return;
  const QString waited = uploadInProgress_ ? QStringLiteral("No page acknowledged for %1 s").arg(silentS_)
                                           : QStringLiteral("No identification after %1 s").arg(silentS_);
  display_.silence = limitS_ > 0 ? waited + QStringLiteral("; giving up in %1 s").arg(std::max(0, limitS_ - silentS_))
                                 : waited;
  Changed();
}

// Identification or a page acknowledgement took longer than its limit: the
// instrument is released and the run ends as timed out or stalled, without
// waiting for the link to go down (through a dock it goes down only when the
// instrument is taken out).
void UploadSession::LimitReached() {
  StopLimit();
  ++statusEvents_;
  if (uploadInProgress_) {
    result_.stalledAt = WhereTheUploadStopped();
    AskToStandBy();
    ShowReleaseTexts();
    EndWithoutLinkDown(UploadOutcome::Stalled);
    return;
  }
  AskToStandBy();
  EndWithoutLinkDown(UploadOutcome::TimedOut);
}

// How far the instrument's programming sequence got. Noted as it moves on (a
// page acknowledged and the next one written, the program command answered)
// and where it stops (the instrument released, the link down): the flash
// loader's parts raise no event of their own.
void UploadSession::NoteUploadPosition() {
  if (!result_.fileAccepted) return;  // no sequence started in this run
  const TZelvoPro& z = *instrument_;
  result_.pagesSent = z.LastPageNumber() + 1;
  result_.pagesAcknowledged = z.PageCounter();
  // Every page acknowledged: the NG flash loader follows, part by part.
  if (z.IsNG() && z.PagePosition() >= z.ImageSize())
    result_.loaderChunksSent = std::min(z.LoaderChunk() + 1, TZelvoPro::kLoaderChunks);
}

QString UploadSession::WhereTheUploadStopped() const {
  const TZelvoPro& z = *instrument_;
  if (z.PageStep() > 0 && z.PagePosition() < z.ImageSize()) {
    // Numbered as the window's page label counts them, from 0 to the last
    // page's number.
    const int lastPosition = (z.ImageSize() - 1) / z.PageStep() * z.PageStep();
    return QStringLiteral("page %1 of %2")
        .arg(PageNumber(z.LastPageNumber() * z.PageStep(), z.IsNG()))
        .arg(PageNumber(lastPosition, z.IsNG()));
  }
  if (z.IsNG() && z.LoaderChunk() < TZelvoPro::kLoaderChunks)
    return QStringLiteral("part %1 of %2 of the flash loader").arg(z.LoaderChunk() + 1).arg(TZelvoPro::kLoaderChunks);
  return QStringLiteral("the program command");
}

// "STB": the instrument stands by and the link closes on its "ACKBYE". One
// that does not answer is left all the same: the link is closed when the
// release times out, so a release always ends with the link down.
void UploadSession::AskToStandBy() {
  NoteUploadPosition();
  if (!link_->Connected()) return;
  link_->OnTimeOut = [this](QObject*, quint16) { link_->CloseLink(); };
  instrument_->SetOnline(false);
}

// --- The instrument's status ---

void UploadSession::ZelvoPro1IsOnline(bool status) {
  if (status && !result_.identified && OnIdentified) OnIdentified();
  ++statusEvents_;
  if (!status) {
    if (endedBeforeLinkDown_) {
      endedBeforeLinkDown_ = false;  // the end of a run already ended
      return;
    }
    NoteUploadPosition();
    tmrInstrDisc_->SetEnabled(true);
    return;
  }
  connecting_ = false;
  StopLimit();
  result_.identified = true;
  result_.instrument = instrument_->Identity();
  placeInDock_.Close();
  if (useDock_ && dock_) dock_->SendPSS(0, 0);
  link_->OnTimeOut = nullptr;
  tmrInstrCon_->SetEnabled(true);
  display_.startGroupBusy = false;
  Changed();
}

bool UploadSession::StillOnline() const { return instrument_->OnLine() && link_->Connected(); }

void UploadSession::ConnectionStepEnded(bool uploading) {
  if (OnConnectionStep) OnConnectionStep(uploading);
}

// After every modal step the instrument must still be online; if it is not,
// the disconnection step has run or is on its way, and the dialogue ends
// without touching the window again.
void UploadSession::tmrInstrConTimer() {
  tmrInstrCon_->SetEnabled(false);
  ++statusEvents_;
  if (!StillOnline()) return ConnectionStepEnded(false);
  display_.status = QStringLiteral("Connected");
  display_.connectedGroupBusy = true;
  display_.startEnabled = false;
  display_.stopEnabled = true;
  display_.instrType =
      instrument_->InstrumentKind() == 9 ? QStringLiteral("Type: ZelvoPro") : QStringLiteral("Type: ZelvoLtd");
  display_.flashVersion = QStringLiteral("Flash Version: ") + ToText(instrument_->InstFlashVersion()) +
                          QLatin1Char(' ') + ToText(instrument_->InstFlashType());
  Changed();
  ProcessMessages();
  if (!StillOnline()) return ConnectionStepEnded(false);

  const QByteArray version = instrument_->InstFlashVersion();
  const double number = EnglishNumber(version).value_or(0.0);
  const QByteArray type = instrument_->InstFlashType();
  const bool ng = instrument_->IsNG();
  if (instrument_->InstrumentKind() == 10 && ((!ng && type != "P") || (ng && type != "D"))) {
    Refuse(RunRefusal::LtdNotOverInfrared);
    MessageDlg(Prompt::LtdNotSupported, QLatin1String(kLtdNotSupported), MsgIcon::Warning, MsgButtons::OK);
    return Release();
  }
  if (number > 0 && number < 0.5) {
    Refuse(RunRefusal::VersionTooOld);
    MessageDlg(Prompt::VersionNotSupported, VersionNotSupported(version), MsgIcon::Warning, MsgButtons::OK);
    return Release();
  }

  FileRefusal fileRefusal = FileRefusal::NoneChosen;
  const std::optional<AcceptedFlashFile> accepted = SelectFlashFile(
      instrument_->FlashFile(), instrument_->Identity(), [this] { return StillOnline(); }, &fileRefusal,
      readFlashFile_);
  if (!StillOnline()) return ConnectionStepEnded(false);
  if (!accepted) {
    Refuse(RefusalOf(fileRefusal));
    uploadInProgress_ = false;
    uploadDone_ = false;
    return Release();
  }
  display_.newFlash = accepted->upgradingTo;
  display_.flashDate = accepted->flashDate;
  result_.fileAccepted = true;
  result_.fileVersion = instrument_->FileFlashVersion();
  result_.fileType = instrument_->FileFlashType();
  result_.fileDate = instrument_->FileFlashDate();
  if (useDock_) {
    SetLcd(2, "Loading Instr ");
    SetLcd(3, "FLASH  ");
  }
  display_.status = QStringLiteral("Uploading Flash to Intrument");
  Changed();
  uploadInProgress_ = true;
  programFailed_ = false;
  ConnectionStepEnded(true);
  StartLimit(stallLimitS_);
  instrument_->StartFlashUpload();
  tmrDockLCDUpd_->SetEnabled(true);
}

// A refusal or a cancel: the instrument is asked to stand by, unless it went
// away while the operator was being asked.
void UploadSession::Release() {
  if (StillOnline()) {
    AskToStandBy();
    ShowReleaseTexts();
  }
  ConnectionStepEnded(false);
}

void UploadSession::tmrInstrDiscTimer() {
  tmrInstrDisc_->SetEnabled(false);
  StopLimit();
  connecting_ = false;
  placeInDock_.Close();  // the run is over: nothing is to be placed any more
  ++statusEvents_;
  // The default cursor on every group the busy one was put on: the start
  // group stays busy when the link went down before the instrument was online.
  display_.startGroupBusy = false;
  display_.connectedGroupBusy = false;
  display_.startEnabled = true;
  display_.stopEnabled = false;
  tmrDockLCDUpd_->SetEnabled(false);

  // Ended while the link is still up (a release under way, or a dock that
  // reports the instrument gone only when it is taken out): its going down
  // later, even while the final message is open, belongs to this run.
  endedBeforeLinkDown_ = link_->Connected();

  const UploadOutcome outcome = OutcomeAtLinkDown();
  endOutcome_ = UploadOutcome::None;
  uploadDone_ = false;
  uploadInProgress_ = false;
  programFailed_ = false;
  ShowLastScreen(outcome);

  switch (outcome) {
    case UploadOutcome::TimedOut:
      MessageDlg(Prompt::ConnectionTimeOut, QLatin1String(kConnectionTimeOut), MsgIcon::Warning, MsgButtons::OK);
      break;
    case UploadOutcome::Stalled:
      MessageDlg(Prompt::UploadStalled, UploadStalled(result_.stalledAt, stallLimitS_), MsgIcon::Error, MsgButtons::OK);
      break;
    case UploadOutcome::Halted:
      MessageDlg(Prompt::UploadRefused, UploadRefused(result_.stalledAt), MsgIcon::Error, MsgButtons::OK);
      break;
    case UploadOutcome::LinkFailed:  // it has said why itself
      break;
    case UploadOutcome::ProgramFailed:
      // The instrument refused the program command: its firmware was not
      // replaced, whatever the pages did.
      ShowReleaseTexts();
      MessageDlg(Prompt::NotCompleted, QLatin1String(kNotCompleted), MsgIcon::Error, MsgButtons::OK);
      break;
    case UploadOutcome::Completed: {
      const bool ng = instrument_->IsNG();
      if (useDock_) {
        SetLcd(0, " FLASH Upload   ");
        SetLcd(1, "   Completed    ");
        MessageDlg(Prompt::UploadCompleted, QLatin1String(ng ? kNGCompleted : kDockCompleted), MsgIcon::Information,
                   MsgButtons::OK);
      } else {
        MessageDlg(Prompt::UploadCompleted, QLatin1String(ng ? kNGCompleted : kIrdaCompleted), MsgIcon::Information,
                   MsgButtons::OK);
      }
      if (restartCheck_) return StartRestartCheck();
      break;
    }
    case UploadOutcome::UnexpectedDisconnect:
      // The dock's display says it too, as it says a completion: its lines
      // would go on reading "Loading Instr" / "FLASH". A dock that went away
      // itself has nothing to show.
      if (useDock_ && dock_ && dock_->Enabled()) {
        SetLcd(0, " FLASH Upload   ");
        SetLcd(1, "     FAILED     ");
      }
      MessageDlg(Prompt::UnexpectedDisconnect, QLatin1String(kUnexpectedDisconnect), MsgIcon::Error, MsgButtons::OK);
      break;
    default:
      if (result_.pagesSent > 0)
        MessageDlg(Prompt::StoppedMidUpload, StoppedMidUpload(WhereTheUploadStopped()), MsgIcon::Warning,
                   MsgButtons::OK);
      else
        MessageDlg(Prompt::ConnectionClosed, QLatin1String(kConnectionClosed), MsgIcon::Information, MsgButtons::OK);
      break;
  }
  Finish(outcome);
}

UploadOutcome UploadSession::OutcomeAtLinkDown() const {
  // Ended by a limit, the connect time-out, a refused page or a link that
  // could not be opened.
  if (endOutcome_ != UploadOutcome::None) return endOutcome_;
  if (uploadDone_) return programFailed_ ? UploadOutcome::ProgramFailed : UploadOutcome::Completed;
  if (uploadInProgress_) return UploadOutcome::UnexpectedDisconnect;
  // Closed before an upload: what ruled it out, if anything, names it.
  if (result_.refusal == RunRefusal::None) return UploadOutcome::Closed;
  return IsCancellation(result_.refusal) ? UploadOutcome::Cancelled : UploadOutcome::Refused;
}

// What stays on the screen behind the final message and after it, until the
// next Start. A run that wrote nothing leaves the window waiting, its
// instrument panel blank; one that wrote pages keeps the instrument, the
// file, the bar and the last page, and says how it ended.
void UploadSession::ShowLastScreen(UploadOutcome outcome) {
  if (result_.pagesSent == 0 && outcome != UploadOutcome::Completed) {
    display_.status = QStringLiteral("Waiting");
    display_.instrType = QStringLiteral("Type:");
    display_.flashVersion = QStringLiteral("Flash Version:");
    display_.newFlash = "Upgrading to:";
    display_.flashDate = "(Flash Date)";
    display_.progress = 0;
  } else if (outcome == UploadOutcome::Completed) {
    display_.status = QStringLiteral("Flash Upload Completed");
    display_.progress = 100;
  } else {
    display_.status = QStringLiteral("Flash Upload NOT Completed");
    display_.statusAlarm = true;
  }
  Changed();
}

// --- The restart check ---

void UploadSession::StartRestartCheck() {
  display_.status = QStringLiteral("Waiting for the Instrument to Restart");
  display_.startEnabled = false;
  display_.stopEnabled = true;  // gives the check up
  Changed();
  const RestartPath path = useDock_ && dock_            ? RestartPath::Dock
                           : link_->IrDASocketMode()    ? RestartPath::IrdaSocket
                                                        : RestartPath::Port;
  restartWatch_->Start(path, qint64{kRestartLimitS} * 1000, /*askOnDock=*/true);
}

void UploadSession::RestartChecked(const RestartCheckReport& report) {
  result_.restartCheck = report;
  display_.startEnabled = true;
  display_.stopEnabled = false;
  const QByteArray version = report.version.value_or(QByteArray());
  const QByteArray type = report.typeLetter.value_or(QByteArray());
  switch (report.end) {
    case RestartCheckReport::End::CameBack:
      display_.flashVersion = QStringLiteral("Flash Version: ") + ToText(version) + QLatin1Char(' ') + ToText(type);
      if (SameFirmware(version, type, result_.fileVersion, result_.fileType)) {
        display_.status = NewFirmwareRunning(version, type);
        Changed();
        MessageDlg(Prompt::NewFirmwareRunning, NewFirmwareRunning(version, type), MsgIcon::Information, MsgButtons::OK);
      } else {
        display_.status = QStringLiteral("New Firmware NOT Running");
        display_.statusAlarm = true;
        Changed();
        MessageDlg(Prompt::OtherFirmwareRunning,
                   OtherFirmwareRunning(version, type, result_.fileVersion, result_.fileType), MsgIcon::Error,
                   MsgButtons::OK);
      }
      break;
    case RestartCheckReport::End::NotBack:
      display_.status = QStringLiteral("New Firmware NOT Checked");
      display_.statusAlarm = true;
      Changed();
      MessageDlg(Prompt::NotBackFromRestart, NotBackFromRestart(kRestartLimitS), MsgIcon::Warning, MsgButtons::OK);
      break;
    default:  // the operator gave the check up
      display_.status = QStringLiteral("Flash Upload Completed");
      Changed();
      break;
  }
  Finish(UploadOutcome::Completed);
}

// --- Progress ---

int UploadSession::GaugePercent(int position, int total) {
  if (total <= 0) return 0;
  // position / total x 99, rounded to the nearest integer, halves to even.
  const qint64 scaled = static_cast<qint64>(position) * 99;
  qint64 quotient = scaled / total;
  const qint64 twiceRemainder = 2 * (scaled % total);
  if (twiceRemainder > total || (twiceRemainder == total && (quotient & 1))) ++quotient;
  return static_cast<int>(quotient);
}

QString UploadSession::AddressText(int position) {
  return QStringLiteral("Address: ") + QString::number(position + 4352, 16).toUpper().rightJustified(5, QLatin1Char('0'));
}

int UploadSession::PageNumber(int position, bool isNG) { return isNG ? position / 128 : position / 64; }

QString UploadSession::PageText(int position, bool isNG) {
  return QStringLiteral("Sending PAGE ") + QString::number(PageNumber(position, isNG));
}

QString UploadSession::TimeText(int elapsedSeconds) {
  return QStringLiteral("Time: %1:%2")
      .arg(elapsedSeconds / 60)
      .arg(elapsedSeconds % 60, 2, 10, QLatin1Char('0'));
}

void UploadSession::ZelvoPro1FlashProgress(int position, int total) {
  if (OnUploadMoved) OnUploadMoved(position, total);
  if (uploadInProgress_) {  // a page was acknowledged
    NoteUploadPosition();
    StartLimit(stallLimitS_);
  }
  display_.progress = GaugePercent(position, total);
  display_.address = AddressText(position);
  display_.page = PageText(position, instrument_->IsNG());
  Changed();
}

void UploadSession::tmrDockLCDUpdTimer() {
  ++elapsedSeconds_;
  display_.time = TimeText(elapsedSeconds_);
  Changed();
}

// --- End of the program command ---

void UploadSession::ZelvoPro1ProgFlashSent(int error) {
  if (OnProgramAnswered) OnProgramAnswered(error);
  StopLimit();
  NoteUploadPosition();
  uploadDone_ = true;
  programFailed_ = error > 0;
  if (error <= 0) {
    link_->CloseLink();
    uploadInProgress_ = true;
    return;
  }
  // The instrument refused the program command and is still on the link:
  // it is released with "STB" (whose "ACKBYE" closes the link), and the link
  // is closed all the same when the release is not answered.
  if (link_->Connected())
    AskToStandBy();
  else
    link_->CloseLink();
  MessageDlg(Prompt::ProgramCommandFailed, QLatin1String(kProgramCommandFailed), MsgIcon::Error, MsgButtons::OK);
}

void UploadSession::ZelvoPro1TimeOut() {
  MessageDlg(Prompt::InstrumentTimeout, QLatin1String(kInstrumentTimeout), MsgIcon::Error, MsgButtons::OK);
}

}  // namespace zelvo
