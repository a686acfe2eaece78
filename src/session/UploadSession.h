#pragma once
// The upload workflow: Start and Stop, the reaction to the instrument coming
// online and going offline, progress, and the operator's messages. The window
// and the command line both drive one UploadSession; what it shows is kept in
// UploadDisplay, which each front end renders its own way.
//
// Timers move the connection and disconnection steps out of the component's
// call chain: tmrInstrCon and tmrInstrDisc (100 ms, one shot each) run their
// step after the instrument's event has returned.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

#include "core/Dialogs.h"
#include "core/Events.h"
#include "instrument/FlashFile.h"
#include "session/RestartWatch.h"

namespace zelvo {

class TKelLink;
class TTimer;
class TZelvoPro;
class IUploadDock;
enum class UploadHalt;

// The window's labels, buttons and gauge, as texts and states.
struct UploadDisplay {
  QString status = QStringLiteral("Waiting");
  QString instrType = QStringLiteral("Type:");
  QString flashVersion = QStringLiteral("Flash Version:");
  QByteArray newFlash = "Upgrading to:";
  QByteArray flashDate = "(Flash Date)";
  bool startEnabled = true;  // Start and the dock check box
  bool stopEnabled = false;
  int progress = 0;          // 0..100
  QString address = QStringLiteral("Address:");
  QString page = QStringLiteral("Sending PAGE");
  QString time = QStringLiteral("Time");
  bool startGroupBusy = false;      // window, gauge panel, LED panel, instrument panel
  bool connectedGroupBusy = false;  // window, instrument panel, Stop, gauge, LED panel, dock controls
  // A wait for the instrument that has gone on for a while, and when it will
  // be given up ("No page acknowledged for 12 s; giving up in 48 s"); empty
  // otherwise.
  QString silence;
  // The status tells of a failure (shown as an alarm).
  bool statusAlarm = false;
};

// How a run ended.
//   Closed      the link went down before an upload (Stop, or the instrument
//               gone), nothing refused
//   Refused     the instrument or the operator's answers ruled the upload out
//   Cancelled   the operator declined the erase warning or the upgrade, or
//               chose no file
//   TimedOut    no instrument came up (connect time-out), or it never
//               completed identification within the identification limit
//   Stalled     the upload made no progress within the progress limit
//   Halted      the instrument refused a page or a part of the flash loader:
//               nothing more was sent, and it was released
//   LinkFailed  the transport could not be opened at all
enum class UploadOutcome {
  None, Completed, ProgramFailed, UnexpectedDisconnect, Closed, Refused, Cancelled, TimedOut, Stalled, Halted,
  LinkFailed
};

// What ruled an upload out, when something did.
enum class RunRefusal {
  None,
  EraseDeclined,         // the erase warning cancelled
  LtdNotOverInfrared,    // a ZelvoLTD whose firmware type takes no upload this way
  VersionTooOld,         // firmware below 0.5 takes no upload
  NoFileChosen,          // the file dialog cancelled
  FileNotValid,          // the last file chosen was not for the instrument's generation
  TypeDeclined,          // the differing firmware type declined
  UpgradeDeclined,       // "Upgrade To Version ..." declined
  OlderVersionDeclined,  // the older version declined
};
// Cancelled rather than refused: the operator chose not to go on.
bool IsCancellation(RunRefusal refusal);

// How the latest run went, as values; front ends decide from this alone.
struct UploadResult {
  UploadOutcome outcome = UploadOutcome::None;  // None while the run goes on
  RunRefusal refusal = RunRefusal::None;
  bool identified = false;
  InstrumentIdentity instrument;  // once identified
  bool fileAccepted = false;
  QByteArray fileVersion, fileType, fileDate;  // once a file was accepted
  // How far the programming sequence got: the pages written (the one awaiting
  // its acknowledgement included), those acknowledged, and the parts of the
  // NG flash loader written.
  int pagesSent = 0;
  int pagesAcknowledged = 0;
  int loaderChunksSent = 0;
  QString stalledAt;  // where a stalled or halted upload stopped ("page 6 of 383")
  // The restart check after a completed upload, when it ran.
  std::optional<RestartCheckReport> restartCheck;
};

class UploadSession : public QObject {
 public:
  // The session binds the instrument's events and the three timers' handlers.
  UploadSession(TZelvoPro* instrument, TKelLink* link, TTimer* tmrInstrCon, TTimer* tmrInstrDisc,
                TTimer* tmrDockLCDUpd, QObject* owner = nullptr);

  // Dock path: the dock to use and whether the operator chose it.
  void SetDock(IUploadDock* dock) { dock_ = dock; }
  void SetUseDock(bool useDock) { useDock_ = useDock; }
  void SetDockAddress(const QString& address) { dockAddress_ = address; }
  // How the firmware file chosen is read (empty: from the file itself).
  void SetFlashFileReader(FlashFileReader read) { readFlashFile_ = std::move(read); }

