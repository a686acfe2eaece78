#pragma once
// The operator dialogs service.
//
// Components never open a window of their own: every message, question, file
// choice and port choice goes through the service installed here for the
// thread they run on (the window's main thread, or a session's own thread).
// The window installs a Qt Widgets implementation, the command line a terminal
// one, tests a scripted double (tests/support/ScriptedDialogs.h). Until something is
// installed, a silent implementation answers OK / Yes / cancel and writes each
// text to the diagnostics, so a component used without any front end never
// blocks.

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace zelvo {

enum class MsgIcon { None, Warning, Error, Information, Confirmation };
enum class MsgButtons { OK, OKCancel, YesNo };
enum class MsgResult { OK, Cancel, Yes, No };

// What a message box tells or asks, as a value: front ends and tests tell the
// program's messages and questions apart by it, never by their wording (the
// texts are shown as they stand). A component's own failure messages are
// General.
enum class Prompt {
  General,
  // The upload's workflow.
  EraseWarning,
  PlaceInDock,
  IrdaMode,
  LtdNotSupported,
  VersionNotSupported,
  ConnectionTimeOut,
  UploadStalled,
  UploadRefused,
  ProgramCommandFailed,
  InstrumentTimeout,
  NotCompleted,
  UploadCompleted,
  UnexpectedDisconnect,
  StoppedMidUpload,
  ConnectionClosed,
  // The window's look at the instrument after its restart.
  NewFirmwareRunning,
  OtherFirmwareRunning,
  NotBackFromRestart,
  // The instrument brought back after its restart, for the check after the
  // upload.
  IrdaModeAgain,
  DockAgain,
  // The flash file against the instrument.
  InvalidFlashFile,
  OtherFirmwareType,
  UpgradeToVersion,
  OlderVersion,
  // The window.
  AbandonUpload,
  NoUsbDocks,
  UseUsbDock,
  SelectOneDock,
  EnterDockAddress,
  DockSearchError,
};

// A question whose Yes takes a risk the program has warned of (a file of
// another type than the instrument's, an older version): a front end may hold
// it to a stricter rule than routine questions.
bool TakesRisk(Prompt prompt);

QString IconName(MsgIcon icon);
QString ButtonsName(MsgButtons buttons);
QString ResultName(MsgResult result);

// The program's hold on a message it may close before the operator does.
// The service attaches a closing action while the message is open and
// detaches it when the message has closed, however it closed.
class MessageCloser {
 public:
  // Closes the message as if OK were pressed; nothing when it is not open.
  void Close() {
    if (close_) close_();
  }
  bool IsOpen() const { return static_cast<bool>(close_); }
  void Attach(std::function<void()> close) { close_ = std::move(close); }
  void Detach() { close_ = nullptr; }

 private:
  std::function<void()> close_;
};

class DialogsService {
 public:
  virtual ~DialogsService() = default;

  // Plain message box with an OK button.
  virtual void ShowMessage(const QString& text) = 0;
  // Message box with an icon kind and a button set, showing text for prompt;
  // returns the button pressed.
  virtual MsgResult MessageDlg(Prompt prompt, const QString& text, MsgIcon icon, MsgButtons buttons) = 0;
  // Message box with an OK button that the program may close itself through
  // closer (for a message whose purpose an event can fulfil). Returns when it
  // has closed. A service that cannot close a message early shows it as
  // MessageDlg does.
  virtual void ClosableMessage(Prompt prompt, const QString& text, MsgIcon icon, MessageCloser& /*closer*/) {
    MessageDlg(prompt, text, icon, MsgButtons::OK);
  }
  // Open-file dialog. filter is in the "Description|*.ext" form. Returns the
  // chosen path, or nothing when the operator cancelled.
  virtual std::optional<QString> OpenFile(const QString& filter) = 0;
  // "Select Port" dialog listing ports; nothing when cancelled.
  virtual std::optional<QString> SelectPort(const QStringList& ports) = 0;
};

// The service installed for the calling thread (never null).
DialogsService& Dialogs();
// Installs a service for the calling thread and returns its previous one
// (nullptr: back to the silent default). The caller keeps ownership.
DialogsService* SetDialogs(DialogsService* service);

// Shortcuts used throughout the components.
inline void ShowMessage(const QString& text) { Dialogs().ShowMessage(text); }
inline MsgResult MessageDlg(Prompt prompt, const QString& text, MsgIcon icon, MsgButtons buttons) {
  return Dialogs().MessageDlg(prompt, text, icon, buttons);
}
inline MsgResult MessageDlg(const QString& text, MsgIcon icon, MsgButtons buttons) {
  return MessageDlg(Prompt::General, text, icon, buttons);
}
inline void ClosableMessage(Prompt prompt, const QString& text, MsgIcon icon, MessageCloser& closer) {
  Dialogs().ClosableMessage(prompt, text, icon, closer);
}

// Installs a service for the lifetime of a scope.
class ScopedDialogs {
 public:
  explicit ScopedDialogs(DialogsService* service) : previous_(SetDialogs(service)) {}
  ~ScopedDialogs() { SetDialogs(previous_); }
  ScopedDialogs(const ScopedDialogs&) = delete;
  ScopedDialogs& operator=(const ScopedDialogs&) = delete;

 private:
  DialogsService* previous_;
};

// Texts of the "Select Port" dialog, shared by every implementation.
inline const char* const kSelectPortTitle = "Select Port";
inline const char* const kSelectPortLine1 = "The configured serial port is not valid.";
inline const char* const kSelectPortLine2 = "Please choose another port.";

}  // namespace zelvo