  // Bounds on waiting for the instrument, in seconds (0: none): from the
  // start of identification to the instrument being online, and between two
  // pages acknowledged during an upload. Reaching one releases the
  // instrument and ends the run.
  static constexpr int kDefaultLimitS = 60;
  void SetIdentifyLimit(int seconds) { identifyLimitS_ = seconds; }
  void SetStallLimit(int seconds) { stallLimitS_ = seconds; }
  // After a completed upload, wait (at most kRestartLimitS) for the
  // instrument to restart, identify it and say whether it runs the file's
  // firmware; off unless set. The run ends after the check.
  static constexpr int kRestartLimitS = 120;
  void SetRestartCheck(bool on) { restartCheck_ = on; }

  // The window's handlers.
  void cbStartClick();
  void cbStopClick();
  void cbLoadFileClick();
  void ZelvoPro1IsOnline(bool status);
  void tmrInstrConTimer();
  void tmrInstrDiscTimer();
  void ZelvoPro1FlashProgress(int position, int total);
  void ZelvoPro1ProgFlashSent(int error);
  void ZelvoPro1TimeOut();
  void KelLink1TimeOut();
  void tmrDockLCDUpdTimer();

  const UploadDisplay& Display() const { return display_; }
  bool UploadInProgress() const { return uploadInProgress_; }
  bool UploadDone() const { return uploadDone_; }
  int ElapsedSeconds() const { return elapsedSeconds_; }
  UploadOutcome LastOutcome() const { return result_.outcome; }
  const UploadResult& Result() const { return result_; }

  // Raised after every change of Display().
  std::function<void()> OnDisplayChanged;
  // Start pressed and confirmed: the trace of the previous upload is emptied.
  std::function<void()> OnClearTrace;
  // The run has ended and its final message has been shown; raised once per
  // run, however it ended.
  std::function<void(UploadOutcome)> OnFinished;
  // The connection step ran (the instrument was checked; a file chosen or not).
  std::function<void(bool uploading)> OnConnectionStep;
  // The instrument's own events as the session takes them, raised before the
  // session acts on them: identification begins on a link that is up; the
  // instrument answered it (the first time in the run); a page acknowledged
  // (the upload's position); the program command answered (0: accepted).
  std::function<void()> OnIdentifying;
  std::function<void()> OnIdentified;
  std::function<void(int position, int total)> OnUploadMoved;
  std::function<void(int error)> OnProgramAnswered;
  // Who ends an upload the instrument halted (a page or a loader part
  // refused): the session itself while this is empty, its owner otherwise.
  std::function<void(UploadHalt)> HaltHandler;

  // Display rules, shared with the front ends.
  static int GaugePercent(int position, int total);
  static QString AddressText(int position);
  // The page label's number at an image position: pages of 128 bytes (NG)
  // or 64 (classic), counted from 0. Every text that names a page counts so.
  static int PageNumber(int position, bool isNG);
  static QString PageText(int position, bool isNG);
  static QString TimeText(int elapsedSeconds);

 private:
  void Changed();
  bool StillOnline() const;
  void ConnectionStepEnded(bool uploading);
  void Release();
  void AskToStandBy();
  void ShowReleaseTexts();
  void SetLcd(int line, const QByteArray& text);
  void StartLimit(int seconds);
  void StopLimit();
  void SilenceTick();
  void LimitReached();
  void UploadHalted();
  void LinkOpenFailed();
  void EndWithoutLinkDown(UploadOutcome outcome);
  void Refuse(RunRefusal refusal);
  void Finish(UploadOutcome outcome);
  void NoteUploadPosition();
  UploadOutcome OutcomeAtLinkDown() const;
  void ShowLastScreen(UploadOutcome outcome);
  void StartRestartCheck();
  void RestartChecked(const RestartCheckReport& report);
  QString WhereTheUploadStopped() const;

  TZelvoPro* instrument_;
  TKelLink* link_;
  TTimer* tmrInstrCon_;
  TTimer* tmrInstrDisc_;
  TTimer* tmrDockLCDUpd_;
  IUploadDock* dock_ = nullptr;
  bool useDock_ = false;
  QString dockAddress_;
  FlashFileReader readFlashFile_;

  UploadDisplay display_;
  bool uploadInProgress_ = false;
  bool uploadDone_ = false;
  bool programFailed_ = false;
  int elapsedSeconds_ = 0;
  UploadResult result_;
  // Bounds on waiting, and the timer that runs the one in force.
  int identifyLimitS_ = kDefaultLimitS;
  int stallLimitS_ = kDefaultLimitS;
  TTimer* limitTimer_;
  // Seconds of the wait in force so far, counted by the ticker, and its
  // limit; shown once they pass kSilenceShownAfterS.
  static constexpr int kSilenceShownAfterS = 5;
  TTimer* silenceTicker_;
  int silentS_ = 0;
  int limitS_ = 0;
  bool restartCheck_ = false;
  RestartWatch* restartWatch_;
  // Set when the run ends without the link going down first (a limit, the
  // connect time-out, a link that could not be opened): the disconnection
  // step ends the run this way.
  UploadOutcome endOutcome_ = UploadOutcome::None;
  bool connecting_ = false;  // from Start to the instrument online or the run's end
  // Stop has asked the instrument to stand by: it is asked once a run.
  bool releasing_ = false;
  // The run was ended while the link was still up: its going down later
  // belongs to that run, not to a new one.
  bool endedBeforeLinkDown_ = false;
  // "Please Click OK and Place the Instrument ..." while it is open.
  MessageCloser placeInDock_;
  // Counts the reactions to the instrument's and the link's status, so that a
  // handler can tell whether one ran inside its own nested wait.
  quint64 statusEvents_ = 0;
};

// The window's design-time values of the link and the instrument component,
// shared by every front end.
void ApplyDesignTimeValues(TKelLink& link, TZelvoPro& instrument);

// One line of the debug trace: "SND#" or "RCV#", the message as the link
// reports it (framing bytes included), "#". Line breaks, '#' and the
// backslash in the message are escaped with a backslash (\n, \r, \#, \\), so
// that no message can end its line early or pass for another line.
QByteArray TraceLine(bool sent, const QByteArray& data);
// The message of a trace line, its escapes undone; nothing when the line is
// not one TraceLine makes.
std::optional<QByteArray> TraceMessage(const QByteArray& line);

// Operator texts of the workflow.
namespace upload_text {
inline constexpr const char* kEraseWarning =
    "This operation will erase the Instrument's Datalogger data. Cancel if you want to download the data before "
    "performing this operation.";
inline constexpr const char* kPlaceInDock =
    "Please Click OK and Place the Instrument in the Kova Express dock with \"Insert Instr To FLASH\". on LCD.";
inline constexpr const char* kIrdaMode =
    "Please put the Instrument in IrDA mode by holding the mode key until IrDA shows on the screen, place it in front "
    "of the PC IrDA(Infrared) port. Then Click OK.";
inline constexpr const char* kConnectionTimeOut = "Connection Time Out!";
inline constexpr const char* kLtdNotSupported =
    "Some ZelvoLtds do not support Flash Upload via Infrared! Please contact Orlund Instrumentation about upgrade "
    "options.";
inline constexpr const char* kInstrumentTimeout = "No response.  Instrument Timeout reached!";
inline constexpr const char* kProgramCommandFailed = "Program Command Failed!";
inline constexpr const char* kNGCompleted =
    "Flash upload completed, Please remove instrument from dock.   \"STP\" will now appear on the instrument's LCD "
    "while it's reconfiguring.   Please wait.  This may take up to 30 seconds before instrument restarts.";
inline constexpr const char* kDockCompleted =
    "Flash Upload Completed, Please remove instrument from dock and wait for the instrument to restart.";
inline constexpr const char* kIrdaCompleted = "Flash Upload Completed. Please wait for the instrument to restart.";
inline constexpr const char* kNotCompleted =
    "Flash Upload NOT Completed! The instrument did not accept the program command; its firmware was not "
    "replaced. Please start the upload again.";
inline constexpr const char* kUnexpectedDisconnect = "Unexpected Disconnect, Flash upload aborted!";
inline constexpr const char* kConnectionClosed = "Connection to Instrument Closed!";
inline constexpr const char* kAbandonUpload =
    "A flash upload is in progress. Closing now leaves the instrument with an incomplete firmware. Stop the upload, "
    "release the instrument and close?";
// The restart check: the instrument brought back to the PC after its restart.
inline constexpr const char* kIrdaModeAgain =
    "Please put the Instrument in IrDA mode again once it has restarted, by holding the mode key until IrDA shows on "
    "the screen, and place it in front of the PC IrDA(Infrared) port. Then Click OK.";
inline constexpr const char* kDockAgain =
    "To check the new firmware, place the Instrument in the Kova Express dock again once it has restarted. Then "
    "Click OK. Cancel skips the check.";
QString VersionNotSupported(const QByteArray& version);
// The restart check's findings: the file's firmware running, another one,
// or no instrument within the limit.
QString NewFirmwareRunning(const QByteArray& version, const QByteArray& type);
QString OtherFirmwareRunning(const QByteArray& version, const QByteArray& type, const QByteArray& fileVersion,
                             const QByteArray& fileType);
QString NotBackFromRestart(int seconds);
// The upload made no progress within the limit; where names the step.
QString UploadStalled(const QString& where, int seconds);
// A page or a part of the flash loader refused; where names it.
QString UploadRefused(const QString& where);
// Stop after pages were written: the release's own message, and what the
// instrument holds now; where names the step.
QString StoppedMidUpload(const QString& where);
}  // namespace upload_text

}  // namespace zelvo
